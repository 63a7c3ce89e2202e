// The Runs page's list: its rows and their names, the list as one Tab
// stop, and the runs marked for comparison.
#include <algorithm>
#include <string>
#include <vector>

#include "core/compare.hpp"
#include "core/text.hpp"
#include "ui/runs_page_parts.hpp"

namespace trellan::runs_page_parts {

// A run opened from a file may come from any day: its row gives the date
// too, unless it is today's.
std::string row_start(const RunRecord& run) {
  if (run.source_file.empty() ||
      local_time(run.started, "%Y-%m-%d") == local_time(std::chrono::system_clock::now(), "%Y-%m-%d"))
    return local_time(run.started, "%H:%M:%S");
  return local_time(run.started, "%Y-%m-%d %H:%M:%S");
}

// A running run's row shows its latest interval, so that it grows live too.
// Its parts, from a file, may be of any length: each is cut to a line.
std::string row_subtitle(const RunRecord& run) {
  std::string line = row_start(run);
  if (!run.options_summary.empty()) line += " · " + shown_name(run.options_summary);
  if (!run.source_file.empty()) line += " · " + shown_name(run.source_file);
  std::string ending = shown_name(run_ending_text(run));
  if (run.end == RunEnd::Running && !run.intervals.empty()) {
    const IntervalRecord& last = run.intervals.back();
    ending += std::string(" ") + (last.direction == Direction::Send ? "send " : "receive ") +
              rate_text(last.mbps) + " at " + last.end_text + " s";
  }
  if (const std::string stalls = stall_text(run); !stalls.empty()) ending += " · " + stalls;
  return line + "\n" + figures_kept_whole(ending);
}

// What a screen reader says of a row, once: which run (page, far end,
// protocol and direction as the form had them, its start to the second,
// its file) and how it ended, "Client — 127.0.0.1, port 5201, UDP,
// reverse, target 10M, 10 s, 14:02:09, Stopped".
std::string row_name(const RunRecord& run) {
  std::string options = shown_name(run.options_summary);
  for (std::size_t at; (at = options.find(" · ")) != std::string::npos;) options.replace(at, 4, ", ");
  std::string name = shown_run_title(run);
  if (!options.empty()) name += ", " + options;
  name += ", " + row_start(run);
  if (!run.source_file.empty()) name += ", from " + shown_name(run.source_file);
  name += ", " + shown_name(run_ending_text(run));
  if (const std::string stalls = stall_text(run); !stalls.empty()) name += ", " + stalls;
  return name;
}

GtkWidget* run_row(const RunRecord& run, GtkWidget** check) {
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), shown_run_title(run).c_str());
  // Its title wraps anywhere; limited to a few lines, GTK measures it in
  // time that grows with its length rather than with the square of it.
  adw_action_row_set_title_lines(ADW_ACTION_ROW(row), 4);
  adw_action_row_set_subtitle(ADW_ACTION_ROW(row), row_subtitle(run).c_str());
  adw_action_row_set_subtitle_lines(ADW_ACTION_ROW(row), 3);
  gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row), TRUE);
  gtk_accessible_update_state(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_STATE_SELECTED, FALSE, -1);
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
  r.stale = false;
  if (run.facts.link_check) return;  // a link check's row tells the check
  adw_action_row_set_subtitle(ADW_ACTION_ROW(r.row), row_subtitle(run).c_str());
  r.stale = false;
}

// Every row's name; where two would still sound alike, each says which of
// them it is, counted from the oldest.
void name_rows(Page& p) {
  std::vector<std::string> names;
  for (const RunRow& r : p.rows) {
    const RunRecord* run = p.log->find(r.id);
    // A link check's row is named by the check; its other runs have none
    // in the list, and keep their own names.
    const bool check = run && run->facts.link_check && list_row_of(p, r.id) == r.id;
    names.push_back(!run ? std::string() : check ? check_row_name(p, *run) : row_name(*run));
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
  if (!stop) stop = p.row_of(list_row_of(p, p.selected));
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
    for (std::uint64_t id : compared_runs(p))
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
    sort_oldest_first(p.marked, *p.log);
  }
  // The row says it, not only its box, which is out of reach of Tab.
  if (const RunRow* r = p.row_of(id)) {
    if (gtk_check_button_get_active(check))
      gtk_accessible_update_property(GTK_ACCESSIBLE(r->row), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, "Marked to compare",
                                     -1);
    else
      gtk_accessible_reset_property(GTK_ACCESSIBLE(r->row), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION);
  }
  // The comparison comes up as the second run is marked.
  if (before < kCompareFrom && p.marked.size() >= kCompareFrom)
    gtk_stack_set_visible_child_name(GTK_STACK(p.detail_stack.get()), "compare");
  show_comparison(p);
}

}  // namespace trellan::runs_page_parts
