#include "ui/runs_page.hpp"

#include <adwaita.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "ui/chart.hpp"
#include "core/gobject.hpp"
#include "ui/clipboard_text.hpp"
#include "ui/compat.hpp"
#include "ui/interval_table.hpp"
#include "ui/latency_plot.hpp"
#include "core/latency_text.hpp"
#include "core/meter.hpp"
#include "core/run_export.hpp"
#include "core/run_words.hpp"
#include "core/save_file.hpp"
#include "process/tool_version.hpp"

namespace trellan {

// ---- the page ----------------------------------------------------------------

namespace {

// One run's row in the list, and what it last told a screen reader.
struct RunRow {
  std::uint64_t id;
  GtkWidget* row;    // the list's
  GtkWidget* check;  // the row's: marks the chosen run
  std::string name;
  bool stale = false;  // readings came while the page was hidden
};

// The list of runs shows this many rows at least, and leaves about this
// much of the page's height to the chosen run's heading, chart and buttons.
constexpr int kListRowsAtLeast = 4;
constexpr int kHeightForDetail = 300;

// Everything the page's widgets and the log's listener share. Owned by the
// callbacks that need it; the page's destruction breaks the cycle through
// its widgets by dropping the references below.
struct Page {
  std::shared_ptr<RunLog> log;
  std::weak_ptr<Page> self;
  std::uint64_t listener = 0;
  std::uint64_t selected = 0;  // the run shown in the detail, 0 for none
  ChartData chart;             // the selected run's intervals
  LatencyPlotData latency;     // and its latency, once it has ended
  TimeAxis axis;               // the chart's, as last painted
  bool gone = false;

  Ref<GtkWidget> root;         // the status page or the runs
  Ref<GtkWidget> empty, runs;  // its two children
  Ref<GtkWidget> list, list_scroll;
  Ref<GtkWidget> detail, heading, started, chart_area, result, details, dropped, save_status;
  Ref<GtkWidget> cap_notice;  // the runs the window let go
  // A run that failed before its first interval: its error in place of the
  // chart and the table.
  Ref<GtkWidget> chart_frame, failure, failure_icon, failure_title, failure_text;
  std::unique_ptr<IntervalTable> table;
  std::vector<RunRow> rows;
  guint layout_source = 0;  // sizes the list and brings the chosen row into view
  int layout_frames = 0;    // frames the chosen row may take to be laid out
  bool reveal_chosen = false;
  Ref<GtkWidget> latency_area, latency_line;

  const RunRecord* selected_run() const { return selected ? log->find(selected) : nullptr; }
  std::shared_ptr<const RunRecord> shared_run(std::uint64_t id) const {
    for (const auto& r : log->runs())
      if (r->id == id) return r;
    return nullptr;
  }
  RunRow* row_of(std::uint64_t id) {
    for (auto& r : rows)
      if (r.id == id) return &r;
    return nullptr;
  }
  std::uint64_t id_of(GtkListBoxRow* row) const {
    for (const auto& r : rows)
      if (r.row == GTK_WIDGET(row)) return r.id;
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

// A running run's row shows its latest interval, so that it grows live too.
std::string row_subtitle(const RunRecord& run) {
  std::string line = local_time(run.started, "%H:%M:%S");
  if (!run.options_summary.empty()) line += " · " + run.options_summary;
  line += "\n" + run_ending_text(run);
  if (run.end == RunEnd::Running && !run.intervals.empty()) {
    const IntervalRecord& last = run.intervals.back();
    line += std::string(" ") + (last.direction == Direction::Send ? "send " : "receive ") +
            rate_text(last.mbps) + " at " + last.end_text + " s";
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

// The chart's description follows its intervals while the page is shown;
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

// ---- showing a run --------------------------------------------------------

// The chart and the table, or the error of a run that failed without them.
void show_failure(Page& p, const RunRecord& run) {
  const auto notice = failure_notice(run);
  if (notice) {
    set_label(p.failure_title.get(), notice->title);
    set_label(p.failure_text.get(), notice->description);
    // A red sign for a fault; a stopped run is not one, and a result
    // without intervals needs no sign.
    GtkImage* icon = GTK_IMAGE(p.failure_icon.get());
    const char* name = notice->error ? "dialog-error-symbolic" : "media-playback-stop-symbolic";
    if (g_strcmp0(gtk_image_get_icon_name(icon), name) != 0) gtk_image_set_from_icon_name(icon, name);
    gtk_widget_set_visible(p.failure_icon.get(), notice->error || run.end == RunEnd::Stopped);
    if (notice->error) gtk_widget_add_css_class(p.failure_icon.get(), "error");
    else gtk_widget_remove_css_class(p.failure_icon.get(), "error");
  }
  gtk_widget_set_visible(p.failure.get(), notice.has_value());
  gtk_widget_set_visible(p.chart_frame.get(), !notice);
  gtk_widget_set_visible(p.table->widget(), !notice);
  if (notice && run.end != RunEnd::Result) gtk_widget_set_visible(p.result.get(), FALSE);  // said above
}

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
  show_failure(p, run);
}

void schedule_layout(Page& p);

// The latency plot of `run` (nullptr: none) under the chart.
void show_latency(Page& p, const RunRecord* run) {
  p.latency = run ? LatencyPlotData(*run) : LatencyPlotData();
  gtk_widget_set_visible(p.latency_area.get(), !p.latency.empty());
  gtk_widget_queue_draw(p.latency_area.get());
}

// Shows `id` in the detail, or nothing, and marks its row as the chosen one.
void show_run(Page& p, std::uint64_t id) {
  p.selected = id;
  for (const RunRow& r : p.rows) {
    gtk_widget_set_visible(r.check, r.id == id);
    gtk_accessible_update_state(GTK_ACCESSIBLE(r.row), GTK_ACCESSIBLE_STATE_SELECTED, r.id == id, -1);
  }
  const auto run = p.shared_run(id);
  gtk_widget_set_visible(p.detail.get(), run != nullptr);
  set_label(p.save_status.get(), "");
  p.chart = run ? ChartData(run->intervals) : ChartData();
  p.table->show(run);
  show_latency(p, run.get());
  if (!run) return;
  show_texts(p, *run);
  gtk_widget_queue_draw(p.chart_area.get());
  describe_chart(p);
  p.reveal_chosen = true;
  schedule_layout(p);
}

// A new interval of the shown run: the chart, the table and, past the cap,
// the intervals that went.
void grow_run(Page& p, const RunRecord& run) {
  const IntervalRecord& newest = run.intervals.back();
  p.chart.add(newest);
  p.chart.keep_newest(run.intervals.size());
  if (run.dropped_intervals > 0 && run.intervals.size() == RunLog::kMaxIntervals) show_texts(p, run);
  p.table->run_changed();
  gtk_widget_queue_draw(p.chart_area.get());  // nothing is drawn while the page is hidden
  describe_chart(p);
}

GtkWidget* run_row(const RunRecord& run, GtkWidget** check) {
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), run_title(run).c_str());
  adw_action_row_set_subtitle(ADW_ACTION_ROW(row), row_subtitle(run).c_str());
  adw_action_row_set_subtitle_lines(ADW_ACTION_ROW(row), 3);
  gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row), TRUE);
  *check = gtk_image_new_from_icon_name("object-select-symbolic");
  gtk_widget_set_visible(*check, FALSE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(*check), GTK_ACCESSIBLE_PROPERTY_LABEL, "Shown", -1);
  adw_action_row_add_suffix(ADW_ACTION_ROW(row), *check);
  return row;
}

// A row's texts; its name changes only with how the run ended, not with
// each reading.
void update_row(RunRow& r, const RunRecord& run) {
  adw_action_row_set_subtitle(ADW_ACTION_ROW(r.row), row_subtitle(run).c_str());
  r.stale = false;
  std::string name = run_row_name(run);
  if (name == r.name) return;
  r.name = std::move(name);
  gtk_accessible_update_property(GTK_ACCESSIBLE(r.row), GTK_ACCESSIBLE_PROPERTY_LABEL, r.name.c_str(), -1);
}

// The list takes the page's height but for room for the chosen run's
// heading, chart and buttons, and at least four rows' worth; the page
// scrolls as a whole below it. Then the chosen row is brought into view.
void lay_out(Page& p) {
  GtkWidget* page_scroll = p.runs.get();
  const int page_height = gtk_widget_get_height(page_scroll);
  int row_height = 0;
  if (!p.rows.empty())
    gtk_widget_measure(p.rows.front().row, GTK_ORIENTATION_VERTICAL, -1, nullptr, &row_height, nullptr, nullptr);
  if (page_height > 0 && row_height > 0) {
    const int height = std::max(kListRowsAtLeast * row_height + 2, page_height - kHeightForDetail);
    int natural = 0;
    gtk_widget_measure(p.list.get(), GTK_ORIENTATION_VERTICAL, -1, nullptr, &natural, nullptr, nullptr);
    auto* scroll = GTK_SCROLLED_WINDOW(p.list_scroll.get());
    if (gtk_scrolled_window_get_max_content_height(scroll) != height) {
      gtk_scrolled_window_set_max_content_height(scroll, height);
      gtk_scrolled_window_set_min_content_height(scroll, -1);
    }
    gtk_scrolled_window_set_min_content_height(scroll, std::min(height, natural));
  }
  if (!p.reveal_chosen) return;
  const RunRow* chosen = p.row_of(p.selected);
  graphene_rect_t bounds;
  if (!chosen) p.reveal_chosen = false;
  if (!chosen || !gtk_widget_compute_bounds(chosen->row, p.list.get(), &bounds) || bounds.size.height <= 0)
    return;
  p.reveal_chosen = false;
  GtkAdjustment* a = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(p.list_scroll.get()));
  const double top = bounds.origin.y, bottom = top + bounds.size.height;
  if (top < gtk_adjustment_get_value(a)) gtk_adjustment_set_value(a, top);
  else if (bottom > gtk_adjustment_get_value(a) + gtk_adjustment_get_page_size(a))
    gtk_adjustment_set_value(a, bottom - gtk_adjustment_get_page_size(a));
}

// After the next layout: sizes change only between frames.
void schedule_layout(Page& p) {
  p.layout_frames = 3;
  if (p.layout_source || p.gone || !gtk_widget_get_mapped(p.runs.get())) return;
  p.layout_source = gtk_widget_add_tick_callback(
      p.runs.get(),
      [](GtkWidget*, GdkFrameClock*, gpointer data) noexcept -> gboolean {
        Page& p = **static_cast<PageRef*>(data);
        if (p.gone) return G_SOURCE_REMOVE;
        lay_out(p);
        // A new row is laid out a frame or two after it came.
        if (p.reveal_chosen && --p.layout_frames > 0) return G_SOURCE_CONTINUE;
        p.layout_source = 0;
        return G_SOURCE_REMOVE;
      },
      new PageRef(p.self.lock()), free_page_ref_notify);
}

void on_log_change(Page& p, RunLog::Change change, const RunRecord& run) {
  if (p.gone) return;
  // While the page is hidden its rows wait, so that readings do not stir
  // the accessible tree; showing the page brings them up to date.
  const bool shown = gtk_widget_get_mapped(p.root.get());
  switch (change) {
    case RunLog::Change::Added: {
      GtkWidget* check = nullptr;
      GtkWidget* row = run_row(run, &check);
      gtk_list_box_prepend(GTK_LIST_BOX(p.list.get()), row);
      p.rows.push_back({run.id, row, check, {}, false});
      update_row(p.rows.back(), run);
      gtk_widget_set_visible(p.empty.get(), FALSE);
      gtk_widget_set_visible(p.runs.get(), TRUE);
      show_run(p, run.id);
      break;
    }
    case RunLog::Change::Interval:
      if (run.id == p.selected) grow_run(p, run);
      if (RunRow* r = p.row_of(run.id)) {
        if (shown) update_row(*r, run);
        else r->stale = true;
      }
      break;
    case RunLog::Change::Ended:
      if (RunRow* r = p.row_of(run.id)) update_row(*r, run);
      if (run.id == p.selected) {
        show_texts(p, run);
        p.table->run_changed();
        // The latency's plot, cells and description come with the run's end.
        if (run.latency || !run.latency_text.empty()) {
          show_latency(p, &run);
          describe_chart(p);
        }
      }
      break;
    case RunLog::Change::Removed:
      if (RunRow* r = p.row_of(run.id)) {
        GtkWidget* row = r->row;
        std::erase_if(p.rows, [&](const RunRow& x) { return x.id == run.id; });
        gtk_list_box_remove(GTK_LIST_BOX(p.list.get()), row);
      }
      set_label(p.cap_notice.get(), dropped_runs_text(p.log->dropped_runs()));
      if (run.id == p.selected) show_run(p, 0);
      break;
  }
  schedule_layout(p);
}

void on_page_mapped(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  for (RunRow& r : p.rows)
    if (r.stale)
      if (const RunRecord* run = p.log->find(r.id)) update_row(r, *run);
  p.reveal_chosen = true;
  schedule_layout(p);
}

void on_page_resized(GtkAdjustment*, GParamSpec*, gpointer data) noexcept {
  schedule_layout(**static_cast<PageRef*>(data));
}

// A click, Enter or Space on a row chooses its run; moving focus through
// the list does not.
void on_row_activated(GtkListBox*, GtkListBoxRow* row, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  const std::uint64_t id = row ? p.id_of(row) : 0;
  if (id != 0 && id != p.selected) show_run(p, id);
}

// ---- copy and save --------------------------------------------------------

void copy_text(Page& p, std::string text) {
  set_clipboard_text(gtk_widget_get_clipboard(p.list.get()), std::move(text));
}

void on_copy_text(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) copy_text(p, run_report(*run, iperf_version()));
}

void on_copy_csv(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) copy_text(p, intervals_csv(*run));
}

// Writes run `id`'s CSV to `file` and says how that went.
void save_csv(Page& p, std::uint64_t id, GFile* file) {
  if (p.gone) return;
  const RunRecord* run = p.log->find(id);
  const CharPtr name(g_file_get_parse_name(file));
  std::string outcome;
  if (!run) outcome = "Not saved: the run is no longer kept.";
  else if (auto error = save_file_atomically(file, intervals_csv(*run)))
    outcome = std::string("Could not save “") + name.get() + "”: " + *error + ".";
  else outcome = std::string("Saved as “") + name.get() + "”.";
  if (id == p.selected) set_label(p.save_status.get(), outcome);
}

struct SaveRequest {
  PageRef page;
  std::uint64_t id;
};

#if GTK_CHECK_VERSION(4, 10, 0)
void on_save_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<SaveRequest> request(static_cast<SaveRequest*>(data));  // one call per request
  GError* error = nullptr;
  if (const auto file = Ref<GFile>::take(gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    save_csv(*request->page, request->id, file.get());
  g_clear_error(&error);  // dismissed
}
#else
// The dialog's one response. The reference on_save kept goes with it, and
// the request with the dialog.
void on_save_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  const SaveRequest& request = *static_cast<SaveRequest*>(data);
  if (response != GTK_RESPONSE_ACCEPT) return;
  if (const auto file = Ref<GFile>::take(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))))
    save_csv(*request.page, request.id, file.get());
}
#endif

void on_save(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  auto* parent = GTK_WINDOW(gtk_widget_get_root(GTK_WIDGET(button)));
  const std::string name = csv_file_name(*run);
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), "Save as CSV");
  gtk_file_dialog_set_initial_name(dialog.get(), name.c_str());
  gtk_file_dialog_save(dialog.get(), parent, nullptr, on_save_chosen, new SaveRequest{page, run->id});
#else
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
      "Save as CSV", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_save_response), new SaveRequest{page, run->id},
                        [](gpointer d, GClosure*) { delete static_cast<SaveRequest*>(d); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));  // kept until its response
#endif
}

// ---- building -------------------------------------------------------------

void on_page_destroy(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  p.gone = true;
  p.log->remove_listener(p.listener);
  if (p.layout_source) gtk_widget_remove_tick_callback(p.runs.get(), std::exchange(p.layout_source, 0u));
  // The widgets' handlers hold the page; the page lets go of the widgets.
  for (Ref<GtkWidget>* w : {&p.root, &p.empty, &p.runs, &p.list, &p.list_scroll, &p.detail, &p.heading,
                            &p.started, &p.chart_area, &p.result, &p.details, &p.dropped, &p.save_status,
                            &p.cap_notice, &p.chart_frame, &p.failure, &p.failure_icon, &p.failure_title,
                            &p.failure_text, &p.latency_area, &p.latency_line})
    w->reset();
  p.rows.clear();
  p.table.reset();
}

// Adwaita fades a row's subtitle to 55 %, about 3:1; a run's start, options
// and result are read here, at 4.5:1 and more.
void add_css_once() {
  static bool added = false;
  if (added || !gdk_display_get_default()) return;
  added = true;
  compat::add_display_css("list.runs row label.subtitle { opacity: 0.8; }");
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
  page->self = page;
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
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(p.list.get()), GTK_SELECTION_NONE);
  gtk_widget_add_css_class(p.list.get(), "boxed-list");
  gtk_widget_add_css_class(p.list.get(), "runs");
  add_css_once();
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.list.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, "Runs", -1);
  connect(p.list.get(), "row-activated", on_row_activated, page);
  p.list_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(
      GTK_TYPE_SCROLLED_WINDOW, "child", p.list.get(), "hscrollbar-policy", GTK_POLICY_NEVER,
      "propagate-natural-height", TRUE, nullptr)));

  // The selected run: heading, chart, texts, buttons, table.
  p.heading = label("heading", false);
  p.started = label("caption", false);
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
  gtk_drawing_area_set_content_height(latency_area, 160);
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
  p.chart_frame = Ref<GtkWidget>::add(chart_frame);

  p.failure_title = label("title-3", false);
  p.failure_text = label(nullptr, true);
  p.failure = Ref<GtkWidget>::sink(vbox(8));
  GtkWidget* failure_icon = gtk_image_new_from_icon_name("dialog-error-symbolic");
  gtk_image_set_pixel_size(GTK_IMAGE(failure_icon), 48);
  gtk_widget_add_css_class(failure_icon, "error");
  p.failure_icon = Ref<GtkWidget>::add(failure_icon);
  for (GtkWidget* w : {p.failure_title.get(), p.failure_text.get()}) {
    gtk_label_set_xalign(GTK_LABEL(w), 0.5f);
    gtk_label_set_justify(GTK_LABEL(w), GTK_JUSTIFY_CENTER);
  }
  for (GtkWidget* w : {failure_icon, p.failure_title.get(), p.failure_text.get()})
    gtk_box_append(GTK_BOX(p.failure.get()), w);
  gtk_widget_set_margin_top(p.failure.get(), 24);
  gtk_widget_set_margin_bottom(p.failure.get(), 24);
  gtk_widget_set_visible(p.failure.get(), FALSE);

  p.result = label(nullptr, true);
  p.details = label("caption", true);  // figures: at full contrast, as on the pages
  p.latency_line = label("caption", true);
  p.dropped = label("caption", false);
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_append(GTK_BOX(buttons), button("Copy as text", on_copy_text, page));
  gtk_box_append(GTK_BOX(buttons), button("Copy as CSV", on_copy_csv, page));
  gtk_box_append(GTK_BOX(buttons), button("Save as CSV…", on_save, page));
  p.save_status = label(nullptr, true);
  gtk_widget_set_visible(p.save_status.get(), FALSE);

  p.detail = Ref<GtkWidget>::sink(vbox(8));
  p.table = std::make_unique<IntervalTable>();
  for (GtkWidget* w : {p.heading.get(), p.started.get(), chart_frame, p.failure.get(), p.result.get(),
                       p.details.get(), p.latency_line.get(), p.dropped.get(), buttons, p.save_status.get(),
                       p.table->widget()})
    gtk_box_append(GTK_BOX(p.detail.get()), w);
  gtk_widget_set_visible(p.detail.get(), FALSE);

  GtkWidget* content = vbox(16);
  gtk_widget_set_margin_top(content, 12);
  gtk_widget_set_margin_bottom(content, 16);
  gtk_widget_set_margin_start(content, 12);
  gtk_widget_set_margin_end(content, 12);
  p.cap_notice = label("caption", false);
  gtk_widget_set_visible(p.cap_notice.get(), FALSE);
  gtk_box_append(GTK_BOX(content), p.cap_notice.get());
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
  connect(p.root.get(), "map", on_page_mapped, page);
  connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scrolled)), "notify::page-size", on_page_resized,
          page);

  std::weak_ptr<Page> weak = page;
  p.listener = p.log->add_listener([weak](RunLog::Change change, const RunRecord& run) {
    if (auto page = weak.lock()) on_log_change(*page, change, run);
  });
  for (const auto& run : p.log->runs()) on_log_change(p, RunLog::Change::Added, *run);
  return p.root.get();
}

}  // namespace trellan
