// The comparison view in a window, as a user and a screen reader meet it:
// two runs of real iperf3 output compared, the comparison copied as CSV,
// the table a real table whose every part is named by its text. Runs with
// GTK's test accessibility backend; saves pictures of the view in light and
// dark at a narrow and a wide size.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "captures.hpp"
#include "core/output_parser.hpp"
#include "file_chooser.hpp"
#include "latency_figures.hpp"
#include "runs_page_fixture.hpp"
#include "ui/compare_view.hpp"

using namespace trellan;
using namespace trellan::testing;

namespace {

std::shared_ptr<const RunRecord> captured_run(const std::string& capture, int minute) {
  OutputParser parser(false);
  auto run = std::make_shared<RunRecord>();
  for (const std::string& line : capture_lines(capture))
    for (auto& ev : parser.feed_line(line))
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) run->intervals.push_back(std::move(*i->record));
  run->page = RunPage::Client;
  run->far_end = "127.0.0.1, port 5201";
  using namespace std::chrono;
  run->started = sys_days{year{2026} / 12 / 7} + hours{16} + minutes{minute} + seconds{minute == 40 ? 12 : 0};
  run->command = {"iperf3", "-c", "127.0.0.1", "-t", "3"};
  run->end = RunEnd::Result;
  return run;
}

// The view's plot a screen reader knows by `name`.
GtkWidget* plot_named(GtkWidget* view, const char* name) {
  return find_widget(view, [&](GtkWidget* w) {
    if (!GTK_IS_DRAWING_AREA(w)) return false;
    char* differs = gtk_test_accessible_check_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, name);
    g_free(differs);
    return differs == nullptr;
  });
}

struct Shown {
  GtkWidget* window;
  GtkWidget* view;
};

Shown show_view(std::vector<std::shared_ptr<const RunRecord>> runs, int width, int height) {
  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), width, height);
  GtkWidget* view = compare_view_new();
  gtk_widget_set_margin_start(view, 12);
  gtk_widget_set_margin_end(view, 12);
  gtk_widget_set_margin_top(view, 12);
  gtk_widget_set_margin_bottom(view, 12);
  gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(g_object_new(GTK_TYPE_SCROLLED_WINDOW, "child", view,
                                                                   "hscrollbar-policy", GTK_POLICY_NEVER, nullptr)));
  compare_view_set_runs(view, std::move(runs));
  gtk_window_present(GTK_WINDOW(window));
  EXPECT_TRUE(pump_until([&] { return gtk_widget_get_mapped(view) && gtk_widget_get_width(window) >= width; }, 5));
  pump_for(0.3);
  return {window, view};
}

}  // namespace

TEST(CompareView, TwoRunsShowAsATableAndCopyingTheComparisonPutsItsCsvOnTheClipboard) {
  ASSERT_STREQ(g_getenv("GTK_A11Y"), "test");
  setenv("TZ", "UTC", 1);
  tzset();
  // 14.8, 16.5 and 9.02 Gbit/s, 1 retransmit; then 8.04, 9.15 and 8.81
  // Gbit/s, 58 retransmits.
  const Shown s = show_view({captured_run("iperf3-3.12/tcp-client.txt", 40),
                             captured_run("iperf3-3.12/tuned-client.txt", 45)},
                            800, 900);
  const std::vector<std::string> wanted = {"Comparing 2 runs", "Run", "Protocol", "Send", "Change", "Retransmits",
                                           "13.44 Gbit/s", "8.67 Gbit/s", "−35.5 %", "58",
                                           "Copy comparison as CSV", "Copy comparison as text",
                                           "Save chart as image…"};
  EXPECT_TRUE(missing(s.view, wanted).empty()) << ::testing::PrintToString(missing(s.view, wanted));
  // The distributions are described as the chart is: each run's range
  // and median (the three rates above, sorted).
  EXPECT_EQ(trellan::testing::property_text(GTK_ACCESSIBLE(plot_named(s.view, "Distribution of one-second rates")),
                                            GTK_ACCESSIBLE_PROPERTY_DESCRIPTION),
            "Share of each run's one-second rates up to each rate: run 1 from 9.02 Gbit/s to 16.50 Gbit/s, "
            "median 14.80 Gbit/s (3 seconds); run 2 from 8.04 Gbit/s to 9.15 Gbit/s, median 8.81 Gbit/s "
            "(3 seconds).");
  EXPECT_EQ(trellan::testing::property_text(GTK_ACCESSIBLE(plot_named(s.view, "Distribution of latency under load")),
                                            GTK_ACCESSIBLE_PROPERTY_DESCRIPTION),
            "Share of each run's answered probes under load up to each round-trip time: run 1 has no answered "
            "probe; run 2 has no answered probe.");
  // Neither run measured latency: no latency plot.
  ASSERT_NE(plot_named(s.view, "Latency over time"), nullptr);
  EXPECT_FALSE(gtk_widget_get_visible(plot_named(s.view, "Latency over time")));

  // A table of rows of cells, each named by its text or, for a row, by the
  // sentence that says its run; nothing reachable is left to be named after
  // its type.
  std::vector<Node> tree;
  walk(GTK_ACCESSIBLE(s.view), "", tree);
  int tables = 0, rows = 0, headers = 0, cells = 0;
  for (const Node& n : tree) {
    if (!n.reachable()) continue;
    switch (n.role) {
      case GTK_ACCESSIBLE_ROLE_TABLE: ++tables; break;
      case GTK_ACCESSIBLE_ROLE_ROW: ++rows; break;
      case GTK_ACCESSIBLE_ROLE_COLUMN_HEADER: ++headers; break;
      case GTK_ACCESSIBLE_ROLE_CELL: ++cells; break;
      default: continue;
    }
    EXPECT_TRUE(gtk_test_accessible_has_property(n.accessible, GTK_ACCESSIBLE_PROPERTY_LABEL))
        << G_OBJECT_TYPE_NAME(n.accessible) << " with role " << role_name(n.role) << " has no name";
  }
  EXPECT_EQ(tables, 1);
  EXPECT_EQ(rows, 3) << "the column titles and a row per run";
  // Run, Protocol, Streams, Duration, Send, Change, Retransmits.
  EXPECT_EQ(headers, 7);
  EXPECT_EQ(cells, 2 * 7);
  // Headers say what their column is of; the cells of run 2 say their column.
  std::vector<std::string> header_names, run_2;
  for (const Node& n : tree) {
    if (n.role == GTK_ACCESSIBLE_ROLE_COLUMN_HEADER)
      header_names.push_back(trellan::testing::property_text(n.accessible, GTK_ACCESSIBLE_PROPERTY_LABEL));
    if (n.role == GTK_ACCESSIBLE_ROLE_CELL && run_2.size() < 14)
      run_2.push_back(trellan::testing::property_text(n.accessible, GTK_ACCESSIBLE_PROPERTY_LABEL));
  }
  EXPECT_EQ(header_names, (std::vector<std::string>{"Run", "Protocol", "Streams", "Duration", "Send",
                                                    "Change in send", "Retransmits"}));
  run_2.erase(run_2.begin(), run_2.begin() + 8);  // past run 1 and run 2's number
  EXPECT_EQ(run_2, (std::vector<std::string>{"Protocol: TCP", "Streams: 1", "Duration: 3.00 s", "Send: 8.67 Gbit/s",
                                             "Change in send: −35.5 %", "Retransmits: 58"}));
  const GtkWidget* table = find_widget(s.view, [](GtkWidget* w) {
    return gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(w)) == GTK_ACCESSIBLE_ROLE_TABLE;
  });
  ASSERT_NE(table, nullptr);
  GtkWidget* second = gtk_widget_get_next_sibling(gtk_widget_get_next_sibling(gtk_widget_get_first_child(
      const_cast<GtkWidget*>(table))));
  char* differs = gtk_test_accessible_check_property(
      GTK_ACCESSIBLE(second), GTK_ACCESSIBLE_PROPERTY_LABEL,
      "Run 2, Client — 127.0.0.1, port 5201 · 16:45:00: TCP, 1 stream, 3.0 s; send 8.67 Gbit/s, 35.5 % less "
      "than run 1; 58 retransmits.");
  EXPECT_EQ(differs, nullptr) << differs;
  g_free(differs);

  GdkClipboard* clipboard = gtk_widget_get_clipboard(s.window);
  GdkContentProvider* before = gdk_clipboard_get_content(clipboard);
  GtkWidget* copy = button_labelled(s.view, "Copy comparison as CSV");
  ASSERT_NE(copy, nullptr);
  g_signal_emit_by_name(copy, "clicked");
  ASSERT_TRUE(pump_until([&] { return gdk_clipboard_get_content(clipboard) != before; }, 5));
  EXPECT_EQ(clipboard_text(s.window),
            "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
            "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n"
            "\"Client — 127.0.0.1, port 5201 · 16:40:12\",2026-12-07T16:40:12+00:00,TCP,1,3.00,13440.000,,1,,,,,\n"
            "\"Client — 127.0.0.1, port 5201 · 16:45:00\",2026-12-07T16:45:00+00:00,TCP,1,3.00,8666.667,,58,,,,"
            "-35.5,\n");
  gtk_window_destroy(GTK_WINDOW(s.window));
  pump_for(0.2);
}

TEST(CompareView, TheChartIsSavedAsSvgOrPngAsTheNameAsks) {
  // GTK's file chooser files what it saves among the recent files of the
  // program by name.
  g_set_prgname("test-compare-view");
  g_set_application_name("Trellan tests");
  setenv("TZ", "UTC", 1);
  tzset();
  const Shown s = show_view({captured_run("iperf3-3.12/tcp-client.txt", 40),
                             captured_run("iperf3-3.12/tuned-client.txt", 45)},
                            800, 900);
  // The chooser opens in the current folder: a fresh one.
  char tmpl[] = "/tmp/trellan-compare-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  gchar* previous = g_get_current_dir();
  ASSERT_EQ(g_chdir(dir.c_str()), 0);
  for (const char* name : {"chart.svg", "chart.png"}) {
    g_signal_emit_by_name(button_labelled(s.view, "Save chart as image…"), "clicked");
    GtkWidget* chooser = open_file_chooser();
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(chooser_name(chooser), "trellan-comparison-20261207-164012.png");
    save_as(chooser, name);
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(pump_until([&] { return missing(s.view, {"Saved as “" + path + "”."}).empty(); }, 10))
        << ::testing::PrintToString(reachable_texts(s.view));
    gchar* contents = nullptr;
    gsize length = 0;
    ASSERT_TRUE(g_file_get_contents(path.c_str(), &contents, &length, nullptr));
    const std::string bytes(contents, length);
    g_free(contents);
    if (std::string(name) == "chart.svg")
      EXPECT_NE(bytes.find("<svg"), std::string::npos);
    else
      EXPECT_EQ(bytes.substr(0, 4), "\x89PNG");
    g_remove(path.c_str());
  }
  EXPECT_EQ(g_chdir(previous), 0);
  g_free(previous);
  g_rmdir(dir.c_str());
  gtk_window_destroy(GTK_WINDOW(s.window));
  pump_for(0.2);
}

// Three runs, one with latency, at a narrow and a wide size in both
// appearances: the latency plot shows, nothing warns; and pictures to look at.
TEST(CompareView, ThreeRunsOneWithLatencyShowItsPlotAtEverySizeInLightAndDark) {
  auto tcp = captured_run("iperf3-3.12/tcp-5s-client.txt", 40);
  auto slow = std::make_shared<RunRecord>(*captured_run("iperf3-3.18/tcp-5s-client.txt", 45));
  slow->latency = loaded_latency(0.031, 2.2, 3.0, 3.4, 0, 50);
  slow->interval_latency = {{2.0, 0}, {2.5, 0}, {2.1, 0}, {3.0, 0}, {2.3, 0}};
  for (int i = 0; i < 50; ++i) slow->probes.push_back({i * 0.1f, 1.5f + static_cast<float>(i % 5) * 0.4f});
  auto bidir = captured_run("iperf3-3.12/bidir-P2-client.txt", 50);
  AdwStyleManager* style = adw_style_manager_get_default();
  for (const bool dark : {false, true}) {
    adw_style_manager_set_color_scheme(style, dark ? ADW_COLOR_SCHEME_FORCE_DARK : ADW_COLOR_SCHEME_FORCE_LIGHT);
    for (const auto& [w, h] : {std::pair{560, 680}, std::pair{1400, 900}}) {
      const Shown s = show_view({tcp, slow, bidir}, w, h);
      EXPECT_TRUE(gtk_widget_get_mapped(plot_named(s.view, "Latency over time")));
      // The narrowest window (400 px) leaves the view 376 px beside the
      // Runs page's margins: a narrow view asks for no more, its buttons one
      // under the other.
      EXPECT_EQ(gtk_widget_get_width(s.window), w);
      if (w < 720) {
        int least = 0;
        gtk_widget_measure(s.view, GTK_ORIENTATION_HORIZONTAL, -1, &least, nullptr, nullptr, nullptr);
        EXPECT_LE(least, 376);
      }
      // Each plot drawn anew at its final size for the picture.
      for (const char* plot : {"Throughput over time", "Latency over time", "Distribution of one-second rates",
                               "Distribution of latency under load"})
        gtk_widget_queue_draw(plot_named(s.view, plot));
      pump_for(0.3);
      const std::string name = std::string("compare-view-") + (dark ? "dark-" : "light-") + std::to_string(w) + ".png";
      EXPECT_TRUE(save_window_png(s.window, shot_path(name))) << name;
      gtk_window_destroy(GTK_WINDOW(s.window));
      pump_for(0.1);
    }
  }
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_DEFAULT);
}

TRELLAN_GTK_TEST_MAIN()
