// The run file's schema (docs/run-file.md): a run written into it, and the
// runs of a run file read back. No GTK.
#pragma once

#include <string>
#include <vector>

#include "core/json_scan.hpp"
#include "core/run_record.hpp"

namespace trellan {

// Appends `run` as one element of a run file's "runs".
void put_run(std::string& out, const RunRecord& run);

struct RunFileRuns {
  std::vector<RunRecord> runs;  // in the file's order, the newest a window keeps
  std::uint64_t left_out = 0;   // the older ones
  std::string error;            // why it could not be read, in words
};
// Reads a whole run file: its format and version first, then its runs.
RunFileRuns read_run_file(JsonSource& source);

}  // namespace trellan
