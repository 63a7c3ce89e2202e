#include "wide_layout.hpp"

#include <utility>

#include "compat.hpp"

namespace trellan {

void set_page_layout(const PageParts& p, bool wide) {
  gtk_orientable_set_orientation(GTK_ORIENTABLE(p.page),
                                 wide ? GTK_ORIENTATION_HORIZONTAL : GTK_ORIENTATION_VERTICAL);
  // Beside the actions the form takes the width its rows ask for and the
  // actions take the rest; the gauge then grows with the window, and the
  // texts below it grow too, so that a result stays readable from afar.
  gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(p.form), wide);
  gtk_widget_set_hexpand(p.form, !wide);
  gtk_widget_set_hexpand(p.actions, wide);
  gtk_widget_set_margin_top(p.actions, wide ? 16 : 8);
  gtk_widget_set_vexpand(p.gauge_frame, wide);
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

void follow_window_width(AdwApplicationWindow* window, std::vector<PageParts> pages) {
  compat::on_width_threshold(GTK_WIDGET(window), kWideLayoutFrom,
                             [pages = std::move(pages)](bool wide) {
                               for (const PageParts& p : pages) set_page_layout(p, wide);
                             });
}

}  // namespace trellan
