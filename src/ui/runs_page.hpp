// The Runs page: the runs of a window, newest first, and the selected run's
// chart, texts, interval table and its copy and save buttons. Follows the
// window's run log as it changes.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "core/gobject.hpp"
#include "core/run_record.hpp"

namespace trellan {

// A new page showing `log`, for the window's view stack, which adds its
// reference; the page lets go of its own when it is destroyed.
GtkWidget* runs_page_new(std::shared_ptr<RunLog> log);

// Opens `files` on the page, as its "Open…" button would: read off the
// main thread, one after another; each file's runs join the log, and a
// file that cannot be opened is said on the page.
void runs_page_open_files(GtkWidget* page, std::vector<Ref<GFile>> files);
// Asks the user for files to open, as the "Open…" button does.
void runs_page_choose_files(GtkWidget* page);

}  // namespace trellan
