#include "ui/compat.hpp"

#include <adwaita.h>

#include <string>
#include <utility>

namespace trellan::compat {
namespace {

using WidthChange = std::function<void(bool)>;

void call_width_change(const WidthChange& on_change, bool wide) noexcept {
  try {
    on_change(wide);
  } catch (...) {
    // Nothing to undo: the layout stays as it was.
  }
}

}  // namespace
}  // namespace trellan::compat

// libadwaita 1.4 brought spin rows, switch rows, the toolbar view and
// breakpoints. Below that, an action row with a spin button or a switch as
// its suffix and a vertical box stand in, with the same texts, ranges and
// behaviour, and the window's surface reports the width.
#if ADW_CHECK_VERSION(1, 4, 0)

namespace trellan::compat {

GtkWidget* spin_row_new(const char* title, double min, double max, double step, double value) {
  GtkWidget* row = adw_spin_row_new_with_range(min, max, step);
  // A spin row's own role, "presentation", makes GTK's AT-SPI backend hide it and its spin button.
  g_object_set(row, "accessible-role", GTK_ACCESSIBLE_ROLE_LIST_ITEM, nullptr);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title);
  adw_spin_row_set_value(ADW_SPIN_ROW(row), value);
  return row;
}

double spin_row_get_value(GtkWidget* row) { return adw_spin_row_get_value(ADW_SPIN_ROW(row)); }

void spin_row_set_value(GtkWidget* row, double value) {
  adw_spin_row_set_value(ADW_SPIN_ROW(row), value);
}

void spin_row_get_range(GtkWidget* row, double* min, double* max) {
  GtkAdjustment* adj = adw_spin_row_get_adjustment(ADW_SPIN_ROW(row));
  *min = gtk_adjustment_get_lower(adj);
  *max = gtk_adjustment_get_upper(adj);
}

GtkWidget* switch_row_new(const char* title, const char* subtitle) {
  return GTK_WIDGET(g_object_new(ADW_TYPE_SWITCH_ROW, "title", title, "subtitle", subtitle, nullptr));
}

bool switch_row_get_active(GtkWidget* row) { return adw_switch_row_get_active(ADW_SWITCH_ROW(row)); }

void switch_row_set_active(GtkWidget* row, bool active) {
  adw_switch_row_set_active(ADW_SWITCH_ROW(row), active);
}

GtkWidget* toolbar_view_new(GtkWidget* top, GtkWidget* content, GtkWidget* bottom) {
  GtkWidget* view = adw_toolbar_view_new();
  adw_toolbar_view_add_top_bar(ADW_TOOLBAR_VIEW(view), top);
  adw_toolbar_view_set_content(ADW_TOOLBAR_VIEW(view), content);
  adw_toolbar_view_add_bottom_bar(ADW_TOOLBAR_VIEW(view), bottom);
  return view;
}

namespace {

void ask_for_narrow_size(GtkWidget* bin, gpointer) noexcept {
  GtkWidget* child = adw_breakpoint_bin_get_child(ADW_BREAKPOINT_BIN(bin));
  int width = 0;
  int height = 0;
  gtk_widget_measure(child, GTK_ORIENTATION_HORIZONTAL, -1, &width, nullptr, nullptr, nullptr);
  gtk_widget_measure(child, GTK_ORIENTATION_VERTICAL, width, &height, nullptr, nullptr, nullptr);
  gtk_widget_set_size_request(bin, width, height);
}

}  // namespace

GtkWidget* width_switch_new(GtkWidget* child, int min_width, std::function<void(bool)> on_change) {
  // A breakpoint bin asks only for its own size request, whatever its child
  // needs. It asks for what the child needs in the narrow layout, measured
  // once styles apply, so that the window keeps the minimum size it had.
  GtkWidget* bin = adw_breakpoint_bin_new();
  adw_breakpoint_bin_set_child(ADW_BREAKPOINT_BIN(bin), child);
  g_signal_connect(bin, "realize", G_CALLBACK(ask_for_narrow_size), nullptr);
  AdwBreakpoint* breakpoint = adw_breakpoint_new(adw_breakpoint_condition_new_length(
      ADW_BREAKPOINT_CONDITION_MIN_WIDTH, min_width, ADW_LENGTH_UNIT_PX));
  auto* data = new WidthChange(std::move(on_change));
  g_signal_connect_data(
      breakpoint, "apply",
      G_CALLBACK(+[](AdwBreakpoint*, gpointer d) noexcept { call_width_change(*static_cast<WidthChange*>(d), true); }),
      data, [](gpointer d, GClosure*) { delete static_cast<WidthChange*>(d); }, GConnectFlags{});
  g_signal_connect(
      breakpoint, "unapply",
      G_CALLBACK(+[](AdwBreakpoint*, gpointer d) noexcept { call_width_change(*static_cast<WidthChange*>(d), false); }),
      data);
  adw_breakpoint_bin_add_breakpoint(ADW_BREAKPOINT_BIN(bin), breakpoint);
  return bin;
}

}  // namespace trellan::compat

#else

namespace trellan::compat {
namespace {

// The suffix widget of a fallback row; the row owns it as a child.
constexpr const char* kSuffixKey = "trellan-row-suffix";

GtkWidget* suffix_of(GtkWidget* row) {
  return GTK_WIDGET(g_object_get_data(G_OBJECT(row), kSuffixKey));
}

GtkWidget* row_with_suffix(const char* title, const char* subtitle, GtkWidget* suffix) {
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title);
  if (subtitle) adw_action_row_set_subtitle(ADW_ACTION_ROW(row), subtitle);
  gtk_widget_set_valign(suffix, GTK_ALIGN_CENTER);
  adw_action_row_add_suffix(ADW_ACTION_ROW(row), suffix);
  adw_action_row_set_activatable_widget(ADW_ACTION_ROW(row), suffix);
  g_object_set_data(G_OBJECT(row), kSuffixKey, suffix);
  // One Tab stop per row, as the 1.4 rows have: the control, which takes
  // the keys (typing, Space), not the row around it as well. It carries the
  // row's title, so that what has the focus is named; only by it, since
  // GTK 4.8 says a label and what labels the control one after the other,
  // and the row makes its title label the control.
  gtk_widget_set_focusable(row, FALSE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(suffix), GTK_ACCESSIBLE_PROPERTY_LABEL, title, -1);
  gtk_accessible_reset_relation(GTK_ACCESSIBLE(suffix), GTK_ACCESSIBLE_RELATION_LABELLED_BY);
  return row;
}

}  // namespace

GtkWidget* spin_row_new(const char* title, double min, double max, double step, double value) {
  GtkWidget* spin = gtk_spin_button_new_with_range(min, max, step);
  gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), TRUE);
  GtkWidget* row = row_with_suffix(title, nullptr, spin);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), value);
  return row;
}

double spin_row_get_value(GtkWidget* row) {
  return gtk_spin_button_get_value(GTK_SPIN_BUTTON(suffix_of(row)));
}

void spin_row_set_value(GtkWidget* row, double value) {
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(suffix_of(row)), value);
}

void spin_row_get_range(GtkWidget* row, double* min, double* max) {
  gtk_spin_button_get_range(GTK_SPIN_BUTTON(suffix_of(row)), min, max);
}

GtkWidget* switch_row_new(const char* title, const char* subtitle) {
  return row_with_suffix(title, subtitle, gtk_switch_new());
}

bool switch_row_get_active(GtkWidget* row) {
  return gtk_switch_get_active(GTK_SWITCH(suffix_of(row)));
}

void switch_row_set_active(GtkWidget* row, bool active) {
  gtk_switch_set_active(GTK_SWITCH(suffix_of(row)), active);
}

GtkWidget* toolbar_view_new(GtkWidget* top, GtkWidget* content, GtkWidget* bottom) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_vexpand(content, TRUE);
  gtk_box_append(GTK_BOX(box), top);
  gtk_box_append(GTK_BOX(box), content);
  gtk_box_append(GTK_BOX(box), bottom);
  return box;
}

namespace {

// Follows the width of a window's surface, less the shadow around it.
struct WidthWatch {
  GtkWidget* widget;  // a widget in the window
  int min_width;
  WidthChange on_change;
  GdkSurface* surface = nullptr;
  gulong layout_handler = 0;
  int wide = -1;  // unknown until the first layout
};

void on_surface_layout(GdkSurface*, int width, int, WidthWatch* w) noexcept {
  double shadow_x = 0, shadow_y = 0;
  gtk_native_get_surface_transform(gtk_widget_get_native(w->widget), &shadow_x, &shadow_y);
  const int wide = width - 2 * static_cast<int>(shadow_x) >= w->min_width ? 1 : 0;
  if (wide == w->wide) return;
  w->wide = wide;
  call_width_change(w->on_change, wide == 1);
}

void on_widget_realize(GtkWidget* widget, WidthWatch* w) noexcept {
  w->surface = gtk_native_get_surface(gtk_widget_get_native(widget));
  w->layout_handler = g_signal_connect(w->surface, "layout", G_CALLBACK(on_surface_layout), w);
}

void on_widget_unrealize(GtkWidget*, WidthWatch* w) noexcept {
  if (w->surface) g_clear_signal_handler(&w->layout_handler, w->surface);
  w->surface = nullptr;
  w->wide = -1;
}

}  // namespace

GtkWidget* width_switch_new(GtkWidget* child, int min_width, std::function<void(bool)> on_change) {
  auto* watch = new WidthWatch{child, min_width, std::move(on_change)};
  g_signal_connect_data(child, "realize", G_CALLBACK(on_widget_realize), watch,
                        [](gpointer d, GClosure*) { delete static_cast<WidthWatch*>(d); },
                        GConnectFlags{});
  g_signal_connect(child, "unrealize", G_CALLBACK(on_widget_unrealize), watch);
  return child;
}

}  // namespace trellan::compat

#endif

// ---- both libadwaita versions ------------------------------------------------

namespace trellan::compat {

void add_display_css(const char* css) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  GtkCssProvider* provider = gtk_css_provider_new();
#if GTK_CHECK_VERSION(4, 12, 0)
  gtk_css_provider_load_from_string(provider, css);
#else
  gtk_css_provider_load_from_data(provider, css, -1);
#endif
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(provider),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

void name_scroll_bars(GtkWidget* scrolled, const char* what) {
  const std::pair<GtkWidget*, const char*> bars[] = {
      {gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scrolled)), "Vertical scroll bar of "},
      {gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(scrolled)), "Horizontal scroll bar of "}};
  for (const auto& [bar, how] : bars) {
    if (!bar) continue;
    const std::string name = how + std::string(what);
    gtk_accessible_update_property(GTK_ACCESSIBLE(bar), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
    for (GtkWidget* c = gtk_widget_get_first_child(bar); c; c = gtk_widget_get_next_sibling(c))
      if (GTK_IS_RANGE(c)) gtk_accessible_update_state(GTK_ACCESSIBLE(c), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
  }
}

namespace {

// Whether `w` or a widget inside it shows a text or takes the focus.
bool holds_content(GtkWidget* w) {
  if (GTK_IS_LABEL(w) && *gtk_label_get_text(GTK_LABEL(w))) return true;
  if (gtk_widget_get_focusable(w) && !GTK_IS_IMAGE(w)) return true;
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
    if (holds_content(c)) return true;
  return false;
}

// The drawn parts of libadwaita's rows and tabs (an entry row's pencil, a
// tab's icon and its indicator, the bits a header bar keeps for spacing):
// pictures and shapes beside a text that says it all.
bool decoration(GtkWidget* w) {
  const char* type = G_OBJECT_TYPE_NAME(w);
  return (GTK_IS_IMAGE(w) || g_str_equal(type, "AdwGizmo") || g_str_equal(type, "AdwIndicatorBin")) &&
         !holds_content(w);
}

const char* first_text(GtkWidget* w) {
  if (GTK_IS_LABEL(w) && *gtk_label_get_text(GTK_LABEL(w))) return gtk_label_get_text(GTK_LABEL(w));
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
    if (const char* text = first_text(c)) return text;
  return nullptr;
}

GtkWidget* first_label(GtkWidget* w) {
  if (GTK_IS_LABEL(w)) return w;
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
    if (GtkWidget* l = first_label(c)) return l;
  return nullptr;
}

// The title of the row `w` is a part of (an entry row's editing area), if
// it is in one.
const char* row_title(GtkWidget* w) {
  GtkWidget* row = gtk_widget_get_ancestor(w, ADW_TYPE_PREFERENCES_ROW);
  return row ? adw_preferences_row_get_title(ADW_PREFERENCES_ROW(row)) : nullptr;
}

// Whether `w` holds the window's own buttons (a header bar's side).
bool holds_window_controls(GtkWidget* w) {
  if (GTK_IS_WINDOW_CONTROLS(w)) return true;
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c))
    if (holds_window_controls(c)) return true;
  return false;
}

void set_label(GtkWidget* w, const char* text) {
  if (text && *text) gtk_accessible_update_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, text, -1);
}

// The title a list inside `w` is known by: its group's or its expander's.
const char* list_title(GtkWidget* list) {
  for (GtkWidget* a = gtk_widget_get_parent(list); a; a = gtk_widget_get_parent(a)) {
    if (ADW_IS_EXPANDER_ROW(a) || ADW_IS_COMBO_ROW(a)) return adw_preferences_row_get_title(ADW_PREFERENCES_ROW(a));
    if (ADW_IS_PREFERENCES_GROUP(a)) {
      // A group's title names its list already; a group of one expander
      // without a title is known by the expander.
      const char* title = adw_preferences_group_get_title(ADW_PREFERENCES_GROUP(a));
      if (title && *title) return nullptr;
      GtkWidget* row = GTK_IS_LIST_BOX(list) ? GTK_WIDGET(gtk_list_box_get_row_at_index(GTK_LIST_BOX(list), 0)) : nullptr;
      return row && ADW_IS_PREFERENCES_ROW(row) ? adw_preferences_row_get_title(ADW_PREFERENCES_ROW(row)) : nullptr;
    }
  }
  return nullptr;
}

}  // namespace

void quiet_decorations(GtkWidget* w) {
  if (decoration(w)) {
    gtk_accessible_update_state(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
    return;
  }
  if (GTK_IS_LIST_BOX(w) || GTK_IS_LIST_VIEW(w)) set_label(w, list_title(w));
#if GTK_CHECK_VERSION(4, 10, 0)
  // GTK 4.18 names an entry row from all it holds, its title and its entry
  // labelled by that title: "Port Port". It is named by its title alone.
  else if (ADW_IS_ENTRY_ROW(w)) set_label(w, adw_preferences_row_get_title(ADW_PREFERENCES_ROW(w)));
#endif
  else if (g_str_equal(G_OBJECT_TYPE_NAME(w), "AdwGizmo"))
    set_label(w, row_title(w) ? row_title(w) : holds_window_controls(w) ? "Window controls" : nullptr);
  else if (gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(w)) == GTK_ACCESSIBLE_ROLE_LIST_ITEM &&
           !ADW_IS_PREFERENCES_ROW(w)) {
    // A choice shown in a list (a combo row's current one) is named by
    // its text, which the relation follows as it changes.
    if (GtkWidget* text = first_label(w))
      gtk_accessible_update_relation(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_RELATION_LABELLED_BY, text, nullptr, -1);
  }
  else if (ADW_IS_EXPANDER_ROW(w)) set_label(w, adw_preferences_row_get_title(ADW_PREFERENCES_ROW(w)));
  else if (GTK_IS_STACK(w)) {
    // GTK 4.8 hands a screen reader a stack's pages as objects of their
    // own, named by their type unless they have a title.
    GListModel* pages = G_LIST_MODEL(gtk_stack_get_pages(GTK_STACK(w)));
    for (guint i = 0; i < g_list_model_get_n_items(pages); ++i) {
      auto* page = GTK_STACK_PAGE(g_list_model_get_item(pages, i));
      // Named by its title, or else by the first text it shows.
      const char* title = gtk_stack_page_get_title(page);
      const char* text = title && *title ? title : first_text(gtk_stack_page_get_child(page));
      if (text) gtk_accessible_update_property(GTK_ACCESSIBLE(page), GTK_ACCESSIBLE_PROPERTY_LABEL, text, -1);
      g_object_unref(page);
    }
    g_object_unref(pages);
  }
  for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) quiet_decorations(c);
}

GtkWidget* plain_frame_new() {
  return GTK_WIDGET(g_object_new(GTK_TYPE_FRAME, "accessible-role", GTK_ACCESSIBLE_ROLE_GENERIC, nullptr));
}

}  // namespace trellan::compat
