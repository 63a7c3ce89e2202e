// iperf3's JSON output read into runs: the documents of -J (one per test; a
// server's log holds one after another) and the event lines of
// --json-stream. Each test becomes the run record a live run of it would
// have made: its documents are turned into the events of iperf3's text
// output and go through a RunSession and a RunRecording, so that the
// results and details are worded as the page words them. No GTK.
#pragma once

#include <string>
#include <vector>

#include "core/json_scan.hpp"
#include "core/run_record.hpp"

namespace trellan {

struct IperfRuns {
  // Oldest first, the newest a window keeps. A run whose document did not
  // say when it started (a refused client's) starts at the clock's epoch.
  std::vector<RunRecord> runs;
  std::uint64_t left_out = 0;   // the older ones
  std::string error;            // empty when the file was read; else why not, in words
};

// -J output: one document or several, one after another.
IperfRuns read_iperf_documents(JsonSource& source);
// --json-stream output: one event a line. A test whose "end" never came
// ends early, with what it has.
IperfRuns read_iperf_stream(JsonSource& source);

// How iperf3 prints an amount in its text output, in its own units: bytes
// as "2.98 GBytes" (1024 a step), rates as "25.6 Gbits/sec" (1000 a step),
// three significant figures or four digits.
std::string iperf_bytes_text(double bytes);
std::string iperf_rate_text(double bits_per_second);

}  // namespace trellan
