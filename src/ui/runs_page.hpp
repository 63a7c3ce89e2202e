// The Runs page: the runs of a window, newest first, and the selected run's
// chart, texts, interval table and its copy and save buttons. Follows the
// window's run log as it changes.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "core/run_record.hpp"

namespace trellan {

// A new page showing `log`, for the window's view stack, which adds its
// reference; the page lets go of its own when it is destroyed.
GtkWidget* runs_page_new(std::shared_ptr<RunLog> log);

}  // namespace trellan
