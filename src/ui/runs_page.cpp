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
#include "ui/compare_view.hpp"
#include "ui/latency_plot.hpp"
#include "ui/runs_page_files.hpp"
#include "ui/wide_layout.hpp"
#include "core/run_file.hpp"
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
  GtkWidget* row;      // the list's
  GtkWidget* check;    // the row's: marks the chosen run
  GtkWidget* compare;  // the row's: marks the run for comparison
  std::string name;
  bool stale = false;  // readings came while the page was hidden
};

// Between these many marked runs are compared.
constexpr std::size_t kCompareFrom = 2, kCompareUpTo = 8;

// The list of runs shows this many rows at least, and leaves about this
// much of the page's height to the chosen run's heading, chart and buttons.
constexpr int kListRowsAtLeast = 4;
constexpr int kHeightForDetail = 300;

constexpr const char* kPageKey = "trellan-runs-page";

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
  // The row that takes the focus when Tab comes to the list: the list is
  // one stop, and arrows move within it.
  std::uint64_t focus_row = 0;
  GtkWidget* focus_window = nullptr;  // whose focus moves are followed (weak)
  gpointer focus_data[2] = {};        // the handlers' data there
  bool focus_was_in_list = false;
  // Opening files: the page's buttons and what they said, the progress of
  // a slow file, and the open going on.
  Ref<GtkWidget> file_status, progress_box, progress_label, progress_bar, save_all;
  std::vector<std::string> open_failures;
  std::unique_ptr<FileOpen> opening;
  // Marked runs, oldest first, and where they are compared.
  std::vector<std::uint64_t> marked;
  Ref<GtkWidget> detail_area, detail_stack, switcher, compare_view, compare_hint;
  // The wide layout's: the list on the left, the chosen run on the right.
  Ref<GtkWidget> content, detail_scroll, split;
  bool wide = false;
  Ref<GtkWidget> toasts, buttons;

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

// A run opened from a file may come from any day: its row gives the date
// too, unless it is today's.
std::string row_start(const RunRecord& run) {
  if (run.source_file.empty() ||
      local_time(run.started, "%Y-%m-%d") == local_time(std::chrono::system_clock::now(), "%Y-%m-%d"))
    return local_time(run.started, "%H:%M:%S");
  return local_time(run.started, "%Y-%m-%d %H:%M:%S");
}

// A running run's row shows its latest interval, so that it grows live too.
std::string row_subtitle(const RunRecord& run) {
  std::string line = row_start(run);
  if (!run.options_summary.empty()) line += " · " + run.options_summary;
  if (!run.source_file.empty()) line += " · " + run.source_file;
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

// What a screen reader says of a row, once: which run (page, far end,
// protocol and direction as the form had them, its start to the second,
// its file) and how it ended, "Client — 127.0.0.1, port 5201, UDP,
// reverse, target 10M, 10 s, 14:02:09, Stopped".
std::string row_name(const RunRecord& run) {
  std::string options = run.options_summary;
  for (std::size_t at; (at = options.find(" · ")) != std::string::npos;) options.replace(at, 4, ", ");
  std::string name = run_title(run);
  if (!options.empty()) name += ", " + options;
  name += ", " + row_start(run);
  if (!run.source_file.empty()) name += ", from " + run.source_file;
  return name + ", " + run_ending_text(run);
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
  // The row's name says it all; its title and subtitle are not said again
  // as what labels or describes it.
  gtk_accessible_reset_relation(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_RELATION_LABELLED_BY);
  gtk_accessible_reset_relation(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_RELATION_DESCRIBED_BY);
  return row;
}

// A row's texts; its name changes only with how the run ended, not with
// each reading.
void update_row(RunRow& r, const RunRecord& run) {
  adw_action_row_set_subtitle(ADW_ACTION_ROW(r.row), row_subtitle(run).c_str());
  r.stale = false;
}

// Every row's name; where two would still sound alike, each says which of
// them it is, counted from the oldest.
void name_rows(Page& p) {
  std::vector<std::string> names;
  for (const RunRow& r : p.rows) {
    const RunRecord* run = p.log->find(r.id);
    names.push_back(run ? row_name(*run) : std::string());
  }
  for (std::size_t i = 0; i < p.rows.size(); ++i) {
    std::string name = names[i];
    const auto alike = std::count(names.begin(), names.end(), names[i]);
    if (alike > 1)
      name += ", " + std::to_string(std::count(names.begin(), names.begin() + static_cast<long>(i) + 1, names[i])) +
              " of " + std::to_string(alike);
    RunRow& r = p.rows[i];
    if (name == r.name) continue;
    r.name = std::move(name);
    gtk_accessible_update_property(GTK_ACCESSIBLE(r.row), GTK_ACCESSIBLE_PROPERTY_LABEL, r.name.c_str(), -1);
  }
}

// ---- the list as one stop ----------------------------------------------------

bool list_holds_focus(const Page& p) {
  GtkRoot* root = gtk_widget_get_root(p.list.get());
  GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
  return focus && gtk_widget_is_ancestor(focus, p.list.get());
}

// The list is one stop for Tab: Tab and Shift+Tab leave it at once, from
// any row or anything in one, and coming in they land on the row last on
// (or the chosen one). The window's own focus move does the rest.
void on_window_move_focus(GtkWidget*, GtkDirectionType direction, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  p.focus_was_in_list = list_holds_focus(p);
  if (!p.focus_was_in_list || (direction != GTK_DIR_TAB_FORWARD && direction != GTK_DIR_TAB_BACKWARD)) return;
  GtkWidget* focus = gtk_root_get_focus(gtk_widget_get_root(p.list.get()));
  GtkWidget* row = gtk_widget_get_ancestor(focus, GTK_TYPE_LIST_BOX_ROW);
  if (row) p.focus_row = p.id_of(GTK_LIST_BOX_ROW(row));
  gtk_widget_set_can_focus(p.list.get(), FALSE);  // until the move is over
}

void on_window_moved_focus(GtkWidget*, GtkDirectionType, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  gtk_widget_set_can_focus(p.list.get(), TRUE);
  if (p.focus_was_in_list || !list_holds_focus(p)) return;
  const RunRow* stop = p.row_of(p.focus_row);
  if (!stop) stop = p.row_of(p.selected);
  if (stop && !gtk_widget_has_focus(stop->row)) gtk_widget_grab_focus(stop->row);
}

void follow_window_focus(Page& p, const PageRef& page) {
  GtkRoot* root = gtk_widget_get_root(p.root.get());
  if (!root || GTK_WIDGET(root) == p.focus_window) return;
  if (p.focus_window) {
    g_signal_handlers_disconnect_by_data(p.focus_window, p.focus_data[0]);
    g_signal_handlers_disconnect_by_data(p.focus_window, p.focus_data[1]);
  }
  p.focus_window = GTK_WIDGET(root);
  g_object_add_weak_pointer(G_OBJECT(root), reinterpret_cast<gpointer*>(&p.focus_window));
  p.focus_data[0] = new PageRef(page);
  p.focus_data[1] = new PageRef(page);
  g_signal_connect_data(root, "move-focus", G_CALLBACK(on_window_move_focus), p.focus_data[0], free_page_ref,
                        GConnectFlags{});
  g_signal_connect_data(root, "move-focus", G_CALLBACK(on_window_moved_focus), p.focus_data[1], free_page_ref,
                        G_CONNECT_AFTER);
}

void unfollow_window_focus(Page& p) {
  if (!p.focus_window) return;
  g_object_remove_weak_pointer(G_OBJECT(p.focus_window), reinterpret_cast<gpointer*>(&p.focus_window));
  g_signal_handlers_disconnect_by_data(p.focus_window, p.focus_data[0]);
  g_signal_handlers_disconnect_by_data(p.focus_window, p.focus_data[1]);
  p.focus_window = nullptr;
}

// A row's Compare box takes the focus only while it is reachable. Out of
// reach, it refuses it outright: a check button that is merely not
// focusable still answers a focus move into its row as taken, which would
// hold Shift+Tab at the row before.
void set_reachable(GtkWidget* compare, bool reachable) {
  gtk_widget_set_can_focus(compare, reachable);
  gtk_widget_set_focusable(compare, reachable);
}

// Right from a row goes to its Compare box, Left back to the row; the box
// takes the focus only then, never from Tab.
gboolean on_list_key(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (state & (GDK_CONTROL_MASK | GDK_ALT_MASK | GDK_SHIFT_MASK)) return FALSE;
  const bool right = keyval == GDK_KEY_Right || keyval == GDK_KEY_KP_Right;
  const bool left = keyval == GDK_KEY_Left || keyval == GDK_KEY_KP_Left;
  if (!right && !left) return FALSE;
  for (const RunRow& r : p.rows) {
    if (right && gtk_widget_has_focus(r.row)) {
      set_reachable(r.compare, true);
      return gtk_widget_grab_focus(r.compare);
    }
    if (left && gtk_widget_has_focus(r.compare)) return gtk_widget_grab_focus(r.row);
  }
  return FALSE;
}

void on_compare_focus_left(GtkEventControllerFocus* focus, gpointer) noexcept {
  set_reachable(gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(focus)), false);
}

// ---- comparing ---------------------------------------------------------------

void show_comparison(Page& p) {
  const std::size_t n = p.marked.size();
  const bool comparing = n >= kCompareFrom && n <= kCompareUpTo;
  std::vector<std::shared_ptr<const RunRecord>> runs;
  if (comparing)
    for (std::uint64_t id : p.marked)
      if (auto run = p.shared_run(id)) runs.push_back(std::move(run));
  compare_view_set_runs(p.compare_view.get(), std::move(runs));
  gtk_widget_set_visible(p.compare_view.get(), comparing);
  set_label(p.compare_hint.get(), n > kCompareUpTo ? "Compare up to 8 runs at once; " + std::to_string(n) +
                                                         " are marked."
                                   : comparing ? ""
                                               : "Mark two runs or more with their Compare boxes to compare them.");
  gtk_widget_set_visible(p.switcher.get(), n >= kCompareFrom);
  if (n < kCompareFrom) gtk_stack_set_visible_child_name(GTK_STACK(p.detail_stack.get()), "run");
}

void on_compare_toggled(GtkCheckButton* check, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  std::uint64_t id = 0;
  for (const RunRow& r : p.rows)
    if (r.compare == GTK_WIDGET(check)) id = r.id;
  if (id == 0) return;
  std::erase(p.marked, id);
  const std::size_t before = p.marked.size();
  if (gtk_check_button_get_active(check)) {
    p.marked.push_back(id);
    std::sort(p.marked.begin(), p.marked.end());  // ids grow with age: oldest first
  }
  // The comparison comes up as the second run is marked.
  if (before < kCompareFrom && p.marked.size() >= kCompareFrom)
    gtk_stack_set_visible_child_name(GTK_STACK(p.detail_stack.get()), "compare");
  show_comparison(p);
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
  // Wide, the list has the column to itself, but for the lines above it.
  int reserved = kHeightForDetail;
  if (p.wide) {
    reserved = gtk_widget_get_margin_top(p.content.get()) + gtk_widget_get_margin_bottom(p.content.get());
    for (GtkWidget* c = gtk_widget_get_first_child(p.content.get()); c; c = gtk_widget_get_next_sibling(c)) {
      if (c == p.list_scroll.get() || !gtk_widget_get_visible(c)) continue;
      int natural = 0;
      gtk_widget_measure(c, GTK_ORIENTATION_VERTICAL, -1, nullptr, &natural, nullptr, nullptr);
      reserved += natural + gtk_box_get_spacing(GTK_BOX(p.content.get()));
    }
  }
  if (page_height > 0 && row_height > 0) {
    const int height = std::max(kListRowsAtLeast * row_height + 2, page_height - reserved);
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
      GtkWidget* compare = gtk_check_button_new_with_label("Compare");
      gtk_widget_set_valign(compare, GTK_ALIGN_CENTER);
      set_reachable(compare, false);  // reached from its row
      gtk_widget_set_focus_on_click(compare, FALSE);
      connect(compare, "toggled", on_compare_toggled, p.self.lock());
      GtkEventController* focus = gtk_event_controller_focus_new();
      g_signal_connect(focus, "leave", G_CALLBACK(on_compare_focus_left), nullptr);
      gtk_widget_add_controller(compare, focus);
      adw_action_row_add_suffix(ADW_ACTION_ROW(row), compare);
      gtk_list_box_prepend(GTK_LIST_BOX(p.list.get()), row);
      p.rows.push_back({run.id, row, check, compare, {}, false});
      update_row(p.rows.back(), run);
      name_rows(p);

      gtk_widget_set_visible(p.empty.get(), FALSE);
      gtk_widget_set_visible(gtk_widget_get_last_child(p.root.get()), TRUE);
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
      name_rows(p);
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
        name_rows(p);
        if (std::erase(p.marked, run.id) > 0) show_comparison(p);
      }
      set_label(p.cap_notice.get(), dropped_runs_text(p.log->dropped_runs()));
      if (run.id == p.selected) show_run(p, 0);
      break;
  }
  schedule_layout(p);
}

// Wide, the chosen run (or the comparison) moves to a column of its own on
// the right and the list keeps the left one; narrow, it goes back below
// the list.
void set_wide(Page& p, bool wide) {
  if (wide == p.wide) return;
  p.wide = wide;
  GtkWidget* area = p.detail_area.get();  // kept by the page while it moves
  if (wide) {
    gtk_box_remove(GTK_BOX(p.content.get()), area);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(p.detail_scroll.get()), area);
  } else {
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(p.detail_scroll.get()), nullptr);
    gtk_box_append(GTK_BOX(p.content.get()), area);
  }
  for (auto [margin, value] : {std::pair{&gtk_widget_set_margin_top, 12}, {&gtk_widget_set_margin_bottom, 16},
                               {&gtk_widget_set_margin_end, 12}})
    margin(area, wide ? value : 0);
  gtk_widget_set_visible(p.detail_scroll.get(), wide);
  gtk_orientable_set_orientation(GTK_ORIENTABLE(p.buttons.get()),
                                 wide ? GTK_ORIENTATION_HORIZONTAL : GTK_ORIENTATION_VERTICAL);
  gtk_widget_set_hexpand(p.runs.get(), !wide);
  gtk_widget_set_size_request(p.runs.get(), wide ? 420 : -1, -1);
  p.reveal_chosen = true;
  schedule_layout(p);
}

void on_page_mapped(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  follow_window_focus(p, *static_cast<PageRef*>(data));
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
  if (id == 0) return;
  p.focus_row = id;
  gtk_stack_set_visible_child_name(GTK_STACK(p.detail_stack.get()), "run");
  if (id != p.selected) show_run(p, id);
}

// ---- copy and save --------------------------------------------------------

void toast(Page& p, const std::string& text) {
  adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(p.toasts.get()), adw_toast_new(text.c_str()));
}

std::string readings_text(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " reading" : " readings");
}

void copy_text(Page& p, std::string text) {
  set_clipboard_text(gtk_widget_get_clipboard(p.list.get()), std::move(text));
}

void on_copy_text(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) {
    copy_text(p, run_report(*run, run->iperf_version.empty() ? iperf_version() : run->iperf_version));
    toast(p, "Copied " + readings_text(run->intervals.size()) + " as text");
  }
}

void on_copy_csv(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (const RunRecord* run = p.selected_run()) {
    copy_text(p, intervals_csv(*run));
    toast(p, "Copied " + readings_text(run->intervals.size()) + " as CSV");
  }
}

// What the page saves: the chosen run's CSV, the chosen run whole, or
// every run of the window.
enum class SaveKind { Csv, Run, AllRuns };

// Writes what `kind` asks for to `file` and says how that went: below the
// run for a run, beside the page's buttons for all of them.
void save_to(Page& p, SaveKind kind, std::uint64_t id, GFile* file) {
  if (p.gone) return;
  const std::string name = file_display_path(file);
  std::optional<std::string> contents;
  if (kind == SaveKind::AllRuns) {
    std::vector<const RunRecord*> runs;
    for (const auto& run : p.log->runs()) runs.push_back(run.get());
    if (!runs.empty()) contents = run_file_text(runs);
  } else if (const RunRecord* run = p.log->find(id)) {
    contents = kind == SaveKind::Csv ? intervals_csv(*run) : run_file_text({run});
  }
  std::string outcome;
  if (!contents) outcome = kind == SaveKind::AllRuns ? "Not saved: there are no runs." : "Not saved: the run is no longer kept.";
  else if (auto error = save_file_atomically(file, *contents))
    outcome = "Could not save “" + name + "”: " + *error + ".";
  else outcome = "Saved as “" + name + "”.";
  if (kind == SaveKind::AllRuns) set_label(p.file_status.get(), outcome);
  else if (id == p.selected) set_label(p.save_status.get(), outcome);
}

struct SaveRequest {
  PageRef page;
  SaveKind kind;
  std::uint64_t id;
};

// Whatever the chooser gave back, the last save's word no longer applies.
void clear_save_word(const SaveRequest& r) {
  if (r.page->gone) return;
  if (r.kind == SaveKind::AllRuns) set_label(r.page->file_status.get(), "");
  else if (r.id == r.page->selected) set_label(r.page->save_status.get(), "");
}

#if GTK_CHECK_VERSION(4, 10, 0)
void on_save_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<SaveRequest> request(static_cast<SaveRequest*>(data));  // one call per request
  GError* error = nullptr;
  clear_save_word(*request);
  if (const auto file = Ref<GFile>::take(gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    save_to(*request->page, request->kind, request->id, file.get());
  g_clear_error(&error);  // dismissed, or the name refused
}
#else
// The dialog's one response. The reference save_dialog kept goes with it,
// and the request with the dialog.
void on_save_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  const SaveRequest& request = *static_cast<SaveRequest*>(data);
  clear_save_word(request);
  if (response != GTK_RESPONSE_ACCEPT) return;
  if (const auto file = Ref<GFile>::take(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))))
    save_to(*request.page, request.kind, request.id, file.get());
}
#endif

void save_dialog(GtkWidget* from, const char* title, const std::string& name, SaveRequest* request) {
  auto* parent = GTK_WINDOW(gtk_widget_get_root(from));
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), title);
  gtk_file_dialog_set_initial_name(dialog.get(), name.c_str());
  gtk_file_dialog_save(dialog.get(), parent, nullptr, on_save_chosen, request);
#else
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new(title, parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_save_response), request,
                        [](gpointer d, GClosure*) { delete static_cast<SaveRequest*>(d); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));  // kept until its response
#endif
}

// A run file's proposed name: the CSV's, with the run files' suffix.
std::string run_file_name(const std::string& csv_name) {
  const auto dot = csv_name.rfind(".csv");
  return (dot == std::string::npos ? csv_name : csv_name.substr(0, dot)) + ".trellan";
}

void on_save(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  save_dialog(GTK_WIDGET(button), "Save as CSV", csv_file_name(*run), new SaveRequest{page, SaveKind::Csv, run->id});
}

void on_save_run(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  save_dialog(GTK_WIDGET(button), "Save Run", run_file_name(csv_file_name(*run)),
              new SaveRequest{page, SaveKind::Run, run->id});
}

void on_save_all(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  if (page->log->runs().empty()) return;
  const std::string name = run_file_name(csv_file_name(*page->log->runs().back()));
  save_dialog(GTK_WIDGET(button), "Save All Runs", "trellan-runs" + name.substr(std::string("trellan").size()),
              new SaveRequest{page, SaveKind::AllRuns, 0});
}

// ---- opening files ----------------------------------------------------------

void show_open_failures(Page& p) {
  std::string text;
  for (const std::string& line : p.open_failures) text += (text.empty() ? "" : "\n") + line;
  set_label(p.file_status.get(), text);
}

void open_files(const PageRef& page, std::vector<Ref<GFile>> files) {
  Page& p = *page;
  if (p.gone || files.empty()) return;
  p.open_failures.clear();
  show_open_failures(p);
  if (p.opening) p.opening->cancel();
  const std::weak_ptr<Page> weak = page;
  OpenReport report;
  report.progress = [weak](const std::string& name, double fraction) {
    auto page = weak.lock();
    if (!page || page->gone) return;
    gtk_widget_set_visible(page->progress_box.get(), !name.empty());
    if (name.empty()) return;
    set_label(page->progress_label.get(), "Opening “" + name + "”…");
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(page->progress_bar.get()), fraction);
  };
  report.failed = [weak](const std::string& line) {
    auto page = weak.lock();
    if (!page || page->gone) return;
    page->open_failures.push_back(line);
    show_open_failures(*page);
  };
  report.done = [weak] {
    auto page = weak.lock();
    if (!page || page->gone) return;
    gtk_widget_set_visible(page->progress_box.get(), FALSE);
  };
  p.opening = std::make_unique<FileOpen>(std::move(files), p.log, std::move(report));
}

void on_cancel_open(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.opening) p.opening->cancel();
  gtk_widget_set_visible(p.progress_box.get(), FALSE);
}

struct OpenRequest {
  PageRef page;
};

std::vector<Ref<GFile>> files_of(GListModel* model) {
  std::vector<Ref<GFile>> files;
  const guint n = model ? g_list_model_get_n_items(model) : 0;
  for (guint i = 0; i < n; ++i) files.push_back(Ref<GFile>::take(G_FILE(g_list_model_get_item(model, i))));
  return files;
}

#if GTK_CHECK_VERSION(4, 10, 0)
void on_open_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<OpenRequest> request(static_cast<OpenRequest*>(data));
  GError* error = nullptr;
  if (const auto files = Ref<GListModel>::take(gtk_file_dialog_open_multiple_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    open_files(request->page, files_of(files.get()));
  g_clear_error(&error);  // dismissed
}
#else
void on_open_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  const OpenRequest& request = *static_cast<OpenRequest*>(data);
  if (response != GTK_RESPONSE_ACCEPT) return;
  const auto files = Ref<GListModel>::take(gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog)));
  open_files(request.page, files_of(files.get()));
}
#endif

void choose_files(const PageRef& page) {
  auto* parent = GTK_WINDOW(gtk_widget_get_root(page->root.get()));
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), "Open Runs");
  gtk_file_dialog_open_multiple(dialog.get(), parent, nullptr, on_open_chosen, new OpenRequest{page});
#else
  GtkFileChooserNative* dialog =
      gtk_file_chooser_native_new("Open Runs", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), TRUE);
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_open_response), new OpenRequest{page},
                        [](gpointer d, GClosure*) { delete static_cast<OpenRequest*>(d); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
#endif
}

void on_open(GtkButton*, gpointer data) noexcept { choose_files(*static_cast<PageRef*>(data)); }

// ---- building -------------------------------------------------------------

void on_page_destroy(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  p.gone = true;
  p.log->remove_listener(p.listener);
  p.opening.reset();
  unfollow_window_focus(p);
  if (p.layout_source) gtk_widget_remove_tick_callback(p.runs.get(), std::exchange(p.layout_source, 0u));
  // The widgets' handlers hold the page; the page lets go of the widgets.
  for (Ref<GtkWidget>* w : {&p.root, &p.empty, &p.runs, &p.list, &p.list_scroll, &p.detail, &p.heading,
                            &p.started, &p.chart_area, &p.result, &p.details, &p.dropped, &p.save_status,
                            &p.cap_notice, &p.chart_frame, &p.failure, &p.failure_icon, &p.failure_title,
                            &p.failure_text, &p.latency_area, &p.latency_line, &p.file_status, &p.progress_box,
                            &p.progress_label, &p.progress_bar, &p.save_all, &p.detail_area, &p.detail_stack,
                            &p.switcher, &p.compare_view, &p.compare_hint, &p.content, &p.detail_scroll,
                            &p.split, &p.toasts, &p.buttons})
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
  GtkEventController* keys = gtk_event_controller_key_new();
  connect(keys, "key-pressed", on_list_key, page);
  gtk_widget_add_controller(p.list.get(), keys);
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
  // Copy and save: two pairs, one above the other in a narrow window.
  GtkWidget* copy_buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_append(GTK_BOX(copy_buttons), button("Copy as text", on_copy_text, page));
  gtk_box_append(GTK_BOX(copy_buttons), button("Copy as CSV", on_copy_csv, page));
  GtkWidget* save_buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_append(GTK_BOX(save_buttons), button("Save as CSV…", on_save, page));
  gtk_box_append(GTK_BOX(save_buttons), button("Save run…", on_save_run, page));
  p.buttons = Ref<GtkWidget>::sink(vbox(6));
  GtkWidget* buttons = p.buttons.get();
  gtk_box_append(GTK_BOX(buttons), copy_buttons);
  gtk_box_append(GTK_BOX(buttons), save_buttons);
  p.save_status = label(nullptr, true);
  gtk_widget_set_visible(p.save_status.get(), FALSE);

  p.detail = Ref<GtkWidget>::sink(vbox(8));
  p.table = std::make_unique<IntervalTable>();
  for (GtkWidget* w : {p.heading.get(), p.started.get(), chart_frame, p.failure.get(), p.result.get(),
                       p.details.get(), p.latency_line.get(), p.dropped.get(), buttons, p.save_status.get(),
                       p.table->widget()})
    gtk_box_append(GTK_BOX(p.detail.get()), w);
  gtk_widget_set_visible(p.detail.get(), FALSE);

  // The marked runs, compared; in place of the chosen run, and switched
  // to and fro while two runs or more are marked.
  p.compare_view = Ref<GtkWidget>::sink(compare_view_new());
  p.compare_hint = label(nullptr, false);
  GtkWidget* compare_box = vbox(8);
  gtk_box_append(GTK_BOX(compare_box), p.compare_hint.get());
  gtk_box_append(GTK_BOX(compare_box), p.compare_view.get());
  p.detail_stack = Ref<GtkWidget>::sink(gtk_stack_new());
  gtk_stack_set_vhomogeneous(GTK_STACK(p.detail_stack.get()), FALSE);
  // The run's page stays in the stack while no run is chosen, so that the
  // stack does not turn to the comparison meanwhile.
  GtkWidget* run_page = vbox(0);
  gtk_box_append(GTK_BOX(run_page), p.detail.get());
  gtk_stack_add_titled(GTK_STACK(p.detail_stack.get()), run_page, "run", "Chosen run");
  gtk_stack_add_titled(GTK_STACK(p.detail_stack.get()), compare_box, "compare", "Comparison");
  p.switcher = Ref<GtkWidget>::sink(gtk_stack_switcher_new());
  gtk_stack_switcher_set_stack(GTK_STACK_SWITCHER(p.switcher.get()), GTK_STACK(p.detail_stack.get()));
  gtk_widget_set_halign(p.switcher.get(), GTK_ALIGN_START);
  gtk_widget_set_visible(p.switcher.get(), FALSE);
  p.detail_area = Ref<GtkWidget>::sink(vbox(12));
  gtk_box_append(GTK_BOX(p.detail_area.get()), p.switcher.get());
  gtk_box_append(GTK_BOX(p.detail_area.get()), p.detail_stack.get());
  show_comparison(p);

  // Files: open, save all, and what became of them.
  GtkWidget* file_buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_append(GTK_BOX(file_buttons), button("Open…", on_open, page));
  GtkWidget* save_all = button("Save all runs…", on_save_all, page);
  p.save_all = Ref<GtkWidget>::add(save_all);
  gtk_box_append(GTK_BOX(file_buttons), save_all);
  p.file_status = label(nullptr, true);
  gtk_widget_set_visible(p.file_status.get(), FALSE);
  p.progress_label = label(nullptr, false);
  p.progress_bar = Ref<GtkWidget>::sink(gtk_progress_bar_new());
  gtk_widget_set_hexpand(p.progress_bar.get(), TRUE);
  gtk_widget_set_valign(p.progress_bar.get(), GTK_ALIGN_CENTER);
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.progress_bar.get()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Opening", -1);
  p.progress_box = Ref<GtkWidget>::sink(vbox(4));
  GtkWidget* progress_line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_append(GTK_BOX(progress_line), p.progress_bar.get());
  gtk_box_append(GTK_BOX(progress_line), button("Cancel", on_cancel_open, page));
  gtk_box_append(GTK_BOX(p.progress_box.get()), p.progress_label.get());
  gtk_box_append(GTK_BOX(p.progress_box.get()), progress_line);
  gtk_widget_set_visible(p.progress_box.get(), FALSE);

  p.content = Ref<GtkWidget>::sink(vbox(16));
  GtkWidget* content = p.content.get();
  gtk_widget_set_margin_top(content, 12);
  gtk_widget_set_margin_bottom(content, 16);
  gtk_widget_set_margin_start(content, 12);
  gtk_widget_set_margin_end(content, 12);
  p.cap_notice = label("caption", false);
  gtk_widget_set_visible(p.cap_notice.get(), FALSE);
  for (GtkWidget* w : {file_buttons, p.cap_notice.get(), p.list_scroll.get(), p.detail_area.get()})
    gtk_box_append(GTK_BOX(content), w);
  GtkWidget* clamp = GTK_WIDGET(g_object_new(ADW_TYPE_CLAMP, "maximum-size", 1400, "child", content, nullptr));
  GtkWidget* scrolled = GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy",
                                                GTK_POLICY_NEVER, "child", clamp, "hexpand", TRUE, nullptr));
  // Wide, the chosen run moves out to a column of its own on the right.
  p.detail_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(
      GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy", GTK_POLICY_NEVER, "hexpand", TRUE, "visible", FALSE, nullptr)));
  p.split = Ref<GtkWidget>::sink(gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0));
  gtk_box_append(GTK_BOX(p.split.get()), scrolled);
  gtk_box_append(GTK_BOX(p.split.get()), p.detail_scroll.get());
  const std::weak_ptr<Page> weak_layout = page;
  GtkWidget* split = follow_runs_width(p.split.get(), [weak_layout](bool wide) {
    if (auto page = weak_layout.lock(); page && !page->gone) set_wide(*page, wide);
  });

  // Either the status page or the runs; the hidden one is out of a screen
  // reader's reach too.
  GtkWidget* empty_open = button("Open…", on_open, page);
  gtk_widget_set_halign(empty_open, GTK_ALIGN_CENTER);
  gtk_widget_add_css_class(empty_open, "pill");
  adw_status_page_set_child(ADW_STATUS_PAGE(empty), empty_open);
  p.root = Ref<GtkWidget>::sink(vbox(0));
  p.empty = Ref<GtkWidget>::add(empty);
  p.runs = Ref<GtkWidget>::add(scrolled);
  gtk_widget_set_vexpand(empty, TRUE);
  gtk_widget_set_vexpand(split, TRUE);
  gtk_widget_set_visible(split, FALSE);
  // What became of the files opened or saved, above either: a first open
  // may fail before there is any run.
  GtkWidget* file_area = vbox(0);
  for (GtkWidget* w : {p.progress_box.get(), p.file_status.get()}) {
    gtk_box_append(GTK_BOX(file_area), w);
    for (auto set_margin : {&gtk_widget_set_margin_top, &gtk_widget_set_margin_start, &gtk_widget_set_margin_end})
      set_margin(w, 12);  // hidden while empty, margins and all
  }
  gtk_box_append(GTK_BOX(p.root.get()), file_area);
  gtk_box_append(GTK_BOX(p.root.get()), empty);
  gtk_box_append(GTK_BOX(p.root.get()), split);
  connect(p.root.get(), "destroy", on_page_destroy, page);
  connect(p.root.get(), "map", on_page_mapped, page);
  connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scrolled)), "notify::page-size", on_page_resized,
          page);
  p.toasts = Ref<GtkWidget>::sink(adw_toast_overlay_new());
  adw_toast_overlay_set_child(ADW_TOAST_OVERLAY(p.toasts.get()), p.root.get());
  g_object_set_data_full(G_OBJECT(p.toasts.get()), kPageKey, new std::weak_ptr<Page>(page),
                         [](gpointer d) { delete static_cast<std::weak_ptr<Page>*>(d); });

  std::weak_ptr<Page> weak = page;
  p.listener = p.log->add_listener([weak](RunLog::Change change, const RunRecord& run) {
    if (auto page = weak.lock()) on_log_change(*page, change, run);
  });
  for (const auto& run : p.log->runs()) on_log_change(p, RunLog::Change::Added, *run);
  return p.toasts.get();
}

namespace {

PageRef page_of(GtkWidget* widget) {
  auto* weak = static_cast<std::weak_ptr<Page>*>(g_object_get_data(G_OBJECT(widget), kPageKey));
  auto page = weak ? weak->lock() : nullptr;
  return page && !page->gone ? page : nullptr;
}

}  // namespace

void runs_page_open_files(GtkWidget* page, std::vector<Ref<GFile>> files) {
  if (auto p = page_of(page)) open_files(p, std::move(files));
}

void runs_page_choose_files(GtkWidget* page) {
  if (auto p = page_of(page)) choose_files(p);
}

}  // namespace trellan
