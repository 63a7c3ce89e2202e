#include "ui/runs_page.hpp"

#include "ui/runs_page_parts.hpp"

namespace trellan {

namespace runs_page_parts {

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
  set_label(p.heading.get(), shown_run_title(run));
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
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.latency_area.get()), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 latency_plot_description(p.latency).c_str(), -1);
  gtk_widget_queue_draw(p.latency_area.get());
}

// Shows `id` in the detail, or nothing, and marks its row as the chosen one.
void show_run(Page& p, std::uint64_t id) {
  // Only the rows whose state changes are told: each word to a screen
  // reader costs, and a file's runs come a hundred at a time.
  const std::uint64_t row_id = list_row_of(p, id);
  for (const std::uint64_t changed : {list_row_of(p, std::exchange(p.selected, id)), row_id})
    if (const RunRow* r = p.row_of(changed)) {
      gtk_widget_set_visible(r->check, r->id == row_id);
      gtk_accessible_update_state(GTK_ACCESSIBLE(r->row), GTK_ACCESSIBLE_STATE_SELECTED, r->id == row_id, -1);
    }
  // The list's selection is the shown run, so that a screen reader says
  // "selected" of it and finds it as the list's selected child.
  if (const RunRow* r = p.row_of(row_id)) gtk_list_box_select_row(GTK_LIST_BOX(p.list.get()), GTK_LIST_BOX_ROW(r->row));
  else gtk_list_box_unselect_all(GTK_LIST_BOX(p.list.get()));
  const auto run = p.shared_run(id);
  gtk_widget_set_visible(p.detail.get(), run != nullptr);
  set_label(p.save_status.get(), "");
  p.chart = run ? ChartData(run->intervals) : ChartData();
  p.table->show(run);
  show_latency(p, run.get());
  show_check(p, run.get());
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


// Brings `top`..`bottom` of what `a` scrolls into view, moving it
// as little as can be.
double scrolled_into_view(GtkAdjustment* a, double top, double bottom) {
  const double value = gtk_adjustment_get_value(a), page = gtk_adjustment_get_page_size(a);
  if (top < value) gtk_adjustment_set_value(a, top);
  else if (bottom > value + page) gtk_adjustment_set_value(a, bottom - page);
  return gtk_adjustment_get_value(a);
}

// The row a key moved the focus to, in view in the list and the list's
// part of it in view in the page: the page's own scrolling to the focus
// knows nothing of the list's, and could leave the row out of sight.
void reveal_focused_row(Page& p) {
  GtkRoot* root = gtk_widget_get_root(p.list.get());
  GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
  GtkWidget* row = focus ? gtk_widget_get_ancestor(focus, GTK_TYPE_LIST_BOX_ROW) : nullptr;
  graphene_rect_t in_list, list_in_page;
  if (!row || !gtk_widget_is_ancestor(row, p.list.get()) || !gtk_widget_compute_bounds(row, p.list.get(), &in_list) ||
      !gtk_widget_compute_bounds(p.list_scroll.get(), p.runs.get(), &list_in_page))
    return;
  const double top = in_list.origin.y, bottom = top + in_list.size.height;
  GtkAdjustment* list = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(p.list_scroll.get()));
  const double shown_from = scrolled_into_view(list, top, bottom);
  // Where the row now lies in the page's scrolled content.
  GtkAdjustment* page = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(p.runs.get()));
  const double at = gtk_adjustment_get_value(page) + list_in_page.origin.y + top - shown_from;
  scrolled_into_view(page, at, at + in_list.size.height);
}

// The list takes the page's height but for room for the chosen run's
// heading, chart and buttons, and at least four rows' worth; the page
// scrolls as a whole below it. Wide, it takes the whole column. Then the chosen row is brought into view.
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
    // The minimum goes first: GTK refuses a maximum below the minimum there is.
    if (gtk_scrolled_window_get_max_content_height(scroll) != height) {
      gtk_scrolled_window_set_min_content_height(scroll, -1);
      gtk_scrolled_window_set_max_content_height(scroll, height);
    }
    // Wide, the list takes its column's height however few its runs.
    gtk_scrolled_window_set_min_content_height(scroll, p.wide ? height : std::min(height, natural));
  }
  if (std::exchange(p.reveal_focus, false)) reveal_focused_row(p);
  if (!p.reveal_chosen) return;
  const RunRow* chosen = p.row_of(list_row_of(p, p.selected));
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

// After the runs of a file that come now, or as soon as they pause: below
// the priority at which they are added.
void show_newest_opened(Page& p, std::uint64_t id) {
  p.newest_opened = id;
  if (p.show_source) return;
  p.show_source = g_idle_add_full(
      G_PRIORITY_DEFAULT_IDLE + 1,
      [](gpointer data) noexcept -> gboolean {
        Page& p = **static_cast<PageRef*>(data);
        p.show_source = 0;
        if (!p.gone && p.row_of(p.newest_opened)) show_run(p, p.newest_opened);
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
      // Its tick is drawn, not said: the box says whether it is ticked.
      for (GtkWidget* c = gtk_widget_get_first_child(compare); c; c = gtk_widget_get_next_sibling(c))
        if (!GTK_IS_LABEL(c)) gtk_accessible_update_state(GTK_ACCESSIBLE(c), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
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
      if (p.log->unchanging(run.id)) show_newest_opened(p, run.id);
      else show_run(p, run.id);
      break;
    }
    case RunLog::Change::Interval:
      if (run.id == p.selected) grow_run(p, run);
      if (RunRow* r = p.row_of(run.id)) {
        if (shown) update_row(*r, run);
        else r->stale = true;
      }
      break;
    case RunLog::Change::Stall:
      if (RunRow* r = p.row_of(run.id)) update_row(*r, run);
      name_rows(p);
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
      show_dropped_runs(p);
      if (run.id == p.selected) show_run(p, 0);
      break;
  }
  if (run.facts.link_check && change != RunLog::Change::Interval)
    update_check_row(p, run, change != RunLog::Change::Removed);
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
  const std::uint64_t id = row ? run_to_show(p, p.id_of(row)) : 0;
  if (id == 0) return;
  p.focus_row = list_row_of(p, id);
  gtk_stack_set_visible_child_name(GTK_STACK(p.detail_stack.get()), "run");
  if (id != p.selected) show_run(p, id);
}

// While a key moves the focus within the list, the page does not scroll to
// it on its own (it would, in an animation, to where the row lay before the
// list scrolled); the row is brought into view at the next frame instead.
void page_follows_focus(const Page& p, bool follows) {
  GtkWidget* viewport = gtk_scrolled_window_get_child(GTK_SCROLLED_WINDOW(p.runs.get()));
  if (GTK_IS_VIEWPORT(viewport)) gtk_viewport_set_scroll_to_focus(GTK_VIEWPORT(viewport), follows);
}

void on_list_cursor_moving(GtkListBox*, GtkMovementStep, int, gboolean, gboolean, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (!p.gone) page_follows_focus(p, false);
}

void on_list_cursor_moved(GtkListBox*, GtkMovementStep, int, gboolean, gboolean, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  page_follows_focus(p, true);
  p.reveal_focus = true;
  schedule_layout(p);
}

// Arrows move the focus, not the shown run: a selection that followed the
// focus goes back to the shown run's row. Activating a row shows it.
void on_row_selected(GtkListBox* list, GtkListBoxRow* row, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  const RunRow* shown = p.row_of(list_row_of(p, p.selected));
  if (!shown) {
    if (row) gtk_list_box_unselect_all(list);
  } else if (GTK_WIDGET(row) != shown->row) {
    gtk_list_box_select_row(list, GTK_LIST_BOX_ROW(shown->row));
  }
}

// ---- building -------------------------------------------------------------

void on_page_destroy(GtkWidget*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone) return;
  p.gone = true;
  p.log->remove_listener(p.listener);
  p.opening.reset();
  unfollow_window_focus(p);
  if (p.layout_source) gtk_widget_remove_tick_callback(p.runs.get(), std::exchange(p.layout_source, 0u));
  if (p.show_source) g_source_remove(std::exchange(p.show_source, 0u));
  // The widgets' handlers hold the page; the page lets go of the widgets.
  for (Ref<GtkWidget>* w : {&p.root, &p.empty, &p.runs, &p.list, &p.list_scroll, &p.detail, &p.heading,
                            &p.started, &p.chart_area, &p.result, &p.details, &p.dropped, &p.save_status,
                            &p.cap_notice, &p.chart_frame, &p.failure, &p.failure_icon, &p.failure_title,
                            &p.failure_text, &p.latency_area, &p.latency_line, &p.file_status, &p.progress_box,
                            &p.progress_label, &p.progress_bar, &p.save_all, &p.detail_area, &p.detail_stack,
                            &p.switcher, &p.compare_view, &p.compare_hint, &p.compare_phases, &p.content, &p.detail_scroll,
                            &p.split, &p.toasts, &p.buttons})
    w->reset();
  p.rows.clear();
  p.table.reset();
  p.check_view.reset();
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

}  // namespace runs_page_parts

using namespace runs_page_parts;

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
      "here with its readings while this window is open. Runs saved before, and iperf3's JSON "
      "output, open here too.");

  // The runs, newest first, in a list that scrolls on its own past a few rows.
  p.list = Ref<GtkWidget>::sink(gtk_list_box_new());
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(p.list.get()), GTK_SELECTION_SINGLE);
  gtk_widget_add_css_class(p.list.get(), "boxed-list");
  gtk_widget_add_css_class(p.list.get(), "runs");
  add_css_once();
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.list.get()), GTK_ACCESSIBLE_PROPERTY_LABEL, "Runs", -1);
  connect(p.list.get(), "row-activated", on_row_activated, page);
  connect(p.list.get(), "row-selected", on_row_selected, page);
  connect(p.list.get(), "move-cursor", on_list_cursor_moving, page);
  g_signal_connect_data(p.list.get(), "move-cursor", G_CALLBACK(on_list_cursor_moved), new PageRef(page),
                        free_page_ref, G_CONNECT_AFTER);
  GtkEventController* keys = gtk_event_controller_key_new();
  connect(keys, "key-pressed", on_list_key, page);
  gtk_widget_add_controller(p.list.get(), keys);
  p.list_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(
      GTK_TYPE_SCROLLED_WINDOW, "child", p.list.get(), "hscrollbar-policy", GTK_POLICY_NEVER,
      "propagate-natural-height", TRUE, nullptr)));
  compat::name_scroll_bars(p.list_scroll.get(), "the runs list");

  // The selected run: heading, chart, texts, buttons, table.
  p.heading = label("heading", false);
  hold_any_text(p.heading.get(), 6, PANGO_ELLIPSIZE_MIDDLE);  // a host's start and its end
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
  GtkWidget* chart_frame = compat::plain_frame_new();
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
  const std::weak_ptr<Page> weak_check = page;
  p.check_view = std::make_unique<LinkCheckView>(
      [weak_check](std::uint64_t id) {
        if (auto page = weak_check.lock(); page && !page->gone) show_run(*page, id);
      },
      [weak_check](const std::string& told) {
        if (auto page = weak_check.lock(); page && !page->gone)
          adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(page->toasts.get()), adw_toast_new(told.c_str()));
      });
  gtk_box_append(GTK_BOX(p.detail.get()), p.check_view->widget());
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
  gtk_box_append(GTK_BOX(compare_box), compare_phase_buttons(page));
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
  gtk_accessible_update_property(GTK_ACCESSIBLE(p.switcher.get()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Run or comparison", -1);
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
  compat::name_scroll_bars(scrolled, "the Runs page");
  // Wide, the chosen run moves out to a column of its own on the right.
  p.detail_scroll = Ref<GtkWidget>::sink(GTK_WIDGET(g_object_new(
      GTK_TYPE_SCROLLED_WINDOW, "hscrollbar-policy", GTK_POLICY_NEVER, "hexpand", TRUE, "visible", FALSE, nullptr)));
  compat::name_scroll_bars(p.detail_scroll.get(), "the shown run");
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
