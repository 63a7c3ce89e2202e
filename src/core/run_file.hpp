// Runs kept in files: iperf3's JSON output, and Trellan's own run files.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// What one file held: the runs it opened to, or why it could not be opened.
struct OpenedFile {
  std::vector<RunRecord> runs;  // oldest first, each with source_file set
  std::string error;            // empty when it opened; else the reason in words
};

// Any thread; blocking. Reads iperf3's -J output (one or several documents), --json-stream output,
// or a Trellan run file. `cancel` is polled; `progress(fraction)` is called now and then.
OpenedFile open_run_file(const std::string& path, std::string display_name,
                         const std::atomic<bool>* cancel = nullptr,
                         const std::function<void(double)>& progress = {});
OpenedFile read_runs(std::string_view bytes, std::string display_name);  // same, from memory
// A Trellan run file holding `runs`, in their order.
std::string run_file_text(const std::vector<const RunRecord*>& runs);

}  // namespace trellan
