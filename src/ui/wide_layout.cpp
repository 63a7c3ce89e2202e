#include "ui/wide_layout.hpp"

#include <utility>

#include "ui/compat.hpp"

namespace trellan {

namespace {

// Wide, `widget` expands as told; narrow, it expands as its children ask,
// as it did before the window was ever wide.
void set_expand(GtkWidget* widget, GtkOrientation orientation, bool wide, bool expand) {
  if (orientation == GTK_ORIENTATION_HORIZONTAL) {
    if (wide)
      gtk_widget_set_hexpand(widget, expand);
    else
      gtk_widget_set_hexpand_set(widget, FALSE);
  } else {
    if (wide)
      gtk_widget_set_vexpand(widget, expand);
    else
      gtk_widget_set_vexpand_set(widget, FALSE);
  }
}

}  // namespace

void set_page_layout(const PageParts& p, bool wide) {
  gtk_orientable_set_orientation(GTK_ORIENTABLE(p.page),
                                 wide ? GTK_ORIENTATION_HORIZONTAL : GTK_ORIENTATION_VERTICAL);
  // Beside the actions the form takes the width its rows ask for and the
  // actions take the rest; the gauge then grows with the window, and the
  // texts below it grow too, so that a result stays readable from afar.
  gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(p.form), wide);
  set_expand(p.form, GTK_ORIENTATION_HORIZONTAL, wide, false);
  set_expand(p.actions, GTK_ORIENTATION_HORIZONTAL, wide, true);
  set_expand(p.gauge_frame, GTK_ORIENTATION_VERTICAL, wide, true);
  gtk_widget_set_margin_top(p.actions, wide ? 16 : 8);
  if (wide) {
    gtk_widget_add_css_class(p.status_label, "title-2");
    gtk_widget_remove_css_class(p.details_label, "caption");
    gtk_widget_add_css_class(p.details_label, "title-4");
  } else {
    gtk_widget_remove_css_class(p.status_label, "title-2");
    gtk_widget_remove_css_class(p.details_label, "title-4");
    gtk_widget_add_css_class(p.details_label, "caption");
  }
}

GtkWidget* follow_window_width(GtkWidget* content, std::vector<PageParts> pages) {
  return compat::width_switch_new(content, kWideLayoutFrom, [pages = std::move(pages)](bool wide) {
    for (const PageParts& p : pages) set_page_layout(p, wide);
  });
}

GtkWidget* follow_runs_width(GtkWidget* content, std::function<void(bool)> on_change) {
  return compat::width_switch_new(content, kRunsWideFrom, std::move(on_change));
}

}  // namespace trellan
