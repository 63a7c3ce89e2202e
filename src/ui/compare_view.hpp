// The comparison of several runs: their overlaid charts, distributions, a
// comparison table and its copy and save buttons.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// ui: a widget that shows the comparison of the runs it is given (overlay chart, latency overlay,
// distributions, comparison table, its copy/save buttons).
GtkWidget* compare_view_new();
void compare_view_set_runs(GtkWidget* view, std::vector<std::shared_ptr<const RunRecord>> runs);

}  // namespace trellan
