// The Runs page's list and table as a keyboard user, a pasting program and
// a screen reader meet them: focus that moves without choosing, a copy of a
// long run that another program reads while the window keeps answering, and
// a hidden page that leaves the accessible tree alone until it is shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "runs_page_fixture.hpp"

using namespace trellan;
using namespace trellan::testing;

namespace {

// Three ended client runs a minute apart, each with one reading of its own.
struct ThreeRuns : RunsPageTest {
  std::uint64_t ids[3] = {};
  void SetUp() override {
    RunsPageTest::SetUp();
    const double rates[3] = {111, 222, 333};
    const char* transfers[3] = {"13.2 MBytes", "26.5 MBytes", "39.7 MBytes"};
    for (int i = 0; i < 3; ++i) {
      GDateTime* start = g_date_time_new_local(2026, 3, 14, 9, 26 + i, 53);
      const auto started = std::chrono::system_clock::from_time_t(g_date_time_to_unix(start));
      g_date_time_unref(start);
      ids[i] = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 1 s", started);
      log->add_interval(ids[i], send_reading("0.00", "1.00", rates[i], transfers[i], static_cast<std::uint64_t>(i)));
      log->end(ids[i], RunEnd::Stopped);
    }
    open_runs();
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(run_list())); }));
  }
  GtkWidget* focus() const { return gtk_root_get_focus(GTK_ROOT(window)); }
  GtkListBoxRow* row(int i) const { return gtk_list_box_get_row_at_index(run_list(), i); }
  // What the arrow keys, Space and Tab do.
  void arrow(int count) {
    GSignalQuery q;
    g_signal_query(g_signal_lookup("move-cursor", GTK_TYPE_LIST_BOX), &q);
    ASSERT_EQ(q.n_params, 4u);
    g_signal_emit_by_name(run_list(), "move-cursor", GTK_MOVEMENT_DISPLAY_LINES, count, FALSE, FALSE);
  }
  void space() { g_signal_emit_by_name(run_list(), "activate-cursor-row"); }
  void tab() { g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD); }
};

std::string accessible_label_problem(GtkWidget* w, const char* label) {
  char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, label);
  std::string out = differs ? differs : "";
  g_free(differs);
  return out;
}

}  // namespace

TEST_F(ThreeRuns, FocusMovesThroughTheListWithoutChoosingAndTheChosenRunIsTheOneCopied) {
  // Each row says which run it is, not only where it went.
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(0)), "Client — 127.0.0.1, port 5201, 09:28:53, Stopped"), "");
  EXPECT_EQ(accessible_label_problem(GTK_WIDGET(row(2)), "Client — 127.0.0.1, port 5201, 09:26:53, Stopped"), "");

  // Space on the oldest row chooses it; arrows up to the newest move focus
  // only; Space there chooses the newest.
  EXPECT_EQ(chosen_row(), row(0));
  gtk_widget_grab_focus(GTK_WIDGET(row(2)));
  space();
  EXPECT_EQ(chosen_row(), row(2));
  EXPECT_TRUE(pump_until([&] { return missing(page, {"111.0 Mbit/s"}).empty(); }, 5));
  arrow(-2);
  EXPECT_EQ(focus(), GTK_WIDGET(row(0)));
  EXPECT_EQ(chosen_row(), row(2));
  space();
  EXPECT_EQ(chosen_row(), row(0));

  // Tab on to "Copy as CSV": the focus passes the other rows and leaves the
  // newest run chosen.
  GtkWidget* copy = button_labelled(page, "Copy as CSV");
  std::vector<std::string> passed;
  for (int i = 0; i < 30 && focus() != copy; ++i) {
    tab();
    passed.push_back(focus() ? G_OBJECT_TYPE_NAME(focus()) : "(none)");
    EXPECT_EQ(chosen_row(), row(0)) << "after Tab " << i + 1 << " on " << passed.back();
  }
  ASSERT_EQ(focus(), copy) << ::testing::PrintToString(passed);
  EXPECT_GE(passed.size(), 3u);  // the two other rows at least
  gtk_widget_activate(copy);
  EXPECT_EQ(clipboard_text(win()),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted\n"
            "0.00,1.00,send,333.000,39.7 MBytes,2,,,,no\n");
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
    log->add_interval(id, send_reading(start.c_str(), end.c_str(), 942, "112 MBytes", 0));
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
  EXPECT_EQ(paste.text.size(), 977'873u);
  EXPECT_EQ(lines_in(paste.text), 20'001u);
  EXPECT_EQ(paste.text.substr(0, 131),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted\n"
            "0.00,1.00,send,942.000,112 MBytes,0,,,,no\n");
  EXPECT_EQ(paste.text.substr(paste.text.size() - 50), "19999.00,20000.00,send,942.000,112 MBytes,0,,,,no\n");
  // A second, the most a turn of the loop may take on a busy machine; a
  // window that hangs never takes its next turn.
  EXPECT_LT(paste.longest_stall_us, 1'000'000);
  std::printf("xclip read %zu bytes; longest stall of the main loop: %.1f ms\n", paste.text.size(),
              paste.longest_stall_us / 1000.0);

  // The window answers: another run shows at once.
  log->begin(RunPage::Server, "192.0.2.7", "TCP");
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Server — client 192.0.2.7"}).empty(); }, 5));
}

TEST_F(RunsPageTest, AHiddenPageLeavesTheAccessibleTreeAloneUntilItIsShown) {
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 50 s");
  log->add_interval(id, send_reading("0.00", "1.00", 942, "112 MBytes", 0));
  pump_for(0.3);
  const std::size_t before = accessible_count(page);
  for (int i = 1; i < 50; ++i) {
    const std::string start = std::to_string(i) + ".00", end = std::to_string(i + 1) + ".00";
    log->add_interval(id, send_reading(start.c_str(), end.c_str(), 900 + i, "112 MBytes", 0));
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
  std::printf("accessible objects under the Runs page: %zu hidden, %zu shown with 50 readings\n", before,
              accessible_count(page));
}

TRELLAN_GTK_TEST_MAIN()
