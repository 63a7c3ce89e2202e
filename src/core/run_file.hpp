// Runs from files: iperf3's JSON output (-J, one document or several, or
// --json-stream) and Trellan's own run files, which keep whole runs
// (docs/run-file.md). Reading runs on any thread and never touches a window;
// writing gives the text of a run file. No GTK.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// The run file version this Trellan writes, and the newest it reads.
inline constexpr unsigned kRunFileVersion = 1;

// What one file held: the runs it opened to, or why it could not be opened.
struct OpenedFile {
  std::vector<RunRecord> runs;  // oldest first, each with source_file set: the newest a window keeps
  std::uint64_t left_out = 0;   // the older runs, only counted
  std::string error;            // empty when it opened; else the reason in words
};

// Any thread; blocking. Reads iperf3's -J output (one or several documents),
// --json-stream output, or a Trellan run file. `cancel` is polled;
// `progress(fraction)` is called now and then. `display_name` is the file's
// name as the user sees it (set into each run's source_file); when empty, it
// is made from `path`.
OpenedFile open_run_file(const std::string& path, std::string display_name,
                         const std::atomic<bool>* cancel = nullptr,
                         const std::function<void(double)>& progress = {});
OpenedFile read_runs(std::string_view bytes, std::string display_name);  // same, from memory

// A Trellan run file holding `runs`, in their order.
std::string run_file_text(const std::vector<const RunRecord*>& runs);

}  // namespace trellan
