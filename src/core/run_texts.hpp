// What the Runs page says of a run in words: how it ended, the cells of its
// interval table, the name proposed for its CSV file. No GTK.
#pragma once

#include <chrono>
#include <string>

#include "core/run_record.hpp"

namespace trellan {

// How a run ended, in the words of its row: "Running…", the result text,
// "Stopped", the error.
std::string run_ending_text(const RunRecord& run);
// What a screen reader says of a run's row: which run it is and how it
// ended, "Client — 127.0.0.1, port 5201, 14:02:09, Stopped".
std::string run_row_name(const RunRecord& run);
// One cell of the interval table: 0 interval, 1 direction, 2 bitrate,
// 3 transfer, 4 retransmits, 5 jitter, 6 loss.
std::string interval_cell(const IntervalRecord& interval, int column);
// The file name proposed for a run's CSV: "trellan-YYYYMMDD-HHMMSS.csv",
// from its local start time.
std::string csv_file_name(const RunRecord& run);
// The local time of `t` in a g_date_time_format layout ("%H:%M:%S").
std::string local_time(std::chrono::system_clock::time_point t, const char* layout);

}  // namespace trellan
