// The comparison of a few runs: their throughput on one chart, their latency
// under it, the distributions of their rates and probes, a table of their
// figures against the oldest, and buttons to copy the comparison as CSV or
// text and to save the chart as an image. The Runs page places it and says
// which runs it compares.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// A new view, comparing nothing yet; the caller adds it to a parent.
GtkWidget* compare_view_new();
// Shows the comparison of `runs` (2 to 8, oldest first; past eight only the
// first eight), in place of what it showed.
void compare_view_set_runs(GtkWidget* view, std::vector<std::shared_ptr<const RunRecord>> runs);

}  // namespace trellan
