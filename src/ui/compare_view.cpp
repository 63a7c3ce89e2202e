#include "ui/compare_view.hpp"

#include <adwaita.h>

#include <algorithm>
#include <string>
#include <utility>

#include "core/compare.hpp"
#include "core/gobject.hpp"
#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/save_file.hpp"
#include "ui/chart_image.hpp"
#include "ui/clipboard_text.hpp"
#include "ui/compat.hpp"
#include "ui/compare_view_paint.hpp"
#include "ui/label_text.hpp"

namespace trellan {
namespace {

// Everything the view's widgets share. Owned by the callbacks that need it;
// the view's destruction breaks the cycle through its widgets by dropping
// the references below.
struct View {
  std::vector<std::shared_ptr<const RunRecord>> runs;
  CompareData data;
  TimeAxis axis;  // the throughput chart's, as last painted
  bool gone = false;
  Ref<GtkWidget> heading, throughput, latency, rates, probes, table_scroll, table, status;

  std::vector<const RunRecord*> records() const {
    std::vector<const RunRecord*> out;
    for (const auto& r : runs) out.push_back(r.get());
    return out;
  }
};

using ViewRef = std::shared_ptr<View>;

// The window width from which the three buttons fit in one row beside the
// page's margins.
constexpr int kButtonsInARow = 720;
constexpr const char* kViewKey = "trellan-compare-view";

void free_view_ref(gpointer data, GClosure*) { delete static_cast<ViewRef*>(data); }
void free_view_ref_notify(gpointer data) { delete static_cast<ViewRef*>(data); }

template <typename Handler>
void connect(gpointer instance, const char* signal, Handler handler, const ViewRef& view) {
  g_signal_connect_data(instance, signal, G_CALLBACK(handler), new ViewRef(view), free_view_ref, GConnectFlags{});
}

View& view_of(gpointer data) { return **static_cast<ViewRef*>(data); }

bool dark_appearance() {
  return adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default());
}

void on_dark_changed(GObject*, GParamSpec*, gpointer area) noexcept { gtk_widget_queue_draw(GTK_WIDGET(area)); }

// ---- the plots ------------------------------------------------------------

// The middle of sorted values.
double median_of(const std::vector<double>& sorted) {
  const std::size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

// What a distribution shows, in words: each run's range and median.
std::string distribution_description(const CompareData& data, Distribution which) {
  const bool rates = which == Distribution::Rates;
  auto figure = [&](double v) { return rates ? rate_text(v) : ms_text(v) + " ms"; };
  std::string out = rates ? "Share of each run's one-second rates up to each rate:"
                          : "Share of each run's answered probes under load up to each round-trip time:";
  for (std::size_t i = 0; i < data.runs.size(); ++i) {
    const std::vector<double>& values = rates ? data.runs[i].rates : data.runs[i].probes;
    out += (i ? "; run " : " run ") + std::to_string(i + 1);
    if (values.empty()) {
      out += rates ? " has no one-second rate" : " has no answered probe";
      continue;
    }
    out += " from " + figure(values.front()) + " to " + figure(values.back()) + ", median " +
           figure(median_of(values)) + " (" + std::to_string(values.size()) +
           (rates ? (values.size() == 1 ? " second)" : " seconds)") : (values.size() == 1 ? " reply)" : " replies)"));
  }
  return out + ".";
}

void draw_throughput(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  View& v = view_of(data);
  const TimeAxis axis = paint_compare_throughput(cr, width, height, v.data, dark_appearance(),
                                                 gtk_widget_get_scale_factor(GTK_WIDGET(area)));
  // The latency plot below shares the time axis.
  if (axis.x0 != v.axis.x0 || axis.x1 != v.axis.x1 || axis.t_max != v.axis.t_max) {
    v.axis = axis;
    if (v.latency) gtk_widget_queue_draw(v.latency.get());
  }
}

void draw_latency(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  const View& v = view_of(data);
  paint_compare_latency(cr, width, height, v.data, v.axis, dark_appearance(),
                        gtk_widget_get_scale_factor(GTK_WIDGET(area)));
}

void draw_rates(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer data) noexcept {
  paint_compare_distribution(cr, width, height, view_of(data).data, Distribution::Rates, dark_appearance());
}

void draw_probes(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer data) noexcept {
  paint_compare_distribution(cr, width, height, view_of(data).data, Distribution::Latency, dark_appearance());
}

Ref<GtkWidget> plot_area(const ViewRef& view, GtkDrawingAreaDrawFunc draw, int height, const char* name) {
  auto area = Ref<GtkWidget>::sink(
      GTK_WIDGET(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role", GTK_ACCESSIBLE_ROLE_IMG, nullptr)));
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(area.get()), height);
  gtk_widget_set_hexpand(area.get(), TRUE);
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area.get()), draw, new ViewRef(view), free_view_ref_notify);
  gtk_accessible_update_property(GTK_ACCESSIBLE(area.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, name, -1);
  if (adw_is_initialized())
    g_signal_connect_object(adw_style_manager_get_default(), "notify::dark", G_CALLBACK(on_dark_changed),
                            area.get(), GConnectFlags{});
  return area;
}

// ---- the table --------------------------------------------------------------

// A widget of the table with the role a screen reader needs, named by its
// text: GTK would otherwise name a box after its type.
GtkWidget* with_role(GType type, GtkAccessibleRole role) {
  return GTK_WIDGET(g_object_new(type, "accessible-role", role, nullptr));
}

GtkWidget* cell(GtkAccessibleRole role, const std::string& text, bool numeric) {
  GtkWidget* l = with_role(GTK_TYPE_LABEL, role);
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
  gtk_label_set_xalign(GTK_LABEL(l), numeric ? 1.0f : 0.0f);
  // An empty cell is a dash, as in the table of readings.
  gtk_accessible_update_property(GTK_ACCESSIBLE(l), GTK_ACCESSIBLE_PROPERTY_LABEL, text.empty() ? "—" : text.c_str(),
                                 -1);
  return l;
}

// A square of run i's colour, beside its number.
void draw_swatch(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer index) noexcept {
  plot::set_rgb(cr, compared_run_colour(GPOINTER_TO_SIZE(index), dark_appearance()));
  cairo_rectangle(cr, 0, (height - 12) / 2.0, std::min(width, 12), 12);
  cairo_fill(cr);
}

void fill_table(View& v) {
  GtkWidget* table = v.table.get();
  while (GtkWidget* child = gtk_widget_get_first_child(table)) gtk_box_remove(GTK_BOX(table), child);
  const auto records = v.records();
  const ComparisonTable t = comparison_table(records);
  const std::vector<std::string> sentences = comparison_sentences(records);
  // The columns line up across the rows by a size group each.
  std::vector<Ref<GtkSizeGroup>> columns;
  for (std::size_t k = 0; k < t.titles.size(); ++k)
    columns.push_back(Ref<GtkSizeGroup>::take(gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL)));
  const auto add_row = [&](const std::vector<std::string>& cells, bool header, std::size_t index) {
    GtkWidget* row = with_role(GTK_TYPE_BOX, GTK_ACCESSIBLE_ROLE_ROW);
    gtk_box_set_spacing(GTK_BOX(row), 18);
    gtk_widget_add_css_class(row, header ? "heading" : "compared-run");
    for (std::size_t k = 0; k < cells.size(); ++k) {
      GtkWidget* slot;
      if (k == 0 && !header) {
        // The run's number beside its colour in the charts.
        slot = with_role(GTK_TYPE_BOX, GTK_ACCESSIBLE_ROLE_CELL);
        gtk_box_set_spacing(GTK_BOX(slot), 6);
        gtk_accessible_update_property(GTK_ACCESSIBLE(slot), GTK_ACCESSIBLE_PROPERTY_LABEL, cells[k].c_str(), -1);
        GtkWidget* swatch = with_role(GTK_TYPE_DRAWING_AREA, GTK_ACCESSIBLE_ROLE_PRESENTATION);
        gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(swatch), 12);
        gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(swatch), draw_swatch, GSIZE_TO_POINTER(index), nullptr);
        if (adw_is_initialized())
          g_signal_connect_object(adw_style_manager_get_default(), "notify::dark", G_CALLBACK(on_dark_changed),
                                  swatch, GConnectFlags{});
        GtkWidget* number = gtk_label_new(cells[k].c_str());
        gtk_label_set_xalign(GTK_LABEL(number), 1.0f);
        gtk_box_append(GTK_BOX(slot), swatch);
        gtk_box_append(GTK_BOX(slot), number);
      } else {
        slot = cell(header ? GTK_ACCESSIBLE_ROLE_COLUMN_HEADER : GTK_ACCESSIBLE_ROLE_CELL, cells[k], t.numeric[k]);
        // A header says what its column is of; a cell says its column.
        const std::string spoken =
            header ? t.spoken_titles[k] : t.spoken_titles[k] + ": " + (cells[k].empty() ? "—" : cells[k]);
        gtk_accessible_update_property(GTK_ACCESSIBLE(slot), GTK_ACCESSIBLE_PROPERTY_LABEL, spoken.c_str(), -1);
      }
      gtk_accessible_update_relation(GTK_ACCESSIBLE(slot), GTK_ACCESSIBLE_RELATION_COL_INDEX,
                                     static_cast<int>(k + 1), -1);
      gtk_size_group_add_widget(columns[k].get(), slot);
      gtk_box_append(GTK_BOX(row), slot);
    }
    // A screen reader hears a compared run as one sentence.
    const std::string name = header ? "Columns" : sentences[index];
    gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
    gtk_accessible_update_relation(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_RELATION_ROW_INDEX,
                                   static_cast<int>(header ? 1 : index + 2), -1);
    gtk_box_append(GTK_BOX(table), row);
  };
  add_row(t.titles, true, 0);
  for (std::size_t i = 0; i < t.rows.size(); ++i) add_row(t.rows[i], false, i);
  gtk_accessible_update_relation(GTK_ACCESSIBLE(table), GTK_ACCESSIBLE_RELATION_ROW_COUNT,
                                 static_cast<int>(t.rows.size() + 1), GTK_ACCESSIBLE_RELATION_COL_COUNT,
                                 static_cast<int>(t.titles.size()), -1);
}

// ---- copy and save ----------------------------------------------------------

// Says what went to the clipboard, as a run's copy does, where the view
// lies in a page that shows toasts.
void tell_copied(GtkButton* button, const View& v, const char* as) {
  GtkWidget* overlay = gtk_widget_get_ancestor(GTK_WIDGET(button), ADW_TYPE_TOAST_OVERLAY);
  if (!overlay) return;
  const std::string text = "Copied the comparison of " + std::to_string(v.runs.size()) + " runs as " + as;
  adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(overlay), adw_toast_new(text.c_str()));
}

void on_copy_csv(GtkButton* button, gpointer data) noexcept {
  const View& v = view_of(data);
  if (v.runs.empty()) return;
  set_clipboard_text(gtk_widget_get_clipboard(GTK_WIDGET(button)), comparison_csv(v.records()));
  tell_copied(button, v, "CSV");
}

void on_copy_text(GtkButton* button, gpointer data) noexcept {
  const View& v = view_of(data);
  if (v.runs.empty()) return;
  set_clipboard_text(gtk_widget_get_clipboard(GTK_WIDGET(button)), comparison_text(v.records()));
  tell_copied(button, v, "text");
}

void set_status(View& v, const std::string& text) {
  if (!v.status) return;
  gtk_label_set_text(GTK_LABEL(v.status.get()), shown_text(text).c_str());
  gtk_widget_set_visible(v.status.get(), !text.empty());
}

// The chart as it is laid out now, written to `file` as the name asks:
// PNG or SVG.
void save_image(const ViewRef& view, GFile* file) {
  View& v = *view;
  if (v.gone) return;
  const CharPtr name(g_file_get_parse_name(file));
  const CharPtr base(g_file_get_basename(file));
  const int width = std::max(480, v.throughput ? gtk_widget_get_width(v.throughput.get()) : 0);
  const int height = static_cast<int>(comparison_height(v.data));
  const bool dark = dark_appearance();
  std::string bytes = painted_image(image_format_of(base ? base.get() : ""), width, height,
                                    [&](cairo_t* cr) { paint_comparison(cr, width, v.data, dark); });
  if (bytes.empty()) return set_status(v, save_outcome_text(name.get(), "the image could not be drawn"));
  set_status(v, std::string("Saving “") + name.get() + "”…");
  save_file_in_background(file, std::move(bytes),
                          [weak = std::weak_ptr<View>(view), name = std::string(name.get())](auto error) {
                            const auto view = weak.lock();
                            if (view && !view->gone) set_status(*view, save_outcome_text(name, error));
                          });
}

#if GTK_CHECK_VERSION(4, 10, 0)
void on_save_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<ViewRef> view(static_cast<ViewRef*>(data));  // one call per request
  GError* error = nullptr;
  if (const auto file = Ref<GFile>::take(gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    save_image(*view, file.get());
  g_clear_error(&error);  // dismissed
}
#else
// The dialog's one response. The reference on_save kept goes with it, and
// the view's with the dialog.
void on_save_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return;
  if (const auto file = Ref<GFile>::take(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))))
    save_image(*static_cast<ViewRef*>(data), file.get());
}
#endif

void on_save(GtkButton* button, gpointer data) noexcept {
  const ViewRef& view = *static_cast<ViewRef*>(data);
  if (view->runs.empty()) return;
  auto* parent = GTK_WINDOW(gtk_widget_get_root(GTK_WIDGET(button)));
  const std::string name =
      "trellan-comparison-" + local_time(view->runs.front()->started, "%Y%m%d-%H%M%S") + ".png";
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), "Save chart as image");
  gtk_file_dialog_set_initial_name(dialog.get(), name.c_str());
  gtk_file_dialog_save(dialog.get(), parent, nullptr, on_save_chosen, new ViewRef(view));
#else
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new("Save chart as image", parent,
                                                             GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_save_response), new ViewRef(view), free_view_ref,
                        GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));  // kept until its response
#endif
}

GtkWidget* button(const char* text, void (*handler)(GtkButton*, gpointer) noexcept, const ViewRef& view) {
  GtkWidget* b = gtk_button_new_with_label(text);
  connect(b, "clicked", handler, view);
  return b;
}

void on_view_destroy(GtkWidget*, gpointer data) noexcept {
  View& v = view_of(data);
  if (v.gone) return;
  v.gone = true;
  // The widgets' handlers hold the view; the view lets go of the widgets.
  for (Ref<GtkWidget>* w : {&v.heading, &v.throughput, &v.latency, &v.rates, &v.probes, &v.table_scroll, &v.table,
                            &v.status})
    w->reset();
}

}  // namespace

GtkWidget* compare_view_new() {
  auto view = std::make_shared<View>();
  View& v = *view;
  GtkWidget* root = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_add_css_class(root, "comparison");

  v.heading = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_label_set_xalign(GTK_LABEL(v.heading.get()), 0.0f);
  gtk_widget_add_css_class(v.heading.get(), "heading");

  v.throughput = plot_area(view, draw_throughput, 0, "Throughput over time");
  v.latency = plot_area(view, draw_latency, static_cast<int>(kCompareLatencyHeight), "Latency over time");
  v.rates = plot_area(view, draw_rates, static_cast<int>(kCompareDistributionHeight),
                      "Distribution of one-second rates");
  v.probes = plot_area(view, draw_probes, static_cast<int>(kCompareDistributionHeight),
                       "Distribution of latency under load");
  GtkWidget* distributions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_box_set_homogeneous(GTK_BOX(distributions), TRUE);
  gtk_box_append(GTK_BOX(distributions), v.rates.get());
  gtk_box_append(GTK_BOX(distributions), v.probes.get());
  GtkWidget* plots = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  for (GtkWidget* w : {v.throughput.get(), v.latency.get(), distributions}) gtk_box_append(GTK_BOX(plots), w);
  GtkWidget* frame = compat::plain_frame_new();
  gtk_widget_add_css_class(frame, "card");
  gtk_widget_set_overflow(frame, GTK_OVERFLOW_HIDDEN);
  gtk_frame_set_child(GTK_FRAME(frame), plots);

  v.table = Ref<GtkWidget>::sink(with_role(GTK_TYPE_BOX, GTK_ACCESSIBLE_ROLE_TABLE));
  gtk_orientable_set_orientation(GTK_ORIENTABLE(v.table.get()), GTK_ORIENTATION_VERTICAL);
  gtk_box_set_spacing(GTK_BOX(v.table.get()), 4);
  gtk_accessible_update_property(GTK_ACCESSIBLE(v.table.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, "Comparison", -1);
  // The bar across is a widget of its own under the table, drawn where the
  // table is wider than the window: inside the scrolled window it covered
  // the last row, and as an overlay it showed only under the pointer.
  v.table_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(
      g_object_new(GTK_TYPE_SCROLLED_WINDOW, "child", v.table.get(), "vscrollbar-policy", GTK_POLICY_NEVER,
                   "hscrollbar-policy", GTK_POLICY_EXTERNAL, "propagate-natural-height", TRUE, nullptr)));
  GtkAdjustment* across = gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(v.table_scroll.get()));
  GtkWidget* table_bar = gtk_scrollbar_new(GTK_ORIENTATION_HORIZONTAL, across);
  gtk_widget_set_visible(table_bar, FALSE);
  compat::name_scroll_bars(v.table_scroll.get(), "the comparison table");
  gtk_accessible_update_property(GTK_ACCESSIBLE(table_bar), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Horizontal scroll bar of the comparison table", -1);
  // The bar reports the position; the range inside it is its drawing.
  for (GtkWidget* c = gtk_widget_get_first_child(table_bar); c; c = gtk_widget_get_next_sibling(c))
    if (GTK_IS_RANGE(c)) gtk_accessible_update_state(GTK_ACCESSIBLE(c), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
  g_signal_connect_object(across, "changed", G_CALLBACK(+[](GtkAdjustment* a, gpointer bar) noexcept {
                            gtk_widget_set_visible(GTK_WIDGET(bar), gtk_adjustment_get_upper(a) >
                                                                        gtk_adjustment_get_page_size(a) + 0.5);
                          }), table_bar, GConnectFlags{});
  GtkWidget* table_area = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(table_area), v.table_scroll.get());
  gtk_box_append(GTK_BOX(table_area), table_bar);

  // The buttons stand in a row where there is room, else one under the
  // other, so that the view fits the narrowest window.
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_widget_set_halign(buttons, GTK_ALIGN_START);
  // Where the switch keeps the height of the column, the row stays its own
  // height.
  gtk_widget_set_valign(buttons, GTK_ALIGN_START);
  gtk_box_append(GTK_BOX(buttons), button("Copy comparison as CSV", on_copy_csv, view));
  gtk_box_append(GTK_BOX(buttons), button("Copy comparison as text", on_copy_text, view));
  gtk_box_append(GTK_BOX(buttons), button("Save chart as image…", on_save, view));
  GtkWidget* button_row = compat::width_switch_new(buttons, kButtonsInARow, [buttons](bool wide) {
    gtk_orientable_set_orientation(GTK_ORIENTABLE(buttons), wide ? GTK_ORIENTATION_HORIZONTAL
                                                                 : GTK_ORIENTATION_VERTICAL);
  });
  v.status = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_label_set_xalign(GTK_LABEL(v.status.get()), 0.0f);
  wrap_anywhere(v.status.get());
  gtk_label_set_selectable(GTK_LABEL(v.status.get()), TRUE);
  gtk_widget_set_visible(v.status.get(), FALSE);

  for (GtkWidget* w : {v.heading.get(), frame, table_area, button_row, v.status.get()})
    gtk_box_append(GTK_BOX(root), w);
  connect(root, "destroy", on_view_destroy, view);
  g_object_set_data_full(G_OBJECT(root), kViewKey, new ViewRef(view), free_view_ref_notify);
  return root;
}

void compare_view_set_runs(GtkWidget* widget, std::vector<std::shared_ptr<const RunRecord>> runs) {
  auto* ref = static_cast<ViewRef*>(g_object_get_data(G_OBJECT(widget), kViewKey));
  if (!ref || (*ref)->gone) return;
  View& v = **ref;
  std::erase(runs, nullptr);
  if (runs.size() > kMaxComparedRuns) runs.resize(kMaxComparedRuns);
  v.runs = std::move(runs);
  const auto records = v.records();
  v.data = CompareData(records);
  v.axis = TimeAxis{};
  gtk_label_set_text(GTK_LABEL(v.heading.get()), comparison_heading(v.runs.size()).c_str());
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(v.throughput.get()),
                                      static_cast<int>(compare_throughput_height(v.data)));
  gtk_widget_set_visible(v.latency.get(), v.data.any_latency());
  std::string description;
  for (const std::string& s : comparison_sentences(records)) description += (description.empty() ? "" : " ") + s;
  gtk_accessible_update_property(GTK_ACCESSIBLE(v.throughput.get()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 description.c_str(), -1);
  for (const auto& [area, which] : {std::pair{v.rates.get(), Distribution::Rates},
                                    std::pair{v.probes.get(), Distribution::Latency}})
    gtk_accessible_update_property(GTK_ACCESSIBLE(area), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   distribution_description(v.data, which).c_str(), -1);
  fill_table(v);
  set_status(v, "");
  for (GtkWidget* w : {v.throughput.get(), v.latency.get(), v.rates.get(), v.probes.get()}) gtk_widget_queue_draw(w);
}

}  // namespace trellan
