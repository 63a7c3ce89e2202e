// The two layouts of a page: its form above its action area, or, in a wide
// window, the form on the left and the action area on the right.
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <functional>
#include <vector>

namespace trellan {

// From this window width (in pixels) the pages are laid out side by side.
inline constexpr int kWideLayoutFrom = 860;

// The widgets of a page whose places and looks change with the layout. All
// of them belong to the page; nothing here holds a reference.
struct PageParts {
  GtkWidget* page;         // a box: form then actions
  GtkWidget* form;         // the scrolled window holding the form
  GtkWidget* actions;      // gauge frame, texts and start button
  GtkWidget* gauge_frame;
  GtkWidget* status_label;
  GtkWidget* details_label;
};

void set_page_layout(const PageParts& page, bool wide);

// Lays the pages out side by side while the window is at least
// kWideLayoutFrom pixels wide, one above the other otherwise. `content` is
// the widget that holds the pages; the returned widget takes its place.
GtkWidget* follow_window_width(GtkWidget* content, std::vector<PageParts> pages);

// From this window width the Runs page puts its list and the chosen run
// side by side.
inline constexpr int kRunsWideFrom = 1000;

// Calls `on_change` with true when the window becomes at least
// kRunsWideFrom pixels wide, with false when it becomes narrower; the
// returned widget takes `content`'s place.
GtkWidget* follow_runs_width(GtkWidget* content, std::function<void(bool)> on_change);

}  // namespace trellan
