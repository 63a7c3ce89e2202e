// The Runs page's list and table as a keyboard user, a pasting program and
// a screen reader meet them: focus that moves without choosing, a copy of a
// long run that another program reads while the window keeps answering, and
// a hidden page that leaves the accessible tree alone until it is shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "accessible_tree.hpp"
#include "runs_page_fixture.hpp"

using namespace trellan;
using namespace trellan::testing;

namespace {

// A full window: 97 runs alike but for their order, then three ended
// client runs a minute apart, each with one reading of its own.
struct HundredRuns : RunsPageTest {
  std::uint64_t ids[3] = {};
  void SetUp() override {
    RunsPageTest::SetUp();
    GDateTime* early = g_date_time_new_local(2026, 3, 14, 8, 0, 0);
    const auto alike = std::chrono::system_clock::from_time_t(g_date_time_to_unix(early));
    g_date_time_unref(early);
    for (int i = 0; i < 97; ++i) {
      const auto id = log->begin(RunPage::Client, "192.0.2.1, port 5201", "UDP · reverse · target 10M · 1 s", alike);
      log->end(id, RunEnd::Stopped);
    }
    const double rates[3] = {111, 222, 333};
    const char* transfers[3] = {"13.2 MBytes", "26.5 MBytes", "39.7 MBytes"};
    for (int i = 0; i < 3; ++i) {
      GDateTime* start = g_date_time_new_local(2026, 3, 14, 9, 26 + i, 53);
      const auto started = std::chrono::system_clock::from_time_t(g_date_time_to_unix(start));
      g_date_time_unref(start);
      ids[i] = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 1 s", started);
      log->add_interval(ids[i], send_interval("0.00", "1.00", rates[i], transfers[i], static_cast<std::uint64_t>(i)));
      log->end(ids[i], RunEnd::Stopped);
    }
    ASSERT_EQ(log->runs().size(), 100u);
    open_runs();
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(run_list())); }));
  }
  GtkWidget* focus() const { return gtk_root_get_focus(GTK_ROOT(window)); }
  GtkListBoxRow* row(int i) const { return gtk_list_box_get_row_at_index(run_list(), i); }
  // What the arrow keys, Enter and Space, and Tab do.
  void arrow(int count) {
    GSignalQuery q;
    g_signal_query(g_signal_lookup("move-cursor", GTK_TYPE_LIST_BOX), &q);
    ASSERT_EQ(q.n_params, 4u);
    g_signal_emit_by_name(run_list(), "move-cursor", GTK_MOVEMENT_DISPLAY_LINES, count, FALSE, FALSE);
  }
  void enter() { g_signal_emit_by_name(run_list(), "activate-cursor-row"); }
  // A key that the list handles itself (Left, Right), as its key handler
  // gets it.
  bool list_key(guint keyval) {
    GListModel* controllers = gtk_widget_observe_controllers(GTK_WIDGET(run_list()));
    gboolean handled = FALSE;
    for (guint i = 0; i < g_list_model_get_n_items(controllers) && !handled; ++i) {
      auto* c = static_cast<GtkEventController*>(g_list_model_get_item(controllers, i));
      if (GTK_IS_EVENT_CONTROLLER_KEY(c)) g_signal_emit_by_name(c, "key-pressed", keyval, 0u, GdkModifierType(0), &handled);
      g_object_unref(c);
    }
    g_object_unref(controllers);
    return handled;
  }
  // What Tab does: the window's own key binding, which moves the focus to
  // the next widget that takes it (nothing past the last, then the top).
  void tab() { g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD); }
  std::string focus_name() const {
    std::string where = focus() ? G_OBJECT_TYPE_NAME(focus()) : "(none)";
    if (focus() && GTK_IS_LIST_BOX_ROW(focus()))
      where += " " + std::to_string(gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(focus())));
    else if (focus() && GTK_IS_BUTTON(focus()) && gtk_button_get_label(GTK_BUTTON(focus())))
      where += std::string(" ") + gtk_button_get_label(GTK_BUTTON(focus()));
    else if (focus() && GTK_IS_LABEL(focus()))
      where += std::string(" “") + gtk_label_get_text(GTK_LABEL(focus())) + "”";
    else if (focus() && GTK_IS_CHECK_BUTTON(focus()))
      where += " in row " + std::to_string(gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(
                                gtk_widget_get_ancestor(focus(), GTK_TYPE_LIST_BOX_ROW))));
    return where;
  }
  // Presses Tab until the focus is on `target`, at most 30 times; the
  // places passed.
  std::vector<std::string> tab_to(GtkWidget* target) {
    std::vector<std::string> passed;
    for (int i = 0; i < 30 && focus() != target; ++i) {
      tab();
      passed.push_back(focus_name());
    }
    return passed;
  }
  // The window as someone typing has it: active, since keys reach only the
  // active window (and a row hands Tab on only while it holds the focus of
  // an active window), and laid out, since Tab follows the widgets' places
  // on screen. Without a window manager the window becomes active once it
  // asks for the focus while shown.
  bool ready_for_keys(GtkWidget* below) {
    gtk_window_present(GTK_WINDOW(window));
    return pump_until([&] { return gtk_window_is_active(GTK_WINDOW(window)) && gtk_widget_get_height(below) > 0; });
  }
};

std::string accessible_label_problem(GtkWidget* w, const char* label) {
  char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, label);
  std::string out = differs ? differs : "";
  g_free(differs);
  return out;
}

}  // namespace

TEST_F(HundredRuns, TheListIsOneTabStopArrowsMoveWithoutChoosingAndEnterChooses) {
  // Each row says which run it is once, with its protocol and direction;
  // rows that would sound alike say which of them they are.
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(0)), "Client — 127.0.0.1, port 5201, TCP, 1 s, 09:28:53, "
                                                         "Stopped after 1.0 s — send: 333.0 Mbit/s mean"), "");
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(2)), "Client — 127.0.0.1, port 5201, TCP, 1 s, 09:26:53, "
                                                         "Stopped after 1.0 s — send: 111.0 Mbit/s mean"), "");
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(99)),
                                     "Client — 192.0.2.1, port 5201, UDP, reverse, target 10M, 1 s, 08:00:00, Stopped, 1 of 97"),
            "");
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(3)),
                                     "Client — 192.0.2.1, port 5201, UDP, reverse, target 10M, 1 s, 08:00:00, Stopped, 97 of 97"),
            "");

  // Nothing else names or describes a row: a screen reader says it once.
  for (GtkAccessibleRelation relation : {GTK_ACCESSIBLE_RELATION_LABELLED_BY, GTK_ACCESSIBLE_RELATION_DESCRIBED_BY})
    EXPECT_FALSE(gtk_test_accessible_has_relation(GTK_ACCESSIBLE(row(0)), relation)) << relation;
  EXPECT_FALSE(gtk_test_accessible_has_property(GTK_ACCESSIBLE(row(0)), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION));

  // Tab from the button above the list lands on the newest row, the list's
  // one stop.
  GtkWidget* copy = button_labelled(page, "Copy as CSV");
  GtkWidget* save_all = button_labelled(page, "Save all runs…");
  ASSERT_TRUE(ready_for_keys(copy));
  ASSERT_TRUE(gtk_widget_grab_focus(save_all));
  tab();
  ASSERT_EQ(focus(), GTK_WIDGET(row(0))) << focus_name();
  EXPECT_EQ(chosen_row(), row(0));

  // Arrows down to the oldest of the three move the focus only; Enter
  // there chooses it.
  arrow(2);
  EXPECT_EQ(focus(), GTK_WIDGET(row(2))) << focus_name();
  EXPECT_EQ(chosen_row(), row(0));
  enter();
  EXPECT_EQ(chosen_row(), row(2));
  EXPECT_TRUE(pump_until([&] { return missing(page, {"111.0 Mbit/s"}).empty(); }, 5));

  // Right goes into the row, to its Compare box, which Tab never reaches;
  // Left comes back.
  ASSERT_TRUE(list_key(GDK_KEY_Right));
  ASSERT_TRUE(GTK_IS_CHECK_BUTTON(focus())) << focus_name();
  EXPECT_EQ(gtk_widget_get_ancestor(focus(), GTK_TYPE_LIST_BOX_ROW), GTK_WIDGET(row(2)));
  ASSERT_TRUE(list_key(GDK_KEY_Left));
  ASSERT_EQ(focus(), GTK_WIDGET(row(2))) << focus_name();

  // Tab on to "Copy as CSV": out of the list at the first press, past no
  // other row, with the chosen run left as it is.
  const std::vector<std::string> passed = tab_to(copy);
  ASSERT_EQ(focus(), copy) << ::testing::PrintToString(passed);
  for (const std::string& where : passed) EXPECT_EQ(where.find("Row"), std::string::npos) << ::testing::PrintToString(passed);
  EXPECT_LE(passed.size(), 6u) << ::testing::PrintToString(passed);
  EXPECT_EQ(chosen_row(), row(2));
  std::string path;
  for (const std::string& where : passed) path += (path.empty() ? "" : " → ") + where;
  std::printf("Tab presses from the runs list (100 runs) to \"Copy as CSV\": %zu (%s)\n", passed.size(), path.c_str());

  // The copy is the chosen run's, and says so.
  EXPECT_EQ(copied_by(copy),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
            "latency_rtt_median_ms,probes_lost\n"
            "0.00,1.00,send,111.000,13.2 MBytes,0,,,,no,,\n");
  EXPECT_TRUE(pump_until([&] { return !missing(page, {"Copied 1 reading as CSV"}).size(); }, 5));

  // Back with Shift+Tab, the list is one stop again, at the row last on.
  std::vector<std::string> back;
  for (int i = 0; i < 10 && !GTK_IS_LIST_BOX_ROW(focus()); ++i) {
    g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_BACKWARD);
    back.push_back(focus_name());
  }
  EXPECT_LE(back.size(), passed.size() + 2) << ::testing::PrintToString(back);
  EXPECT_EQ(focus(), GTK_WIDGET(row(2))) << focus_name();

  // Marked from the keyboard, two runs are compared in place of the chosen
  // one; choosing a run shows it again.
  GtkStack* detail = GTK_STACK(find_widget(page, [](GtkWidget* w) { return GTK_IS_STACK(w); }));
  ASSERT_NE(detail, nullptr);
  for (int i : {2, 1}) {
    arrow(i == 2 ? 0 : -1);
    ASSERT_TRUE(list_key(GDK_KEY_Right));
    ASSERT_TRUE(GTK_IS_CHECK_BUTTON(focus())) << focus_name();
    gtk_widget_activate(focus());  // Space
    EXPECT_TRUE(gtk_check_button_get_active(GTK_CHECK_BUTTON(focus())));
    ASSERT_TRUE(list_key(GDK_KEY_Left));
    EXPECT_EQ(focus(), GTK_WIDGET(row(i))) << focus_name();
  }
  EXPECT_STREQ(gtk_stack_get_visible_child_name(detail), "compare");
  EXPECT_EQ(chosen_row(), row(2));
  enter();
  EXPECT_STREQ(gtk_stack_get_visible_child_name(detail), "run");
  EXPECT_EQ(chosen_row(), row(1));
}

// Whether `w` is shown whole: in the window, and inside every scrolled
// window it lies in (the list's own, the page's).
bool shown_whole(GtkWidget* w, GtkWidget* window) {
  if (!in_sight(w, window)) return false;
  for (GtkWidget* s = gtk_widget_get_ancestor(w, GTK_TYPE_SCROLLED_WINDOW); s;
       s = gtk_widget_get_ancestor(gtk_widget_get_parent(s), GTK_TYPE_SCROLLED_WINDOW)) {
    graphene_rect_t r;
    if (!gtk_widget_compute_bounds(w, s, &r)) return false;
    if (r.origin.y < -0.5 || r.origin.y + r.size.height > gtk_widget_get_height(s) + 0.5) return false;
  }
  return true;
}

std::string where(GtkWidget* w) {
  std::string out;
  for (GtkWidget* s = gtk_widget_get_ancestor(w, GTK_TYPE_SCROLLED_WINDOW); s;
       s = gtk_widget_get_ancestor(gtk_widget_get_parent(s), GTK_TYPE_SCROLLED_WINDOW)) {
    graphene_rect_t r;
    if (!gtk_widget_compute_bounds(w, s, &r)) return out + " (no bounds)";
    out += " y=" + std::to_string(r.origin.y) + " h=" + std::to_string(r.size.height) + " in " + std::to_string(gtk_widget_get_height(s));
  }
  return out;
}

// End, Home and the Page keys in the list of 100 runs: the row they move
// the focus to is in sight each time, three times over.
TEST_F(HundredRuns, EndHomeAndPageKeysKeepTheFocusedRowInSight) {
  GtkWidget* copy = button_labelled(page, "Copy as CSV");
  ASSERT_TRUE(ready_for_keys(copy));
  ASSERT_TRUE(gtk_widget_grab_focus(GTK_WIDGET(row(0))));
  struct Key {
    const char* name;
    GtkMovementStep step;
    int count;
  } keys[] = {{"End", GTK_MOVEMENT_BUFFER_ENDS, 1},   {"Page Up", GTK_MOVEMENT_PAGES, -1},
              {"Home", GTK_MOVEMENT_BUFFER_ENDS, -1}, {"Page Down", GTK_MOVEMENT_PAGES, 1}};
  for (int round = 0; round < 3; ++round)
    for (const Key& k : keys) {
      SCOPED_TRACE(std::string(k.name) + ", round " + std::to_string(round + 1));
      g_signal_emit_by_name(run_list(), "move-cursor", k.step, k.count, FALSE, FALSE);
      ASSERT_TRUE(GTK_IS_LIST_BOX_ROW(focus())) << focus_name();
      if (k.step == GTK_MOVEMENT_BUFFER_ENDS) {
        EXPECT_EQ(focus(), GTK_WIDGET(row(k.count > 0 ? 99 : 0)));
      }
      // Scrolling follows at the frames after the move.
      EXPECT_TRUE(pump_until([&] { return shown_whole(focus(), win()); }, 3)) << focus_name() << where(focus());
    }
  EXPECT_EQ(chosen_row(), row(0));
}

// A run of 5,000 readings beside 99 others: its table is one Tab stop on
// the way from "Copy as CSV" to the page tabs, both ways.
TEST_F(HundredRuns, ATableOf5000ReadingsIsOneTabStopOnTheWayToThePageTabs) {
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 5000 s");
  for (int i = 0; i < 5000; ++i) {
    char start[16], end[16];
    std::snprintf(start, sizeof start, "%d.00", i);
    std::snprintf(end, sizeof end, "%d.00", i + 1);
    log->add_interval(id, send_interval(start, end, 900 + i % 7, "107 MBytes", 0));
  }
  log->end(id, RunEnd::Stopped);
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  ASSERT_NE(view, nullptr);
  GtkWidget* copy = button_labelled(page, "Copy as CSV");
  ASSERT_TRUE(ready_for_keys(view));
  // The table shows the run once its rows are in and it is no longer kept unseen.
  ASSERT_TRUE(pump_until([&] {
    GtkWidget* rows = find_widget(view, [](GtkWidget* w) { return GTK_IS_LIST_VIEW(w); });
    return chosen_row() == row(0) && rows && gtk_widget_get_first_child(rows) && gtk_widget_get_opacity(view) == 1.0;
  }, 10));
  GtkWidget* tabs = gtk_widget_get_ancestor(client_form_of(window)->status_label.get(), ADW_TYPE_VIEW_STACK);
  ASSERT_NE(tabs, nullptr);
  const auto in = [&](GtkWidget* w) { return focus() && (focus() == w || gtk_widget_is_ancestor(focus(), w)); };
  const auto in_page_tabs = [&] {
    return focus() && gtk_widget_get_ancestor(focus(), ADW_TYPE_VIEW_SWITCHER) != nullptr;
  };

  ASSERT_TRUE(gtk_widget_grab_focus(copy));
  std::vector<std::string> to_table, to_tabs, back;
  for (int i = 0; i < 30 && !in(view); ++i) {
    tab();
    to_table.push_back(focus_name());
  }
  ASSERT_TRUE(in(view)) << ::testing::PrintToString(to_table);
  for (int i = 0; i < 30 && !in_page_tabs(); ++i) {
    tab();
    to_tabs.push_back(focus_name());
  }
  EXPECT_TRUE(in_page_tabs()) << ::testing::PrintToString(to_tabs);
  // Shift+Tab from the tabs back into the table, and once more out of it.
  for (int i = 0; i < 30 && !in(view); ++i) {
    g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_BACKWARD);
    back.push_back(focus_name());
  }
  EXPECT_TRUE(in(view)) << ::testing::PrintToString(back);
  g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_BACKWARD);
  EXPECT_FALSE(in(view)) << focus_name();

  EXPECT_LE(to_table.size(), 4u) << ::testing::PrintToString(to_table);
  EXPECT_LE(to_tabs.size(), 3u) << ::testing::PrintToString(to_tabs);
  EXPECT_EQ(to_tabs.size(), back.size()) << ::testing::PrintToString(to_tabs) << ::testing::PrintToString(back);
  std::printf("Tab presses (5,000 readings): \"Copy as CSV\" to the table %zu, table to the page tabs %zu, back %zu\n",
              to_table.size(), to_tabs.size(), back.size());
}

namespace {

// What another program pasting the clipboard reads: `xclip -o` run to its
// end while this main loop goes on, and the longest the loop went without
// a turn meanwhile.
struct Paste {
  bool done = false;
  std::string text;
  std::string error;
  gint64 longest_stall_us = 0;
};

Paste paste_elsewhere() {
  Paste paste;
  GError* error = nullptr;
  GSubprocess* xclip = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "xclip", "-o", "-selection",
                                        "clipboard", nullptr);
  if (!xclip) {
    paste.error = error->message;
    g_error_free(error);
    return paste;
  }
  g_subprocess_communicate_utf8_async(
      xclip, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Paste*>(data);
        char* out = nullptr;
        GError* error = nullptr;
        if (g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &out, nullptr, &error))
          p->text = out ? out : "";
        else
          p->error = error->message;
        g_clear_error(&error);
        g_free(out);
        p->done = true;
      },
      &paste);
  gint64 last = g_get_monotonic_time();
  pump_until([&] {
    const gint64 now = g_get_monotonic_time();
    paste.longest_stall_us = std::max(paste.longest_stall_us, now - last);
    last = now;
    return paste.done;
  }, 120);
  if (!paste.done) {
    g_subprocess_force_exit(xclip);
    pump_until([&] { return paste.done; }, 10);
  }
  g_object_unref(xclip);
  return paste;
}

std::size_t lines_in(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

namespace {

// The accessible objects under `root`, reachable or not.
std::size_t accessible_count(GtkWidget* root) {
  std::vector<Node> tree;
  walk(GTK_ACCESSIBLE(root), "", tree);
  return tree.size();
}

}  // namespace

TEST_F(RunsPageTest, AnotherProgramPastesTheCsvOfA20000IntervalRunWhileTheWindowKeepsAnswering) {
  // 20,000 seconds of one reading each: 978 KB of CSV, several times what
  // hung GTK's own clipboard text.
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 20000 s");
  for (int i = 0; i < 20000; ++i) {
    const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
    log->add_interval(id, send_interval(start.c_str(), end.c_str(), 942, "112 MBytes", 0));
  }
  log->end(id, RunEnd::Stopped);
  open_runs();
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(button_labelled(page, "Copy as CSV")); }, 10));
  // A button clicks once its press has been shown; then the clipboard has
  // new content, and the X server knows it is this window's.
  GdkClipboard* clipboard = gtk_widget_get_clipboard(win());
  GdkContentProvider* before = gdk_clipboard_get_content(clipboard);
  gtk_widget_activate(button_labelled(page, "Copy as CSV"));
  ASSERT_TRUE(pump_until([&] { return gdk_clipboard_get_content(clipboard) != before; }, 10));
  gdk_display_sync(gtk_widget_get_display(win()));

  const Paste paste = paste_elsewhere();
  ASSERT_TRUE(paste.done) << "xclip did not finish";
  EXPECT_EQ(paste.error, "");
  EXPECT_EQ(paste.text.size(), 1'017'907u);
  EXPECT_EQ(lines_in(paste.text), 20'001u);
  EXPECT_EQ(paste.text.substr(0, 167),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
            "latency_rtt_median_ms,probes_lost\n"
            "0.00,1.00,send,942.000,112 MBytes,0,,,,no,,\n");
  EXPECT_EQ(paste.text.substr(paste.text.size() - 52), "19999.00,20000.00,send,942.000,112 MBytes,0,,,,no,,\n");
  // A second, the most a turn of the loop may take on a busy machine; a
  // window that hangs never takes its next turn.
  EXPECT_LT(paste.longest_stall_us, 1'000'000);
  std::printf("xclip read %zu bytes; longest stall of the main loop: %.1f ms\n", paste.text.size(),
              paste.longest_stall_us / 1000.0);

  // The window answers: another run shows at once.
  log->begin(RunPage::Server, "192.0.2.7", "TCP");
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Server — client 192.0.2.7"}).empty(); }, 5));

  // Chosen again, the long run's table comes back whole, to its last row.
  g_signal_emit_by_name(gtk_list_box_get_row_at_index(run_list(), 1), "activate");
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  GListModel* rows = G_LIST_MODEL(gtk_column_view_get_model(GTK_COLUMN_VIEW(view)));
  EXPECT_TRUE(pump_until([&] { return g_list_model_get_n_items(rows) == 20'000u; }, 10))
      << g_list_model_get_n_items(rows) << " rows";
  GtkAdjustment* a = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
  EXPECT_TRUE(pump_until([&] {
    gtk_adjustment_set_value(a, gtk_adjustment_get_upper(a));
    return missing(page, {"19999.00–20000.00 s"}).empty();
  }, 10));
}

TEST_F(RunsPageTest, AHiddenPageLeavesTheAccessibleTreeAloneUntilItIsShown) {
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 50 s");
  log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 0));
  pump_for(0.3);
  const std::size_t before = accessible_count(page);
  for (int i = 1; i < 50; ++i) {
    const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
    log->add_interval(id, send_interval(start.c_str(), end.c_str(), 900 + i, "112 MBytes", 0));
    g_main_context_iteration(nullptr, FALSE);
  }
  pump_for(0.3);
  EXPECT_EQ(accessible_count(page), before) << "the hidden page's tree grew with its readings";

  // Shown, the page catches up: the newest reading is in the table and in
  // its run's row.
  open_runs();
  EXPECT_TRUE(pump_until([&] { return missing(page, {"49.00–50.00 s", "949.0 Mbit/s"}).empty(); }, 5))
      << ::testing::PrintToString(reachable_texts(page));
  EXPECT_NE(row_subtitle_of(chosen_row()).find("send 949.0 Mbit/s at 50.00 s"), std::string::npos)
      << row_subtitle_of(chosen_row());
  // The table's rows and cells are named by their texts (a cell with its
  // column), not their types.
  auto named = [&](GtkAccessibleRole role, const char* name) {
    return find_widget(page, [&](GtkWidget* w) {
      if (gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(w)) != role) return false;
      char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, name);
      g_free(differs);
      return differs == nullptr;
    }) != nullptr;
  };
  EXPECT_TRUE(named(GTK_ACCESSIBLE_ROLE_ROW, "49.00–50.00 s, Send, 949.0 Mbit/s, 112 MBytes, retransmits 0"));
  EXPECT_TRUE(named(GTK_ACCESSIBLE_ROLE_CELL, "Bitrate: 949.0 Mbit/s") ||
              named(GTK_ACCESSIBLE_ROLE_GRID_CELL, "Bitrate: 949.0 Mbit/s"));
  std::printf("accessible objects under the Runs page: %zu hidden, %zu shown with 50 readings\n", before,
              accessible_count(page));
}

namespace {

double luminance(const guchar* px) {
  auto channel = [](guchar c) {
    const double v = c / 255.0;
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(px[0]) + 0.7152 * channel(px[1]) + 0.0722 * channel(px[2]);
}

// The contrast of the text in `w` as drawn in the window's screenshot: its
// background is the area's commonest colour, its text the pixel furthest
// from it.
double text_contrast(GtkWidget* window, GtkWidget* w, const std::string& shot) {
  graphene_rect_t r;
  if (!gtk_widget_compute_bounds(w, window, &r)) return 0;
  GdkTexture* texture = gdk_texture_new_from_filename(shot.c_str(), nullptr);
  if (!texture) return 0;
  const int width = gdk_texture_get_width(texture), height = gdk_texture_get_height(texture);
  std::vector<guchar> pixels(static_cast<std::size_t>(width) * height * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(width) * 4);
  g_object_unref(texture);
  std::map<std::uint32_t, int> counts;
  std::vector<const guchar*> area;
  for (int y = std::max(0, int(r.origin.y)); y < std::min(height, int(r.origin.y + r.size.height)); ++y)
    for (int x = std::max(0, int(r.origin.x)); x < std::min(width, int(r.origin.x + r.size.width)); ++x) {
      const guchar* px = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];  // B G R A in memory
      const guchar rgb[3] = {px[2], px[1], px[0]};
      ++counts[rgb[0] << 16 | rgb[1] << 8 | rgb[2]];
      area.push_back(px);
    }
  if (counts.empty()) return 0;
  const auto background = std::max_element(counts.begin(), counts.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; })->first;
  const guchar bg[3] = {guchar(background >> 16), guchar(background >> 8), guchar(background)};
  const double lb = luminance(bg);
  double best = 1;
  for (const guchar* px : area) {
    const guchar rgb[3] = {px[2], px[1], px[0]};
    const double l = luminance(rgb);
    best = std::max(best, (std::max(l, lb) + 0.05) / (std::min(l, lb) + 0.05));
  }
  return best;
}

GtkWidget* table_header(GtkWidget* page) {
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  return view ? find_widget(view, [](GtkWidget* w) { return g_str_equal(gtk_widget_get_css_name(w), "header"); })
              : nullptr;
}

GtkWidget* label_starting(GtkWidget* page, const std::string& text) {
  return find_widget(page, [&](GtkWidget* w) {
    return GTK_IS_LABEL(w) && std::string(gtk_label_get_text(GTK_LABEL(w))).rfind(text, 0) == 0;
  });
}

}  // namespace

TEST_F(RunsPageTest, AtTheDefaultSizeTheListShowsFourRunsKeepsTheChosenInViewAndTextsReadAtFullContrast) {
  for (int i = 0; i < 6; ++i) {
    const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 1 s");
    log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 0));
    log->end(id, RunEnd::Stopped);
  }
  open_runs();
  GtkListBox* list = run_list();
  auto row_in_view = [&](int i) {
    GtkWidget* row = GTK_WIDGET(gtk_list_box_get_row_at_index(list, i));
    GtkWidget* viewport = gtk_widget_get_ancestor(row, GTK_TYPE_SCROLLED_WINDOW);
    graphene_rect_t r;
    return in_sight(row, win()) && gtk_widget_compute_bounds(row, viewport, &r) && r.origin.y >= -0.5 &&
           r.origin.y + r.size.height <= gtk_widget_get_height(viewport) + 0.5;
  };
  EXPECT_TRUE(pump_until([&] { return row_in_view(0) && row_in_view(1) && row_in_view(2) && row_in_view(3); }, 5));
  save_window_png(win(), shot_path("runs-list-560x680.png"));

  // Scrolled to the oldest, the list brings a new run's row into view.
  GtkAdjustment* a = gtk_scrolled_window_get_vadjustment(
      GTK_SCROLLED_WINDOW(gtk_widget_get_ancestor(GTK_WIDGET(list), GTK_TYPE_SCROLLED_WINDOW)));
  gtk_adjustment_set_value(a, gtk_adjustment_get_upper(a));
  ASSERT_TRUE(pump_until([&] { return !row_in_view(0); }, 5));
  log->begin(RunPage::Server, "192.0.2.7", "TCP");
  EXPECT_TRUE(pump_until([&] { return row_in_view(0) && chosen_row() == gtk_list_box_get_row_at_index(list, 0); }, 5));
  log->add_interval(log->runs().back()->id, send_interval("0.00", "1.00", 942, "112 MBytes", 0));

  // The table's titles and the start line, light and dark, with the page
  // scrolled to its end.
  GtkWidget* list_scroll = gtk_widget_get_ancestor(GTK_WIDGET(list), GTK_TYPE_SCROLLED_WINDOW);
  GtkAdjustment* page_scroll = gtk_scrolled_window_get_vadjustment(
      GTK_SCROLLED_WINDOW(gtk_widget_get_ancestor(gtk_widget_get_parent(list_scroll), GTK_TYPE_SCROLLED_WINDOW)));
  gtk_adjustment_set_value(page_scroll, gtk_adjustment_get_upper(page_scroll));
  for (const bool dark : {false, true}) {
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(),
                                       dark ? ADW_COLOR_SCHEME_FORCE_DARK : ADW_COLOR_SCHEME_FORCE_LIGHT);
    pump_for(0.5);
    const std::string shot = shot_path(dark ? "runs-list-dark.png" : "runs-list-light.png");
    ASSERT_TRUE(save_window_png(win(), shot));
    const double titles = text_contrast(win(), table_header(page), shot);
    const double started = text_contrast(win(), label_starting(page, "Started "), shot);
    gtk_adjustment_set_value(page_scroll, 0);
    pump_for(0.3);
    ASSERT_TRUE(save_window_png(win(), shot));
    GtkWidget* subtitle = find_widget(GTK_WIDGET(gtk_list_box_get_row_at_index(list, 0)), [](GtkWidget* w) {
      return GTK_IS_LABEL(w) && gtk_widget_has_css_class(w, "subtitle");
    });
    const double row_subtitle = text_contrast(win(), subtitle, shot);
    EXPECT_GE(row_subtitle, 4.5) << (dark ? "dark" : "light");
    gtk_adjustment_set_value(page_scroll, gtk_adjustment_get_upper(page_scroll));
    EXPECT_GE(titles, 4.5) << (dark ? "dark" : "light");
    EXPECT_GE(started, 4.5) << (dark ? "dark" : "light");
    std::printf("contrast %s: titles %.1f:1, start line %.1f:1, a row's subtitle %.1f:1\n", dark ? "dark" : "light",
                titles, started, row_subtitle);
  }
  adw_style_manager_set_color_scheme(adw_style_manager_get_default(), ADW_COLOR_SCHEME_DEFAULT);
}

TEST_F(RunsPageTest, InAWideWindowTheListAndTheChosenRunSitSideBySideWithTheTableInView) {
  for (int r = 0; r < 5; ++r) {
    const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 60 s");
    for (int i = 0; i < 60; ++i) {
      const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
      log->add_interval(id, send_interval(start.c_str(), end.c_str(), 900 + 10 * r + (i % 7) * 6, "112 MBytes",
                                          static_cast<std::uint64_t>(i % 3)));
    }
    log->end(id, RunEnd::Result, "Result — send: 942.0 Mbit/s", "6.58 GBytes · 45 retransmits");
  }
  gtk_window_set_default_size(GTK_WINDOW(window), 1400, 900);
  open_runs();
  GtkWidget* list = GTK_WIDGET(run_list());
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  GtkWidget* chart_area = chart();
  auto bounds = [&](GtkWidget* w) {
    graphene_rect_t r{};
    if (!gtk_widget_compute_bounds(w, win(), &r)) r = {};
    return r;
  };
  ASSERT_TRUE(pump_until([&] {
    return gtk_widget_get_width(win()) >= 1380 && gtk_widget_get_height(win()) >= 880 &&
           bounds(view).origin.x > bounds(list).origin.x + bounds(list).size.width;
  }, 10)) << gtk_widget_get_width(win()) << "×" << gtk_widget_get_height(win());
  pump_for(0.5);
  // The list on the left, the chart and the table on the rest of the width,
  // and the table's titles and first rows in view without scrolling.
  EXPECT_LE(bounds(list).size.width, 500);
  EXPECT_GE(bounds(chart_area).size.width, 800);
  EXPECT_GE(bounds(view).size.width, 800);
  EXPECT_TRUE(in_sight(table_header(page), win()));
  EXPECT_TRUE(pump_until([&] { return missing(page, {"0.00–1.00 s", "1.00–2.00 s"}).empty(); }, 5));
  EXPECT_LE(bounds(view).origin.y + 120, 900);
  // The list takes the column's height, down to the page's bottom margin,
  // though its five runs need less than half of it.
  GtkWidget* list_scroll = gtk_widget_get_ancestor(list, GTK_TYPE_SCROLLED_WINDOW);
  GtkWidget* page_scroll = gtk_widget_get_ancestor(gtk_widget_get_parent(list_scroll), GTK_TYPE_SCROLLED_WINDOW);
  EXPECT_TRUE(pump_until([&] {
    return bounds(list_scroll).origin.y + bounds(list_scroll).size.height >=
           bounds(page_scroll).origin.y + bounds(page_scroll).size.height - 20;
  }, 5)) << bounds(list_scroll).origin.y << "+" << bounds(list_scroll).size.height << " in "
         << bounds(page_scroll).origin.y << "+" << bounds(page_scroll).size.height;
  for (const bool dark : {false, true}) {
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(),
                                       dark ? ADW_COLOR_SCHEME_FORCE_DARK : ADW_COLOR_SCHEME_FORCE_LIGHT);
    pump_for(0.5);
    EXPECT_TRUE(save_window_png(win(), shot_path(dark ? "runs-1400-dark.png" : "runs-1400-light.png")));
  }
  adw_style_manager_set_color_scheme(adw_style_manager_get_default(), ADW_COLOR_SCHEME_DEFAULT);

  // Narrow again, the run goes back below the list.
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 680);
  EXPECT_TRUE(pump_until([&] { return bounds(view).origin.y > bounds(list).origin.y + bounds(list).size.height; }, 10));
}

namespace {

// The labels under `root` in view whose texts are cut: given less width
// than their text takes ("0.044 m" of "0.044 ms").
std::vector<std::string> cut_labels(GtkWidget* root) {
  std::vector<std::string> out;
  std::vector<GtkWidget*> all;
  trellan::testing::all_widgets(root, all);
  for (GtkWidget* w : all) {
    if (!GTK_IS_LABEL(w) || !gtk_widget_get_mapped(w) || !*gtk_label_get_text(GTK_LABEL(w))) continue;
    int natural = 0;
    gtk_widget_measure(w, GTK_ORIENTATION_HORIZONTAL, -1, nullptr, &natural, nullptr, nullptr);
    if (gtk_widget_get_width(w) + 0.5 < natural)
      out.push_back(std::string(gtk_label_get_text(GTK_LABEL(w))) + " (" + std::to_string(gtk_widget_get_width(w)) +
                    " of " + std::to_string(natural) + " px)");
  }
  return out;
}

// Whether a table's content fits its scrolled window's width, or else its
// horizontal scroll bar is drawn for good (not an overlay) inside the
// window's bounds.
std::string width_problem(GtkWidget* table, GtkWidget* window) {
  GtkWidget* scrolled = gtk_widget_get_ancestor(table, GTK_TYPE_SCROLLED_WINDOW);
  if (!scrolled) return "no scrolled window";
  GtkAdjustment* h = gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(scrolled));
  // A table that never scrolls down shows every row.
  GtkPolicyType across, down;
  gtk_scrolled_window_get_policy(GTK_SCROLLED_WINDOW(scrolled), &across, &down);
  if (down == GTK_POLICY_NEVER) {
    GtkWidget* bar = across == GTK_POLICY_EXTERNAL ? nullptr : gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(scrolled));
    graphene_rect_t r, b;
    const double bottom = bar && gtk_widget_get_mapped(bar) && gtk_widget_compute_bounds(bar, scrolled, &b)
                              ? b.origin.y
                              : gtk_widget_get_height(scrolled);
    std::vector<GtkWidget*> all;
    trellan::testing::all_widgets(table, all);
    for (GtkWidget* w : all)
      if (GTK_IS_LABEL(w) && gtk_widget_get_mapped(w) && gtk_widget_compute_bounds(w, scrolled, &r) &&
          r.origin.y + r.size.height > bottom + 0.5)
        return std::string("“") + gtk_label_get_text(GTK_LABEL(w)) + "” below the table's view";
  }
  if (gtk_adjustment_get_upper(h) <= gtk_adjustment_get_page_size(h) + 0.5) return "";
  // Its bar: the scrolled window's own, or one of its own beside it.
  GtkWidget* bar = across == GTK_POLICY_EXTERNAL ? find_widget(window, [&](GtkWidget* w) {
    return GTK_IS_SCROLLBAR(w) && gtk_widget_get_mapped(w) && gtk_scrollbar_get_adjustment(GTK_SCROLLBAR(w)) == h;
  }) : gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(scrolled));
  if (across != GTK_POLICY_EXTERNAL && gtk_scrolled_window_get_overlay_scrolling(GTK_SCROLLED_WINDOW(scrolled)))
    return "wider than its view, its scroll bar an overlay";
  // The page scrolled as a person would to read the table: its top at the
  // top of the page's view.
  graphene_rect_t r;
  if (GtkWidget* page = gtk_widget_get_ancestor(gtk_widget_get_parent(scrolled), GTK_TYPE_SCROLLED_WINDOW)) {
    GtkAdjustment* v = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(page));
    if (gtk_widget_compute_bounds(scrolled, page, &r))
      gtk_adjustment_set_value(v, gtk_adjustment_get_value(v) + r.origin.y);
    trellan::testing::pump_for(0.3);
  }
  if (!bar || !gtk_widget_get_mapped(bar) || !gtk_widget_compute_bounds(bar, window, &r) ||
      r.origin.y + r.size.height > gtk_widget_get_height(window) + 0.5)
    return "wider than its view, its scroll bar out of sight";
  return "";
}

}  // namespace

// At the default size and two larger ones, the table of readings and the
// comparison table show each figure whole, or scroll with a scroll bar a
// person can see.
TEST_F(RunsPageTest, TablesShowEveryFigureWholeOrAVisibleScrollBarAtThreeSizes) {
  for (int r = 0; r < 2; ++r) {
    const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 3 s");
    std::vector<IntervalLatency> per_interval(3);
    for (int i = 0; i < 3; ++i) {
      const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
      log->add_interval(id, send_interval(start.c_str(), end.c_str(), 19800.5 + 100 * r + i, "2.31 GBytes", 1234));
      per_interval[i].median_ms = 0.0443 + i;
      per_interval[i].lost = 12;
    }
    LatencyFigures figures;
    figures.idle_ms = 0.0312;
    figures.loaded_median_ms = 1.0443;
    figures.loaded_p95_ms = 2.0443;
    figures.loaded_max_ms = 2.0443;
    figures.sent = 30;
    figures.lost = 36;
    RunLatency latency;
    latency.records = per_interval;
    latency.ended = true;
    latency.text = "Latency: 0.031 ms idle, 1.0 ms under load";
    latency.figures = figures;
    log->update_latency(id, latency);
    log->end(id, RunEnd::Result, "Result — send: 19.80 Gbit/s", "6.93 GBytes · 3702 retransmits");
  }
  open_runs();
  GtkListBox* list = run_list();
  ASSERT_TRUE(pump_until([&] { return gtk_list_box_get_row_at_index(list, 1) && gtk_widget_get_mapped(GTK_WIDGET(list)); }));
  for (int i : {0, 1}) {
    GtkWidget* box = find_widget(GTK_WIDGET(gtk_list_box_get_row_at_index(list, i)),
                                 [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
    ASSERT_NE(box, nullptr);
    gtk_check_button_set_active(GTK_CHECK_BUTTON(box), TRUE);
  }
  for (const auto& [width, height] : {std::pair{560, 680}, std::pair{1280, 1024}, std::pair{1920, 1080}}) {
    SCOPED_TRACE(std::to_string(width) + "×" + std::to_string(height));
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);
    ASSERT_TRUE(pump_until([&] {
      return std::abs(gtk_widget_get_width(win()) - width) < 30 && std::abs(gtk_widget_get_height(win()) - height) < 30;
    }, 10)) << gtk_widget_get_width(win()) << "×" << gtk_widget_get_height(win());
    pump_for(0.5);
    // The chosen run's table, then the comparison's, each on its tab.
    GtkWidget* tabs = find_widget(page, [](GtkWidget* w) {
      return GTK_IS_STACK(w) && gtk_stack_get_child_by_name(GTK_STACK(w), "compare");
    });
    ASSERT_NE(tabs, nullptr);
    for (const char* tab : {"run", "compare"}) {
      SCOPED_TRACE(tab);
      gtk_stack_set_visible_child_name(GTK_STACK(tabs), tab);
      GtkWidget* table = nullptr;
      ASSERT_TRUE(pump_until([&] {
        table = find_widget(page, [](GtkWidget* w) {
          return gtk_widget_get_mapped(w) && (GTK_IS_COLUMN_VIEW(w) || gtk_accessible_get_accessible_role(
                                                                           GTK_ACCESSIBLE(w)) == GTK_ACCESSIBLE_ROLE_TABLE);
        });
        return table != nullptr;
      }, 5));
      pump_for(0.3);
      EXPECT_EQ(cut_labels(table), std::vector<std::string>());
      EXPECT_EQ(width_problem(table, win()), "");
      EXPECT_TRUE(save_window_png(win(), shot_path("tables-" + std::to_string(width) + "-" + tab + ".png")));
    }
  }
}

TEST_F(RunsPageTest, TheTableFollowsALiveRunWhileItsEndIsInView) {
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 300 s");
  open_runs();
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  GtkAdjustment* a = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
  auto end_in_view = [&] {
    return gtk_adjustment_get_upper(a) > gtk_adjustment_get_page_size(a) &&
           gtk_adjustment_get_value(a) + gtk_adjustment_get_page_size(a) >= gtk_adjustment_get_upper(a) - 1;
  };
  auto add = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
      log->add_interval(id, send_interval(start.c_str(), end.c_str(), 942, "112 MBytes", 0));
      pump_for(0.02);
    }
  };
  add(0, 60);
  EXPECT_TRUE(pump_until(end_in_view, 5)) << gtk_adjustment_get_value(a) << " of " << gtk_adjustment_get_upper(a);
  EXPECT_TRUE(pump_until([&] { return missing(page, {"59.00–60.00 s"}).empty(); }, 5));

  // Scrolled back, the reader stays where they are.
  gtk_adjustment_set_value(a, 0);
  pump_for(0.2);
  add(60, 80);
  pump_for(0.3);
  EXPECT_EQ(gtk_adjustment_get_value(a), 0);
}

// Two ended runs of 300 readings each: the table's rows, made for one, are
// bound again to the other when it is chosen, and none keeps a reading of
// the run shown before.
TEST_F(RunsPageTest, ALongRunChosenAfterAnotherShowsOnlyItsOwnReadings) {
  const auto long_run = [&](const char* transfer) {
    const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 300 s");
    for (int i = 0; i < 300; ++i) {
      const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
      log->add_interval(id, send_interval(start.c_str(), end.c_str(), 942, transfer, 0));
    }
    log->end(id, RunEnd::Stopped);
  };
  long_run("111 MBytes");
  long_run("222 MBytes");  // the newest: shown first
  open_runs();
  GtkWidget* view = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  ASSERT_NE(view, nullptr);
  // The transfers the table's rows in sight show.
  const auto transfers = [&] {
    std::vector<std::string> seen;
    std::vector<GtkWidget*> todo = {view};
    while (!todo.empty()) {
      GtkWidget* w = todo.back();
      todo.pop_back();
      if (GTK_IS_LABEL(w) && gtk_widget_get_mapped(w) && g_str_has_suffix(gtk_label_get_text(GTK_LABEL(w)), "MBytes"))
        seen.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
      for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) todo.push_back(c);
    }
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  const auto only = [&](const std::string& transfer) {
    const auto seen = transfers();
    return seen.size() >= 5 && seen.front() == transfer && seen.back() == transfer &&
           gtk_widget_get_opacity(view) == 1.0;
  };
  EXPECT_TRUE(pump_until([&] { return only("222 MBytes"); }, 10)) << ::testing::PrintToString(transfers());
  GtkListBox* list = GTK_LIST_BOX(find_widget(page, [](GtkWidget* w) { return GTK_IS_LIST_BOX(w); }));
  g_signal_emit_by_name(gtk_list_box_get_row_at_index(list, 1), "activate");
  EXPECT_TRUE(pump_until([&] { return only("111 MBytes"); }, 10)) << ::testing::PrintToString(transfers());
  g_signal_emit_by_name(gtk_list_box_get_row_at_index(list, 0), "activate");
  EXPECT_TRUE(pump_until([&] { return only("222 MBytes"); }, 10)) << ::testing::PrintToString(transfers());
  pump_for(0.5);  // the rows that join a few a frame have all joined
  EXPECT_TRUE(only("222 MBytes")) << ::testing::PrintToString(transfers());
}

TRELLAN_GTK_TEST_MAIN()
