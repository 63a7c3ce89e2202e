// The Runs page: the runs of a window, newest first, and the selected run's
// chart, texts, interval table and its copy and save buttons. Follows the
// window's run log as it changes.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "run_record.hpp"

namespace trellan {

// A new page showing `log`; a floating widget for the window's view stack.
GtkWidget* runs_page_new(std::shared_ptr<RunLog> log);

// How a run ended, in the words of its row: "Running…", the result text,
// "Stopped", the error.
std::string run_ending_text(const RunRecord& run);
// One cell of the interval table: 0 interval, 1 direction, 2 bitrate,
// 3 transfer, 4 retransmits, 5 jitter, 6 loss.
std::string interval_cell(const IntervalRecord& interval, int column);
// The file name proposed for a run's CSV: "trellan-YYYYMMDD-HHMMSS.csv",
// from its local start time.
std::string csv_file_name(const RunRecord& run);

}  // namespace trellan
