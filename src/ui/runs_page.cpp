#include "ui/runs_page.hpp"

#include <adwaita.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "ui/chart.hpp"
#include "ui/latency_plot.hpp"
#include "core/latency_text.hpp"
#include "ui/gobject.hpp"
#include "core/meter.hpp"
#include "core/run_export.hpp"
#include "core/run_texts.hpp"
#include "core/save_file.hpp"

namespace trellan {

// ---- the page ----------------------------------------------------------------

namespace {

constexpr const char* kColumns[] = {"Interval", "Direction", "Bitrate", "Transfer",
                                    "Retransmits", "Jitter", "Loss", "Latency", "Lost probes"};
constexpr int kFirstLatencyColumn = 7;

// Everything the page's widgets and the log's listener share. Owned by the
// callbacks that need it; the page's destruction breaks the cycle through
// its widgets by dropping the references below.
struct Page {
  std::shared_ptr<RunLog> log;
  std::uint64_t listener = 0;
  std::uint64_t selected = 0;  // the run shown in the detail, 0 for none
  ChartData chart;             // the selected run's readings
  LatencyPlotData latency;     // and its latency, once it has ended
  std::vector<std::optional<IntervalLatency>> latency_cells;  // by record
  TimeAxis axis;               // the chart's, as last painted
  bool gone = false;

  Ref<GtkWidget> root;         // the status page or the runs
  Ref<GtkWidget> empty, runs;  // its two children
  Ref<GtkWidget> list, list_scroll;
  Ref<GtkWidget> detail, heading, started, chart_area, result, details, dropped, save_status;
  Ref<GtkWidget> latency_area, latency_line;
  Ref<GtkStringList> table_rows;  // each item: the reading's number since the run's start
  std::vector<std::pair<std::uint64_t, GtkWidget*>> rows;  // run id → its list row

  const RunRecord* selected_run() const { return selected ? log->find(selected) : nullptr; }
  GtkWidget* row_of(std::uint64_t id) const {
    for (const auto& [rid, row] : rows)
      if (rid == id) return row;
    return nullptr;
  }
  std::uint64_t id_of(GtkListBoxRow* row) const {
    for (const auto& [rid, r] : rows)
      if (r == GTK_WIDGET(row)) return rid;
    return 0;
  }
};

using PageRef = std::shared_ptr<Page>;

void free_page_ref(gpointer data, GClosure*) { delete static_cast<PageRef*>(data); }
void free_page_ref_notify(gpointer data) { delete static_cast<PageRef*>(data); }

template <typename Handler>
void connect(gpointer instance, const char* signal, Handler handler, const PageRef& page) {
  g_signal_connect_data(instance, signal, G_CALLBACK(handler), new PageRef(page), free_page_ref,
                        GConnectFlags{});
}

bool dark_appearance() {
  return adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default());
}

Ref<GtkWidget> label(const char* css_class, bool selectable) {
  auto l = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  gtk_label_set_wrap(GTK_LABEL(l.get()), TRUE);
  gtk_label_set_xalign(GTK_LABEL(l.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(l.get()), selectable);
  if (css_class) gtk_widget_add_css_class(l.get(), css_class);
  return l;
}

void set_label(GtkWidget* l, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
  gtk_widget_set_visible(l, !text.empty());
}

// A running run's row shows its latest reading, so that it grows live too.
std::string row_subtitle(const RunRecord& run) {
  std::string line = local_time(run.started, "%H:%M:%S");
  if (!run.options_summary.empty()) line += " · " + run.options_summary;
  line += "\n" + run_ending_text(run);
  if (run.end == RunEnd::Running && !run.intervals.empty()) {
    const IntervalRecord& last = run.intervals.back();
    line += std::string(" ") + (last.direction == Direction::Send ? "send " : "receive ") +
            readout_text(last.mbps) + " at " + last.end + " s";
  }
  return line;
}

// ---- the chart ------------------------------------------------------------

void draw_chart(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  const TimeAxis axis =
      paint_chart(cr, width, height, p.chart, dark_appearance(), gtk_widget_get_scale_factor(GTK_WIDGET(area)));
  // The latency plot below shares the time axis.
  if (axis.x0 != p.axis.x0 || axis.x1 != p.axis.x1 || axis.t_max != p.axis.t_max) {
    p.axis = axis;
    if (p.latency_area) gtk_widget_queue_draw(p.latency_area.get());
  }
}

void draw_latency(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  const Page& p = **static_cast<PageRef*>(data);
  paint_latency_plot(cr, width, height, p.latency, p.axis, dark_appearance(),
                     gtk_widget_get_scale_factor(GTK_WIDGET(area)));
}

// The chart's description follows its readings while the page is shown;
// each update is a message to the accessibility bus.
void describe_chart(Page& p) {
  if (!gtk_widget_get_mapped(p.chart_area.get())) return;
  std::string text = chart_description(p.chart);
  if (const RunRecord* run = p.selected_run(); run && run->latency)
    text += (text.empty() ? "" : " ") + latency_sentence(*run->latency);
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.chart_area.get()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 text.c_str(), -1);
}

void on_chart_mapped(GtkWidget*, gpointer data) noexcept { describe_chart(**static_cast<PageRef*>(data)); }

void on_dark_changed(GObject*, GParamSpec*, gpointer area) noexcept { gtk_widget_queue_draw(GTK_WIDGET(area)); }

// ---- the interval table ---------------------------------------------------

struct Column {
  PageRef page;
  int index;
};

void on_cell_setup(GtkSignalListItemFactory*, GtkListItem* item, gpointer) noexcept {
  GtkWidget* l = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(l), 0.0f);
  gtk_list_item_set_child(item, l);
}

void on_cell_bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) noexcept {
  const Column& c = *static_cast<Column*>(data);
  GtkWidget* l = gtk_list_item_get_child(item);
  auto* number = GTK_STRING_OBJECT(gtk_list_item_get_item(item));
  const RunRecord* run = c.page->selected_run();
  std::string text;
  if (run && number) {
    const auto n = g_ascii_strtoull(gtk_string_object_get_string(number), nullptr, 10);
    const std::size_t i = n - run->dropped_intervals;
    if (n < run->dropped_intervals || i >= run->intervals.size()) {
    } else if (c.index < kFirstLatencyColumn) {
      text = interval_cell(run->intervals[i], c.index);
    } else if (i < c.page->latency_cells.size() && c.page->latency_cells[i]) {
      const IntervalLatency& l = *c.page->latency_cells[i];
      if (c.index == kFirstLatencyColumn)
        text = l.median_ms ? ms_text(*l.median_ms) + " ms" : "";
      else
        text = std::to_string(l.lost);
    }
  }
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
}

GtkWidget* interval_table(const PageRef& page) {
  page->table_rows = Ref<GtkStringList>::take(gtk_string_list_new(nullptr));
  g_object_ref(page->table_rows.get());  // the selection model takes one
  GtkWidget* view = gtk_column_view_new(
      GTK_SELECTION_MODEL(gtk_no_selection_new(G_LIST_MODEL(page->table_rows.get()))));
  gtk_column_view_set_show_column_separators(GTK_COLUMN_VIEW(view), FALSE);
  gtk_widget_add_css_class(view, "data-table");
  for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
    GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
    g_signal_connect(factory, "setup", G_CALLBACK(on_cell_setup), nullptr);
    g_signal_connect_data(factory, "bind", G_CALLBACK(on_cell_bind), new Column{page, i},
                          [](gpointer d, GClosure*) { delete static_cast<Column*>(d); }, GConnectFlags{});
    GtkColumnViewColumn* column = gtk_column_view_column_new(kColumns[i], factory);
    gtk_column_view_column_set_resizable(column, TRUE);
    gtk_column_view_append_column(GTK_COLUMN_VIEW(view), column);
    g_object_unref(column);
  }
  gtk_accessible_update_property(GTK_ACCESSIBLE(view), GTK_ACCESSIBLE_PROPERTY_LABEL, "Intervals", -1);
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "child", view,
                                                "min-content-height", 240, "vexpand", TRUE, nullptr));
  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_frame_set_child(GTK_FRAME(frame), scrolled);
  return frame;
}

void append_table_rows(Page& p, const RunRecord& run, std::size_t from) {
  std::vector<std::string> numbers;
  for (std::size_t i = from; i < run.intervals.size(); ++i)
    numbers.push_back(std::to_string(run.dropped_intervals + i));
  std::vector<const char*> texts;
  for (const auto& n : numbers) texts.push_back(n.c_str());
  texts.push_back(nullptr);
  const guint have = g_list_model_get_n_items(G_LIST_MODEL(p.table_rows.get()));
  gtk_string_list_splice(p.table_rows.get(), have, 0, texts.data());
}

// ---- showing a run --------------------------------------------------------

void show_texts(Page& p, const RunRecord& run) {
  set_label(p.heading.get(), run_title(run));
  set_label(p.started.get(), "Started " + start_time_text(run) +
                                 (run.options_summary.empty() ? "" : " · " + run.options_summary));
  set_label(p.result.get(), run_ending_text(run));
  set_label(p.details.get(), run.end == RunEnd::Result ? run.details_text : "");
  set_label(p.latency_line.get(), run.latency_text);
  set_label(p.dropped.get(), run.dropped_intervals == 0
                                 ? ""
                                 : "The oldest " + std::to_string(run.dropped_intervals) +
                                       " readings of this run are no longer kept.");
}

// Shows `id` in the detail, or nothing.
void show_run(Page& p, std::uint64_t id) {
  p.selected = id;
  const RunRecord* run = p.selected_run();
  gtk_widget_set_visible(p.detail.get(), run != nullptr);
  set_label(p.save_status.get(), "");
  const guint have = g_list_model_get_n_items(G_LIST_MODEL(p.table_rows.get()));
  gtk_string_list_splice(p.table_rows.get(), 0, have, nullptr);
  p.chart = run ? ChartData(run->intervals) : ChartData();
  p.latency = run ? LatencyPlotData(*run) : LatencyPlotData();
  p.latency_cells = run ? latency_of_records(*run) : std::vector<std::optional<IntervalLatency>>();
  gtk_widget_set_visible(p.latency_area.get(), !p.latency.empty());
  gtk_widget_queue_draw(p.latency_area.get());
  if (!run) return;
  show_texts(p, *run);
  append_table_rows(p, *run, 0);
  gtk_widget_queue_draw(p.chart_area.get());
  describe_chart(p);
}

// A new reading of the shown run: the chart, the table and, past the cap,
// the readings that went.
void grow_run(Page& p, const RunRecord& run) {
  const IntervalRecord& newest = run.intervals.back();
  p.chart.add(newest);
  p.chart.keep_newest(run.intervals.size());
  const guint have = g_list_model_get_n_items(G_LIST_MODEL(p.table_rows.get()));
  const std::size_t gone = have + 1 > run.intervals.size() ? have + 1 - run.intervals.size() : 0;
  if (gone > 0) {
    gtk_string_list_splice(p.table_rows.get(), 0, static_cast<guint>(std::min<std::size_t>(gone, have)), nullptr);
    show_texts(p, run);
  }
  append_table_rows(p, run, run.intervals.size() - 1);
  gtk_widget_queue_draw(p.chart_area.get());  // nothing is drawn while the page is hidden
  describe_chart(p);
}

GtkWidget* run_row(const RunRecord& run) {
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), run_title(run).c_str());
  adw_action_row_set_subtitle(ADW_ACTION_ROW(row), row_subtitle(run).c_str());
  adw_action_row_set_subtitle_lines(ADW_ACTION_ROW(row), 3);
  return row;
}

// The page scrolls as a whole, which gives the list no more than its
// minimum height: from two runs on, that shows two rows and a scroll bar.
void size_list(Page& p) {
  gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(p.list_scroll.get()),
                                             p.rows.size() >= 2 ? 112 : -1);
}

void on_log_change(Page& p, RunLog::Change change, const RunRecord& run) {
  if (p.gone) return;
  switch (change) {
    case RunLog::Change::Added: {
      GtkWidget* row = run_row(run);
      gtk_list_box_prepend(GTK_LIST_BOX(p.list.get()), row);
      p.rows.emplace_back(run.id, row);
      size_list(p);
      gtk_widget_set_visible(p.empty.get(), FALSE);
      gtk_widget_set_visible(p.runs.get(), TRUE);
      gtk_list_box_select_row(GTK_LIST_BOX(p.list.get()), GTK_LIST_BOX_ROW(row));  // shows it
      break;
    }
    case RunLog::Change::Interval:
      if (run.id == p.selected) grow_run(p, run);
      [[fallthrough]];
    case RunLog::Change::Ended:
      if (GtkWidget* row = p.row_of(run.id))
        adw_action_row_set_subtitle(ADW_ACTION_ROW(row), row_subtitle(run).c_str());
      if (change == RunLog::Change::Ended && run.id == p.selected) {
        if (run.latency || !run.latency_text.empty())
          show_run(p, run.id);  // the latency's plot, cells and description too
        else
          show_texts(p, run);
      }
      break;
    case RunLog::Change::Removed:
      if (GtkWidget* row = p.row_of(run.id)) {
        std::erase_if(p.rows, [&](const auto& r) { return r.first == run.id; });
        gtk_list_box_remove(GTK_LIST_BOX(p.list.get()), row);
        size_list(p);
      }
      if (run.id == p.selected) show_run(p, 0);
      break;
  }
}

void on_row_selected(GtkListBox*, GtkListBoxRow* row, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  const std::uint64_t id = row ? p.id_of(row) : 0;
  if (id != p.selected) show_run(p, id);
}

// ---- copy and save --------------------------------------------------------

void copy_text(Page& p, const std::string& text) {
  gdk_clipboard_set_text(gtk_widget_get_clipboard(p.list.get()), text.c_str());
}

void on_copy_text(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) copy_text(p, run_report(*run));
}

void on_copy_csv(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) copy_text(p, intervals_csv(*run));
}

// Writes run `id`'s CSV to `file` and says how that went.
void save_csv(Page& p, std::uint64_t id, GFile* file) {
  if (p.gone) return;
  const RunRecord* run = p.log->find(id);
  gchar* path = g_file_get_path(file);
  gchar* name = g_file_get_parse_name(file);
  std::string outcome;
  if (!run) outcome = "Not saved: the run is no longer kept.";
  else if (!path) outcome = std::string("Could not save “") + name + "”: only local files can be written.";
  else if (auto error = save_file_atomically(path, intervals_csv(*run)))
    outcome = std::string("Could not save “") + name + "”: " + *error + ".";
  else outcome = std::string("Saved as “") + name + "”.";
  g_free(path);
  g_free(name);
  if (id == p.selected) set_label(p.save_status.get(), outcome);
}

struct SaveRequest {
  PageRef page;
  std::uint64_t id;
};

#if GTK_CHECK_VERSION(4, 10, 0)
void on_save_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<SaveRequest> request(static_cast<SaveRequest*>(data));
  GError* error = nullptr;
  if (GFile* file = gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, &error)) {
    save_csv(*request->page, request->id, file);
    g_object_unref(file);
  }
  g_clear_error(&error);  // dismissed
}
#else
void on_save_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  std::unique_ptr<SaveRequest> request(static_cast<SaveRequest*>(data));
  if (response == GTK_RESPONSE_ACCEPT) {
    if (GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))) {
      save_csv(*request->page, request->id, file);
      g_object_unref(file);
    }
  }
  g_object_unref(dialog);
}
#endif

void on_save(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  auto* parent = GTK_WINDOW(gtk_widget_get_root(GTK_WIDGET(button)));
  const std::string name = csv_file_name(*run);
  auto* request = new SaveRequest{page, run->id};
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), "Save as CSV");
  gtk_file_dialog_set_initial_name(dialog.get(), name.c_str());
  gtk_file_dialog_save(dialog.get(), parent, nullptr, on_save_chosen, request);
#else
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
      "Save as CSV", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
  g_signal_connect(dialog, "response", G_CALLBACK(on_save_response), request);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
#endif
}

// ---- building -------------------------------------------------------------

void on_page_destroy(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  p.gone = true;
  p.log->remove_listener(p.listener);
  // The widgets' handlers hold the page; the page lets go of the widgets.
  for (Ref<GtkWidget>* w : {&p.root, &p.empty, &p.runs, &p.list, &p.list_scroll, &p.detail, &p.heading,
                            &p.started, &p.chart_area, &p.result, &p.details, &p.dropped, &p.save_status,
                            &p.latency_area, &p.latency_line})
    w->reset();
  p.rows.clear();
}

GtkWidget* vbox(int spacing) { return gtk_box_new(GTK_ORIENTATION_VERTICAL, spacing); }

GtkWidget* button(const char* text, void (*handler)(GtkButton*, gpointer) noexcept, const PageRef& page) {
  GtkWidget* b = gtk_button_new_with_label(text);
  connect(b, "clicked", handler, page);
  return b;
}

}  // namespace

GtkWidget* runs_page_new(std::shared_ptr<RunLog> log) {
  auto page = std::make_shared<Page>();
  page->log = std::move(log);
  Page& p = *page;

  GtkWidget* empty = adw_status_page_new();
  adw_status_page_set_icon_name(ADW_STATUS_PAGE(empty), "document-open-recent-symbolic");
  adw_status_page_set_title(ADW_STATUS_PAGE(empty), "No runs yet");
  adw_status_page_set_description(
      ADW_STATUS_PAGE(empty),
      "Each test started on the Client page, and each client served on the Server page, is kept "
      "here with its readings while this window is open.");

  // The runs, newest first, in a list that scrolls on its own past a few rows.
  p.list = Ref<GtkWidget>::sink(gtk_list_box_new());
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(p.list.get()), GTK_SELECTION_SINGLE);
  gtk_widget_add_css_class(p.list.get(), "boxed-list");
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.list.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, "Runs", -1);
  connect(p.list.get(), "row-selected", on_row_selected, page);
  p.list_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(
      GTK_TYPE_SCROLLED_WINDOW, "child", p.list.get(), "hscrollbar-policy", GTK_POLICY_NEVER,
      "propagate-natural-height", TRUE, "max-content-height", 170, nullptr)));

  // The selected run: heading, chart, texts, buttons, table.
  p.heading = label("heading", false);
  p.started = label("caption", false);
  gtk_widget_add_css_class(p.started.get(), "dim-label");
  auto* area = GTK_DRAWING_AREA(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role",
                                             GTK_ACCESSIBLE_ROLE_IMG, nullptr));
  p.chart_area = Ref<GtkWidget>::sink(GTK_WIDGET(area));
  gtk_drawing_area_set_content_height(area, 220);
  gtk_widget_set_hexpand(GTK_WIDGET(area), TRUE);
  gtk_drawing_area_set_draw_func(area, draw_chart, new PageRef(page), free_page_ref_notify);
  gtk_accessible_update_property(GTK_ACCESSIBLE(area), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Throughput over time", -1);
  connect(area, "map", on_chart_mapped, page);
  if (adw_is_initialized())
    g_signal_connect_object(adw_style_manager_get_default(), "notify::dark", G_CALLBACK(on_dark_changed),
                            area, GConnectFlags{});
  // Under the chart, on its time axis: the latency, for runs that have it.
  auto* latency_area = GTK_DRAWING_AREA(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role",
                                                     GTK_ACCESSIBLE_ROLE_IMG, nullptr));
  p.latency_area = Ref<GtkWidget>::sink(GTK_WIDGET(latency_area));
  gtk_drawing_area_set_content_height(latency_area, 120);
  gtk_widget_set_hexpand(GTK_WIDGET(latency_area), TRUE);
  gtk_widget_set_visible(GTK_WIDGET(latency_area), FALSE);
  gtk_drawing_area_set_draw_func(latency_area, draw_latency, new PageRef(page), free_page_ref_notify);
  gtk_accessible_update_property(GTK_ACCESSIBLE(latency_area), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Latency over time", -1);
  if (adw_is_initialized())
    g_signal_connect_object(adw_style_manager_get_default(), "notify::dark", G_CALLBACK(on_dark_changed),
                            latency_area, GConnectFlags{});
  GtkWidget* plots = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(plots), GTK_WIDGET(area));
  gtk_box_append(GTK_BOX(plots), GTK_WIDGET(latency_area));
  GtkWidget* chart_frame = gtk_frame_new(nullptr);
  gtk_widget_add_css_class(chart_frame, "card");
  gtk_widget_set_overflow(chart_frame, GTK_OVERFLOW_HIDDEN);
  gtk_frame_set_child(GTK_FRAME(chart_frame), plots);

  p.result = label(nullptr, true);
  p.details = label("caption", true);  // figures: at full contrast, as on the pages
  p.latency_line = label("caption", true);
  p.dropped = label("caption", false);
  gtk_widget_add_css_class(p.dropped.get(), "dim-label");
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_append(GTK_BOX(buttons), button("Copy as text", on_copy_text, page));
  gtk_box_append(GTK_BOX(buttons), button("Copy as CSV", on_copy_csv, page));
  gtk_box_append(GTK_BOX(buttons), button("Save as CSV…", on_save, page));
  p.save_status = label(nullptr, true);
  gtk_widget_set_visible(p.save_status.get(), FALSE);

  p.detail = Ref<GtkWidget>::sink(vbox(8));
  for (GtkWidget* w : {p.heading.get(), p.started.get(), chart_frame, p.result.get(), p.details.get(),
                       p.latency_line.get(), p.dropped.get(),
                       buttons, p.save_status.get(), interval_table(page)})
    gtk_box_append(GTK_BOX(p.detail.get()), w);
  gtk_widget_set_visible(p.detail.get(), FALSE);

  GtkWidget* content = vbox(16);
  gtk_widget_set_margin_top(content, 12);
  gtk_widget_set_margin_bottom(content, 16);
  gtk_widget_set_margin_start(content, 12);
  gtk_widget_set_margin_end(content, 12);
  gtk_box_append(GTK_BOX(content), p.list_scroll.get());
  gtk_box_append(GTK_BOX(content), p.detail.get());
  GtkWidget* clamp = GTK_WIDGET(g_object_new(ADW_TYPE_CLAMP, "maximum-size", 1400, "child", content, nullptr));
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy",
                                                GTK_POLICY_NEVER, "child", clamp, nullptr));

  // Either the status page or the runs; the hidden one is out of a screen
  // reader's reach too.
  p.root = Ref<GtkWidget>::sink(vbox(0));
  p.empty = Ref<GtkWidget>::add(empty);
  p.runs = Ref<GtkWidget>::add(scrolled);
  gtk_widget_set_vexpand(empty, TRUE);
  gtk_widget_set_vexpand(scrolled, TRUE);
  gtk_widget_set_visible(scrolled, FALSE);
  gtk_box_append(GTK_BOX(p.root.get()), empty);
  gtk_box_append(GTK_BOX(p.root.get()), scrolled);
  connect(p.root.get(), "destroy", on_page_destroy, page);

  std::weak_ptr<Page> weak = page;
  p.listener = p.log->add_listener([weak](RunLog::Change change, const RunRecord& run) {
    if (auto page = weak.lock()) on_log_change(*page, change, run);
  });
  for (const auto& run : p.log->runs()) on_log_change(p, RunLog::Change::Added, *run);
  return p.root.get();
}

}  // namespace trellan
