// The Client page with latency on: ping first, an idle second, then the test
// against a fake iperf3; without ping, the test as before plus the reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/run_record.hpp"
#include "fake_tool.hpp"
#include "latency_capture.hpp"
#include "ui/compat.hpp"
#include "ui/latency_plot.hpp"
#include "ui/runs_page.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::button_text;
using trellan::testing::click;
using trellan::testing::FakeTool;
using trellan::testing::label_text;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

namespace {

const char* kResultRun = R"(
echo 'Connecting to host 127.0.0.1, port 5201'
echo '[  5] local 127.0.0.1 port 40000 connected to 127.0.0.1 port 5201'
echo '[ ID] Interval           Transfer     Bitrate         Retr  Cwnd'
echo '[  5]   0.00-1.00   sec   112 MBytes   942 Mbits/sec    2   1.06 MBytes'
sleep 0.3
echo '[  5]   1.00-2.00   sec   112 MBytes   939 Mbits/sec    0   1.06 MBytes'
echo '- - - - - - - - - - - - - - - - - - - - - - - - -'
echo '[ ID] Interval           Transfer     Bitrate         Retr'
echo '[  5]   0.00-2.00   sec   224 MBytes   940 Mbits/sec    2             sender'
echo '[  5]   0.00-2.04   sec   223 MBytes   934 Mbits/sec                  receiver'
echo 'iperf Done.'
)";

const char* kResult = "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s";

// This process's children named ping, running or not yet reaped.
int ping_children() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string pid, comm, state;
    long ppid = 0;
    if (in >> pid >> comm >> state >> ppid && ppid == ::getpid() && comm == "(ping)") ++n;
  }
  return n;
}

template <typename Test>
GtkWidget* find_widget(GtkWidget* root, Test test) {
  if (test(root)) return root;
  for (GtkWidget* c = gtk_widget_get_first_child(root); c; c = gtk_widget_get_next_sibling(c))
    if (GtkWidget* found = find_widget(c, test)) return found;
  return nullptr;
}

bool have_ping() { return std::filesystem::exists("/usr/bin/ping") || std::filesystem::exists("/bin/ping"); }

struct LatencyPage : trellan::testing::WindowFixture {
  LatencyPage() { with_latency = true; }
  GtkWidget* line() const { return client->latency_label.get(); }
};

TEST_F(LatencyPage, IdleSecondThenTheTestAndTheEndLineOnThePageAndInTheRecord) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  FakeTool tool(kResultRun);
  ASSERT_TRUE(compat::switch_row_get_active(client->latency_row.get()));  // on by default
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Measuring idle latency…");
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");
  pump_for(0.5);
  EXPECT_TRUE(tool.pids().empty()) << "iperf3 started before the idle second was over";

  ASSERT_TRUE(pump_until([&] { return client_idle(); }, 30));
  EXPECT_EQ(label_text(client->status_label.get()), kResult);  // as without latency
  const std::string end = label_text(line());
  EXPECT_TRUE(end.starts_with("Latency: ") && end.find(" ms idle, ") != std::string::npos &&
              end.find(" ms under load (") != std::string::npos)  // no load here: + or -
      << end;
  EXPECT_TRUE(gtk_widget_get_visible(line()));
  EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(line())));
  EXPECT_FALSE(gtk_widget_has_css_class(line(), "dim-label"));
  // The argv of the test itself is today's.
  EXPECT_EQ(tool.args(0).front(), "-c");

  const RunRecord& run = *run_log_of(window)->runs().back();
  EXPECT_EQ(run.latency_text, end);
  ASSERT_TRUE(run.latency);
  EXPECT_EQ(run.interval_latency.size(), 2u);
  EXPECT_TRUE(pump_until([&] { return ping_children() == 0; }, 10)) << "ping outlived its run";

  pump_for(0.3);  // a frame for the screenshot
  trellan::testing::save_window_png(GTK_WIDGET(window), trellan::testing::shot_path("latency-client-page.png"));

  // The Runs page shows the same end line under the run's details.
  GtkWidget* stack = gtk_widget_get_ancestor(client->status_label.get(), ADW_TYPE_VIEW_STACK);
  adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), "runs");
  GtkWidget* runs = adw_view_stack_get_child_by_name(ADW_VIEW_STACK(stack), "runs");
  GtkWidget* shown = nullptr;
  ASSERT_TRUE(pump_until([&] {
    shown = find_widget(runs, [&](GtkWidget* w) {
      return GTK_IS_LABEL(w) && gtk_widget_get_mapped(w) && label_text(w) == end;
    });
    return shown != nullptr;
  }, 10));
  EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(shown)));
  pump_for(0.5);
  trellan::testing::save_window_png(GTK_WIDGET(window), trellan::testing::shot_path("latency-runs-page.png"));
}

// The Runs page with the latency plot of a captured run (-P 2 over a
// 50 Mbit/s bottleneck), light and dark, saved for the eye: the plot is
// shown, and its dots, step line and labels differ from its background.
TEST_F(LatencyPage, RunsPageShowsTheCapturedRunsPlotInLightAndDark) {
  RunRecording recording;
  recording.log = run_log_of(window);
  RunSetup setup;
  setup.far_end = "10.79.0.2, port 5201";
  setup.options_summary = "TCP · 2 streams · 5 s";
  setup.command = {"iperf3", "-c", "10.79.0.2", "-t", "5", "-P", "2"};
  trellan::testing::play_latency_capture("P2", setup, [&](const PageAnswer& a) {
    for (const auto& s : a.record) recording.apply(s);
  });
  ASSERT_TRUE(run_log_of(window)->runs().back()->latency);
  // As a 4K screen at twice the scale draws it in a maximised window.
  {
    const LatencyPlotData data(*run_log_of(window)->runs().back());
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3840, 320);
    cairo_surface_set_device_scale(surface, 2, 2);
    cairo_t* cr = cairo_create(surface);
    paint_latency_plot(cr, 1920, 160, data, TimeAxis{46, 1890, 5.01}, true, 2);
    cairo_destroy(cr);
    cairo_surface_write_to_png(surface, trellan::testing::shot_path("latency-plot-4k-dark.png").c_str());
    cairo_surface_destroy(surface);
  }
  gtk_window_set_default_size(GTK_WINDOW(window), 1000, 1000);
  GtkWidget* stack = gtk_widget_get_ancestor(client->status_label.get(), ADW_TYPE_VIEW_STACK);
  adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), "runs");
  GtkWidget* runs = adw_view_stack_get_child_by_name(ADW_VIEW_STACK(stack), "runs");
  GtkWidget* plot = nullptr;
  ASSERT_TRUE(pump_until([&] {
    plot = find_widget(runs, [](GtkWidget* w) {
      return GTK_IS_DRAWING_AREA(w) && gtk_widget_get_mapped(w) &&
             gtk_drawing_area_get_content_height(GTK_DRAWING_AREA(w)) < 300;
    });
    return plot != nullptr;
  }, 10));
  for (bool dark : {false, true}) {
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(),
                                       dark ? ADW_COLOR_SCHEME_FORCE_DARK : ADW_COLOR_SCHEME_FORCE_LIGHT);
    pump_for(0.5);
    trellan::testing::save_window_png(
        GTK_WIDGET(window), trellan::testing::shot_path(std::string("latency-plot-") + (dark ? "dark" : "light") + ".png"));
  }
  // The smallest window the app allows, scrolled down to the plot.
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 680);
  pump_for(0.5);
  gtk_widget_grab_focus(plot);
  GtkWidget* scroller = gtk_widget_get_ancestor(plot, GTK_TYPE_SCROLLED_WINDOW);
  if (scroller) {
    graphene_rect_t at;
    if (gtk_widget_compute_bounds(plot, gtk_scrolled_window_get_child(GTK_SCROLLED_WINDOW(scroller)), &at))
      gtk_adjustment_set_value(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller)),
                               at.origin.y - 250);
  }
  pump_for(0.5);
  trellan::testing::save_window_png(GTK_WIDGET(window), trellan::testing::shot_path("latency-plot-small-dark.png"));
  adw_style_manager_set_color_scheme(adw_style_manager_get_default(), ADW_COLOR_SCHEME_DEFAULT);
}

TEST_F(LatencyPage, StopDuringTheIdleSecondEndsPingAndNeverStartsTheTest) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  FakeTool tool(kResultRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return ping_children() == 1; }, 10));
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Test stopped.");
  EXPECT_TRUE(pump_until([&] { return ping_children() == 0; }, 10)) << "ping outlived its run";
  pump_for(1.5);
  EXPECT_TRUE(tool.pids().empty()) << "iperf3 started after the stop";
  EXPECT_TRUE(client_idle());

  // Closing the window in the idle second ends ping too.
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return ping_children() == 1; }, 10));
  close();
  EXPECT_TRUE(pump_until([&] { return ping_children() == 0; }, 10)) << "ping outlived its window";
}

TEST_F(LatencyPage, WithoutPingTheTestRunsAtOnceAndTheLineSaysWhy) {
  FakeTool tool(kResultRun);
  // A PATH with the fake iperf3 and the few tools its script uses, no ping.
  char tmpl[] = "/tmp/trellan-noping-XXXXXX";
  const std::string tools = g_mkdtemp(tmpl);
  for (const char* t : {"sleep", "dirname", "cat"})
    std::filesystem::create_symlink(std::string("/usr/bin/") + t, tools + "/" + t);
  const std::string path = std::getenv("PATH");
  setenv("PATH", (path.substr(0, path.find(':')) + ":" + tools).c_str(), 1);

  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return !tool.pids().empty(); }, 10));
  ASSERT_TRUE(pump_until([&] { return client_idle(); }, 30));
  setenv("PATH", path.c_str(), 1);
  std::filesystem::remove_all(tools);
  EXPECT_EQ(label_text(client->status_label.get()), kResult);
  EXPECT_EQ(label_text(line()), "Latency not measured: ping not found in PATH");
  const RunRecord& run = *run_log_of(window)->runs().back();
  EXPECT_EQ(run.latency_text, "Latency not measured: ping not found in PATH");
  EXPECT_FALSE(run.latency);

  // Off: exactly today's run, and no line.
  compat::switch_row_set_active(client->latency_row.get(), false);
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Connecting…");
  EXPECT_FALSE(gtk_widget_get_visible(line()));
  ASSERT_TRUE(pump_until([&] { return client_idle(); }, 30));
  EXPECT_EQ(run_log_of(window)->runs().back()->latency_text, "");
}

}  // namespace
TRELLAN_GTK_TEST_MAIN()
