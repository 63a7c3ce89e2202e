// A link check on the Runs page: its runs make one row named by the check
// with its grade; choosing it shows the check's summary (its figures told
// to a screen reader), its copies, and its phases one by one, by keyboard
// too. The check's runs are built from records; figures written by hand.
#include <string>

#include "core/run_words.hpp"
#include "runs_page_fixture.hpp"

namespace trellan {
namespace {

using namespace testing;

const auto kStart = std::chrono::system_clock::from_time_t(1797000000);

RunRecord phase_run(LinkPhase phase, double down, double up, double loaded_ms, int offset_s, double rate,
                    const char* check = "check-1") {
  RunRecord r;
  r.started = kStart + std::chrono::seconds(offset_s);
  r.far_end = "192.0.2.7, port 5201";
  r.options_summary = phase == LinkPhase::Download ? "TCP · reverse · 2 s" : "TCP · 2 s";
  r.facts.protocol = "TCP";
  r.facts.link_check = LinkCheckMark{check, phase, 0.052, LinkGrade::D};
  r.end = RunEnd::Result;
  r.result_text = "Result — " + std::to_string(static_cast<int>(rate));
  for (const char* at : {"0.00", "1.00"}) {
    IntervalRecord i = send_interval(at, at[0] == '0' ? "1.00" : "2.00", rate, "2.2 MBytes", 0);
    r.intervals.push_back(i);
  }
  SummaryDetails s;
  s.bidirectional = phase == LinkPhase::Both;
  s.tx.receiver_mbps = phase == LinkPhase::Download ? down : up;
  s.tx.retransmits = 3;
  if (phase == LinkPhase::Both) s.rx.receiver_mbps = down;
  r.summary = s;
  LatencyFigures l;
  l.idle_ms = 0.052;
  l.idle_replied = true;
  l.idle_sent = 25;
  l.loaded_median_ms = l.loaded_p95_ms = l.loaded_max_ms = loaded_ms;
  l.sent = 20;
  r.latency = l;
  r.interval_latency = {{loaded_ms, 0}, {loaded_ms, 0}};
  r.probes = {{0.5f, static_cast<float>(loaded_ms)}, {1.5f, static_cast<float>(loaded_ms)}};
  return r;
}

struct LinkCheckRows : RunsPageTest {
  std::uint64_t plain = 0, down = 0, up = 0, both = 0;
  void SetUp() override {
    RunsPageTest::SetUp();
    RunRecord other = phase_run(LinkPhase::Upload, 0, 0, 1, -100, 940);
    other.facts.link_check.reset();
    other.far_end = "127.0.0.1, port 5201";
    plain = log->adopt(other);
    down = log->adopt(phase_run(LinkPhase::Download, 18.93, 0, 310, 0, 18));
    up = log->adopt(phase_run(LinkPhase::Upload, 0, 19.1, 290.4, 15, 19));
    both = log->adopt(phase_run(LinkPhase::Both, 9.6, 9.4, 604, 30, 9));
    open_runs();
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(run_list())); }));
  }
  std::vector<GtkListBoxRow*> shown_rows() const {
    std::vector<GtkListBoxRow*> out;
    for (int i = 0; GtkListBoxRow* row = gtk_list_box_get_row_at_index(run_list(), i); ++i)
      if (gtk_widget_get_visible(GTK_WIDGET(row))) out.push_back(row);
    return out;
  }
  GtkWidget* labelled(const char* name) const {
    return find_widget(page, [&](GtkWidget* w) {
      char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, name);
      const bool same = differs == nullptr && gtk_widget_get_mapped(w);
      g_free(differs);
      return same;
    });
  }
  std::string property_problem(GtkWidget* w, GtkAccessibleProperty property, const std::string& text) const {
    char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), property, text.c_str());
    std::string out = differs ? differs : "";
    g_free(differs);
    return out;
  }
  GtkWidget* focus() const { return gtk_root_get_focus(GTK_ROOT(window)); }
  void tab() { g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD); }
};

TEST_F(LinkCheckRows, ACheckIsOneRowWithItsGradeAndItsSummaryTellsAndCopiesItsFigures) {
  // Two rows: the run of its own and the check, newest first.
  ASSERT_TRUE(pump_until([&] { return shown_rows().size() == 2; })) << shown_rows().size();
  GtkListBoxRow* check = shown_rows()[0];
  EXPECT_EQ(row_title(check), "Link check — 192.0.2.7, port 5201");
  const std::string at = local_time(kStart, "%H:%M:%S");
  EXPECT_EQ(row_subtitle_of(check), at + "\ndownload 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D");
  EXPECT_EQ(property_problem(GTK_WIDGET(check), GTK_ACCESSIBLE_PROPERTY_LABEL,
                             "Link check — 192.0.2.7, port 5201, " + at +
                                 ", download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D"),
            "");

  // The newest run opened is the check's last phase: the check's row is
  // the chosen one, and its summary is shown.
  ASSERT_TRUE(pump_until([&] { return chosen_row() == check; }));
  GtkWidget* summary = labelled("Link check summary");
  ASSERT_NE(summary, nullptr);
  EXPECT_EQ(property_problem(summary, GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                             "Download 18.9 Mbit/s, upload 19.1 Mbit/s. Latency 0.052 ms idle, 310 ms downloading, "
                             "290 ms uploading, 604 ms both ways. Bufferbloat grade D: calls and games will break up "
                             "while the link is busy."),
            "");
  save_window_png(win(), shot_path("link-check-summary.png"));  // to look at; not checked
  EXPECT_EQ(missing(page, {"Link check — 192.0.2.7, port 5201",
                           "download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D",
                           "Grade D: calls and games will break up while the link is busy (from ICMP ping probes).",
                           "Copy link check as text", "Copy link check as CSV"}),
            std::vector<std::string>{});

  const auto stamp = [](int s) { return local_time(kStart + std::chrono::seconds(s), "%Y-%m-%dT%H:%M:%S%:z"); };
  EXPECT_EQ(copied_by(button_labelled(page, "Copy link check as CSV")),
            "phase,started,download_mbit_s,upload_mbit_s,retransmits,latency_idle_ms,latency_loaded_ms,added_ms,"
            "probes_sent,probes_lost\n"
            "download," + stamp(0) + ",18.93,,3,0.052,310,310,20,0\n"
            "upload," + stamp(15) + ",,19.10,3,0.052,290,290,20,0\n"
            "both," + stamp(30) + ",9.60,9.40,3,0.052,604,604,20,0\n");
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Copied the link check as CSV"}).empty(); }, 5));
  const std::string text = copied_by(button_labelled(page, "Copy link check as text"));
  EXPECT_TRUE(text.starts_with("Link check — 192.0.2.7, port 5201\nStarted ")) << text;
  EXPECT_NE(text.find("\nLink check — download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D\nLatency: 0.052 "
                      "ms idle; +310 ms downloading, +290 ms uploading, +604 ms both ways\nGrade D: "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nBoth ways ("), std::string::npos) << text;

  // The run of its own is still a run of its own.
  GtkListBoxRow* own = shown_rows()[1];
  g_signal_emit_by_name(run_list(), "row-activated", own);
  ASSERT_TRUE(pump_until([&] { return chosen_row() == own; }));
  EXPECT_FALSE(gtk_widget_get_mapped(summary)) << "no check, no summary";
  EXPECT_EQ(row_title(own), "Client — 127.0.0.1, port 5201");
}

TEST_F(LinkCheckRows, ThePhasesAreReachedByTabFromTheCheckAndEachShowsItsOwnRun) {
  ASSERT_TRUE(pump_until([&] { return shown_rows().size() == 2; }));
  GtkListBoxRow* check = shown_rows()[0];
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(pump_until([&] { return gtk_window_is_active(GTK_WINDOW(window)) && chosen_row() == check; }));
  // Choosing the check's row shows its download phase.
  g_signal_emit_by_name(run_list(), "row-activated", check);
  GtkWidget* download = labelled("Download phase");
  GtkWidget* upload = labelled("Upload phase");
  ASSERT_NE(download, nullptr);
  ASSERT_NE(upload, nullptr);
  ASSERT_TRUE(pump_until([&] { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(download)); }));
  EXPECT_EQ(missing(page, {"Result — 18"}), std::vector<std::string>{});

  // The list is one stop, its hidden phase rows none: Down from the check
  // lands on the run of its own.
  gtk_widget_grab_focus(GTK_WIDGET(check));
  g_signal_emit_by_name(run_list(), "move-cursor", GTK_MOVEMENT_DISPLAY_LINES, 1, FALSE, FALSE);
  EXPECT_EQ(focus(), GTK_WIDGET(shown_rows()[1]));
  // Tab goes by where things are laid out (GTK 4.10 and later skip what has
  // no size yet): the phases are waited for on screen, as a person sees them.
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_width(upload) > 0; }));
  gtk_widget_grab_focus(GTK_WIDGET(check));
  int presses = 0;
  for (; presses < 30 && focus() != upload; ++presses) {
    tab();
    ASSERT_TRUE(focus() == nullptr || !gtk_widget_is_ancestor(focus(), GTK_WIDGET(run_list())) ||
                gtk_widget_get_visible(gtk_widget_get_ancestor(focus(), GTK_TYPE_LIST_BOX_ROW)));
  }
  ASSERT_EQ(focus(), upload) << "after " << presses << " presses";
  std::printf("Tab presses from the check's row to its upload phase: %d\n", presses);
  gtk_widget_activate(upload);
  ASSERT_TRUE(pump_until([&] { return missing(page, {"Result — 19"}).empty(); }));
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(upload)));
  EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(download)));
  EXPECT_EQ(chosen_row(), check) << "the check's row stays the chosen one";
  EXPECT_EQ(property_problem(GTK_WIDGET(upload), GTK_ACCESSIBLE_PROPERTY_LABEL, "Upload phase"), "");
  char* pressed = gtk_test_accessible_check_state(GTK_ACCESSIBLE(upload), GTK_ACCESSIBLE_STATE_PRESSED,
                                                  GTK_ACCESSIBLE_TRISTATE_TRUE);
  EXPECT_EQ(pressed, nullptr) << pressed;
  g_free(pressed);
  // Its chart, table and latency plot are the phase's own.
  EXPECT_NE(chart(), nullptr);
  GtkWidget* plot = labelled("Latency over time");
  ASSERT_NE(plot, nullptr);
  char* problem = gtk_test_accessible_check_property(GTK_ACCESSIBLE(plot), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, "");
  // The check's message carries the description there is: the upload's
  // replies (290.4 ms), not the download's (310 ms).
  ASSERT_NE(problem, nullptr) << "the phase's latency plot is described";
  EXPECT_NE(std::string(problem).find("2 replies from 290 to 290 ms"), std::string::npos) << problem;
  g_free(problem);
}

// A check after a router change: twice the rates of the first, an hour on.
TEST_F(LinkCheckRows, TwoChecksMarkedToCompareAreComparedPhaseByPhase) {
  for (auto [phase, rate] : {std::pair{LinkPhase::Download, 36.0}, {LinkPhase::Upload, 38.0}, {LinkPhase::Both, 18.0}})
    log->adopt(phase_run(phase, rate, rate, 20, 3600 + static_cast<int>(phase) * 15, rate, "check-2"));
  ASSERT_TRUE(pump_until([&] { return shown_rows().size() == 3; })) << shown_rows().size();
  for (GtkListBoxRow* row : {shown_rows()[0], shown_rows()[1]}) {
    ASSERT_EQ(row_title(row), "Link check — 192.0.2.7, port 5201");
    GtkWidget* box = find_widget(GTK_WIDGET(row), [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
    ASSERT_NE(box, nullptr);
    gtk_check_button_set_active(GTK_CHECK_BUTTON(box), TRUE);
  }
  GtkWidget* downloads = labelled("Compare the download phases");
  ASSERT_NE(downloads, nullptr) << "the phases are offered once two checks are marked";
  // The second check's download against the first's: iperf3's receiver
  // figures 36.0 and 18.93 Mbit/s, 90.2 % more; the first's latency under
  // load 310 ms, the second's 20.
  // The comparison's cells as a screen reader names them.
  const auto cells = [&] {
    std::vector<Node> tree;
    walk(GTK_ACCESSIBLE(page), "", tree);
    std::vector<std::string> out;
    for (const Node& n : tree)
      if (n.reachable() && n.role == GTK_ACCESSIBLE_ROLE_CELL)
        out.push_back(property_text(n.accessible, GTK_ACCESSIBLE_PROPERTY_LABEL));
    return out;
  };
  const auto shown = [&](std::vector<std::string> names) {
    return pump_until([&] {
      const auto now = cells();
      for (const auto& n : names)
        if (!has(now, n)) return false;
      return true;
    }, 5);
  };
  EXPECT_TRUE(shown({"Receive: 36.0 Mbit/s", "Change in receive: +90.2 %", "Loaded latency: 310 ms",
                     "Loaded latency: 20 ms"}))
      << ::testing::PrintToString(cells());
  GtkWidget* uploads = labelled("Compare the upload phases");
  ASSERT_NE(uploads, nullptr);
  gtk_widget_activate(uploads);
  // Upload against upload: 38.0 against 19.1 Mbit/s, 99.0 % more.
  EXPECT_TRUE(shown({"Receive: 38.0 Mbit/s", "Change in receive: +99.0 %", "Loaded latency: 290 ms"}))
      << ::testing::PrintToString(cells());
  EXPECT_FALSE(has(cells(), "Loaded latency: 310 ms")) << "no download in the upload's comparison";

  // A run of its own marked beside them: the runs themselves are compared.
  GtkWidget* own = find_widget(GTK_WIDGET(shown_rows()[2]), [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
  gtk_check_button_set_active(GTK_CHECK_BUTTON(own), TRUE);
  EXPECT_TRUE(pump_until([&] { return !gtk_widget_get_mapped(uploads); }, 5)) << "no phases to choose";
}

}  // namespace
}  // namespace trellan

TRELLAN_GTK_TEST_MAIN()
