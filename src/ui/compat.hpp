// Form rows and the window's content container, independent of the
// libadwaita version the app is built against. Callers see plain widgets.
#pragma once

#include <gtk/gtk.h>

#include <functional>

namespace trellan::compat {

// A spin row: title, whole-number range and step, initial value.
GtkWidget* spin_row_new(const char* title, double min, double max, double step, double value);
double spin_row_get_value(GtkWidget* row);
void spin_row_set_value(GtkWidget* row, double value);
void spin_row_get_range(GtkWidget* row, double* min, double* max);

// A switch row with title and subtitle; starts off.
GtkWidget* switch_row_new(const char* title, const char* subtitle);
bool switch_row_get_active(GtkWidget* row);
void switch_row_set_active(GtkWidget* row, bool active);

// The window content: a top bar, the content and a bottom bar.
GtkWidget* toolbar_view_new(GtkWidget* top, GtkWidget* content, GtkWidget* bottom);

// Wraps `child` in a widget that calls `on_change` with true when the window
// becomes at least `min_width` pixels wide and with false when it becomes
// narrower (the call with false may also come while it is narrow already).
// Returns the widget to put in `child`'s place.
GtkWidget* width_switch_new(GtkWidget* child, int min_width, std::function<void(bool)> on_change);

// Adds `css` to the default display's style, above the theme; GTK 4.12
// renamed the call that loads it.
void add_display_css(const char* css);

// A scrolled window's bars, named as a screen reader would say them of
// what they scroll (`what` is "the runs list": "Vertical scroll bar of the
// runs list"); the range inside each is left to the bar, which reports the
// position.
void name_scroll_bars(GtkWidget* scrolled, const char* what);

// Keeps the drawn parts of libadwaita's rows and tabs under `w` (icons,
// indicators, spacers, none of them showing a text or taking the focus)
// from a screen reader, and names the lists and stack pages there by their
// groups' and rows' titles, where GTK 4.8 would say their type names.
void quiet_decorations(GtkWidget* w);

// A frame drawn around a part, which a screen reader passes through.
GtkWidget* plain_frame_new();

}  // namespace trellan::compat
