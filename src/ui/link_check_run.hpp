// The Client page's link check: its "Check link" button, the area that
// shows the check's progress, and the driver that runs its phases as the
// page's client tests (core/link_check.hpp decides the sequence and words).
// Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>

namespace trellan {

struct ClientForm;
class LinkCheckRun;

// A link check for the page of `form`, which owns it and outlives it.
std::shared_ptr<LinkCheckRun> link_check_new(ClientForm* form);
// Its button and its area (progress bar, phase line, note), for the page.
GtkWidget* link_check_button(const LinkCheckRun& check);
GtkWidget* link_check_area(const LinkCheckRun& check);
// Stops the page's link check; false when none runs.
bool stop_link_check(ClientForm& form);

}  // namespace trellan
