// Runs started from the window, against fake iperf3 scripts: what the pages
// show from the click to the end of a run.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/compat.hpp"
#include "fake_tool.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::FakeTool;
using trellan::testing::process_alive;
using trellan::testing::pump_for;
using trellan::testing::pump_until;
using trellan::testing::button_text;
using trellan::testing::click;
using trellan::testing::label_text;

namespace {

// Every text a label shows, in order.
struct LabelHistory {
  std::vector<std::string> texts;
  gulong handler = 0;
  GtkWidget* label = nullptr;

  explicit LabelHistory(GtkWidget* l) : label(l) {
    handler = g_signal_connect(label, "notify::label", G_CALLBACK(+[](GObject* o, GParamSpec*, gpointer self) {
      static_cast<LabelHistory*>(self)->texts.emplace_back(gtk_label_get_text(GTK_LABEL(o)));
    }), this);
  }
  ~LabelHistory() { g_signal_handler_disconnect(label, handler); }
  bool contains(const std::string& s) const { return std::find(texts.begin(), texts.end(), s) != texts.end(); }
  // Whether `wanted` appear in this order (others may stand between them).
  bool in_order(const std::vector<std::string>& wanted) const {
    auto it = texts.begin();
    for (const auto& w : wanted) {
      it = std::find(it, texts.end(), w);
      if (it == texts.end()) return false;
      ++it;
    }
    return true;
  }
};

using RunFixture = trellan::testing::WindowFixture;

const char* kTwoStreamRun = R"(
echo 'Connecting to host 127.0.0.1, port 5201'
echo '[ ID] Interval           Transfer     Bitrate         Retr  Cwnd'
echo '[  5]   0.00-1.00   sec  56.2 MBytes   471 Mbits/sec    0   1.06 MBytes'
echo '[  7]   0.00-1.00   sec  56.0 MBytes   470 Mbits/sec    0   1.06 MBytes'
echo '[SUM]   0.00-1.00   sec   112 MBytes   942 Mbits/sec    0'
sleep 0.2
echo '[  5]   1.00-2.00   sec  56.1 MBytes   470 Mbits/sec    0   1.06 MBytes'
echo '[SUM]   0.00-10.00  sec  1.09 GBytes   940 Mbits/sec    0             sender'
echo '[SUM]   0.00-10.04  sec  1.09 GBytes   934 Mbits/sec                  receiver'
echo 'iperf Done.'
)";

}  // namespace

TEST_F(RunFixture, ClientRunGoesFromConnectingThroughHeldPeakToTheResult) {
  FakeTool tool(kTwoStreamRun);
  LabelHistory history(client->status_label.get());
  gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), "  \u00a0example.net\t ");
  compat::spin_row_set_value(client->parallel_row.get(), 2);
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Connecting…");
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");
  EXPECT_TRUE(gtk_widget_has_css_class(client->start_button.get(), "destructive-action"));
  EXPECT_FALSE(gtk_widget_has_css_class(client->start_button.get(), "suggested-action"));
  EXPECT_TRUE(gtk_widget_has_css_class(client->start_button.get(), "pill"));

  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_TRUE(history.in_order({"Connecting…", "Measuring… peak 471.0 Mbit/s", "Measuring… peak 941.0 Mbit/s",
                                "Measuring… peak 942.0 Mbit/s",
                                "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s"}));
  EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s");
  EXPECT_TRUE(gtk_widget_has_css_class(client->start_button.get(), "suggested-action"));
  EXPECT_FALSE(gtk_widget_has_css_class(client->start_button.get(), "destructive-action"));
  EXPECT_FALSE(client->run_slot->handle.has_value());
  EXPECT_EQ(client->meter.peak(), 0.0) << "the gauge is reset at the end";
  EXPECT_EQ(tool.args(), (std::vector<std::string>{"-c", "example.net", "-p", "5201", "-t", "10", "-i", "1",
                                                   "--forceflush", "-P", "2"}));
}

TEST_F(RunFixture, MissingToolIsReportedAndThePageReturnsToIdle) {
  FakeTool tool("exit 0");
  const std::string old_path = std::getenv("PATH");
  setenv("PATH", "/nonexistent-dir", 1);
  click(client->start_button.get());
  const bool idle = pump_until([&] { return client_idle(); });
  setenv("PATH", old_path.c_str(), 1);
  ASSERT_TRUE(idle);
  EXPECT_EQ(label_text(client->status_label.get()),
            "iperf3 not found in PATH. Install it (e.g. 'sudo apt install iperf3' or 'sudo dnf install iperf3').");
  EXPECT_FALSE(client->run_slot->handle.has_value());
}

TEST_F(RunFixture, EmptyServerIsRefusedWithoutStartingAnything) {
  FakeTool tool("exit 0");
  gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), " \u3000\u2003 ");
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Specify a server (host or IP).");
  EXPECT_TRUE(client_idle());
  pump_for(0.3);
  EXPECT_TRUE(tool.pids().empty());
}

const char* kEndless = R"(
i=0
while true; do
  echo "[  5]   $i.00-$((i+1)).00   sec  1.00 MBytes   100 Mbits/sec"
  i=$((i+1)); sleep 0.05
done
)";

TEST_F(RunFixture, StoppingKeepsTestStoppedAndKillsTheTool) {
  FakeTool tool(kEndless);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return label_text(client->status_label.get()).starts_with("Measuring…"); }));
  ASSERT_EQ(tool.pids().size(), 1u);
  const int pid = tool.pids()[0];
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Test stopped.");
  EXPECT_TRUE(client_idle());
  EXPECT_TRUE(pump_until([&] { return !process_alive(pid); }, 5)) << "the tool survived the stop";
  pump_for(0.5);
  EXPECT_EQ(label_text(client->status_label.get()), "Test stopped.") << "a late event relabelled the page";
  EXPECT_TRUE(client_idle());
}

TEST_F(RunFixture, LateEventsOfAStoppedRunLeaveTheNextRunAlone) {
  FakeTool tool(kEndless);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return tool.pids().size() == 1; }));
  click(client->start_button.get());  // stop
  click(client->start_button.get());  // start again at once
  ASSERT_TRUE(pump_until([&] { return tool.pids().size() == 2; }));
  pump_for(0.8);  // the first run's Exited has long arrived
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");
  EXPECT_TRUE(client->run_slot->handle.has_value());
  EXPECT_TRUE(process_alive(tool.pids()[1])) << "the second run was stopped by the first one's end";
  EXPECT_FALSE(process_alive(tool.pids()[0]));
  EXPECT_TRUE(label_text(client->status_label.get()).starts_with("Measuring…"));
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Test stopped.");
}

const char* kServerSession = R"(
echo '-----------------------------------------------------------'
echo 'Server listening on 5201 (test #1)'
echo '-----------------------------------------------------------'
sleep 0.1
echo 'Accepted connection from 127.0.0.1, port 40502'
echo '[  5] local 127.0.0.1 port 5201 connected to 127.0.0.1 port 40504'
echo '[ ID] Interval           Transfer     Bitrate'
echo '[  5]   0.00-1.00   sec   100 MBytes   839 Mbits/sec'
sleep 1
echo '[  5]   0.00-1.00   sec   100 MBytes   839 Mbits/sec                  receiver'
sleep 0.3
echo 'Server listening on 5201 (test #2)'
while true; do sleep 1; done
)";

TEST_F(RunFixture, ServerFollowsAClientAndWaitsAgain) {
  FakeTool tool(kServerSession);
  LabelHistory history(server->status_label.get());
  compat::spin_row_set_value(server->listen_port_row.get(), 5999);
  gtk_editable_set_text(GTK_EDITABLE(server->bind_row.get()), "   ");
  compat::switch_row_set_active(server->one_off_row.get(), true);
  click(server->start_button.get());
  EXPECT_EQ(label_text(server->status_label.get()), "Listening on port 5999…");
  EXPECT_EQ(button_text(server->start_button.get()), "Stop server");
  ASSERT_TRUE(pump_until([&] { return server->meter.peak() > 0; }));
  EXPECT_EQ(label_text(server->status_label.get()), "Client connected: 127.0.0.1 — measuring…");
  ASSERT_TRUE(pump_until([&] { return history.contains("Waiting for client connections…") && history.texts.size() > 3; }));
  ASSERT_TRUE(pump_until([&] { return history.texts.back() == "Waiting for client connections…" && history.texts.size() >= 5; }));
  EXPECT_TRUE(history.in_order({"Listening on port 5999…", "Waiting for client connections…",
                                "Client connected: 127.0.0.1 — measuring…",
                                "Result — send: 0 Kbit/s · receive: 839.0 Mbit/s",
                                "Waiting for client connections…"}));
  EXPECT_EQ(server->meter.peak(), 0.0) << "the gauge is reset when the client is done";
  EXPECT_EQ(tool.args(), (std::vector<std::string>{"-s", "-p", "5999", "-i", "1", "--forceflush", "-1"}));
  click(server->start_button.get());
  EXPECT_EQ(label_text(server->status_label.get()), "Stopped.");
  EXPECT_TRUE(server_idle());
  pump_for(0.3);
  EXPECT_EQ(label_text(server->status_label.get()), "Stopped.");
}

TEST_F(RunFixture, ClientAndServerRunsAreIndependentAndSoAreWindows) {
  FakeTool tool(kEndless);
  click(server->start_button.get());
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return tool.pids().size() == 2; }));

  AdwApplicationWindow* first = window;
  const ClientForm* first_client = client;
  open();  // a second window
  EXPECT_TRUE(client_idle());
  EXPECT_TRUE(server_idle());
  EXPECT_EQ(label_text(client->status_label.get()), "Ready.");

  click(first_client->start_button.get());  // stop the first window's client
  pump_for(0.3);
  EXPECT_EQ(button_text(server_form_of(first)->start_button.get()), "Stop server");
  // The two launches race each other; the server is the one started with -s.
  const size_t server_launch = tool.args(0).at(0) == "-s" ? 0 : 1;
  EXPECT_TRUE(process_alive(tool.pids()[server_launch])) << "stopping the client stopped the server";
  EXPECT_FALSE(process_alive(tool.pids()[1 - server_launch]));
  EXPECT_EQ(label_text(client->status_label.get()), "Ready.");
  gtk_window_destroy(GTK_WINDOW(first));
}

TEST_F(RunFixture, ClosingAWindowStopsItsRuns) {
  FakeTool tool(kEndless);
  click(server->start_button.get());
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return tool.pids().size() == 2; }));
  const auto pids = tool.pids();
  gtk_window_destroy(GTK_WINDOW(window));
  window = nullptr;
  EXPECT_TRUE(pump_until([&] { return !process_alive(pids[0]) && !process_alive(pids[1]); }, 5))
      << "a child outlived its window";
}

// ---- results in detail, from lines real iperf3 printed ----------------------

std::string details_text(GtkWidget* label) { return label_text(label); }
bool shown(GtkWidget* w) { return gtk_widget_get_visible(w); }
bool has_error_look(GtkWidget* w) { return gtk_widget_has_css_class(w, "error"); }

void screenshot(AdwApplicationWindow* window, const char* page, const std::string& name) {
  GtkWidget* stack = nullptr;
  if (const ClientForm* c = client_form_of(window))
    stack = gtk_widget_get_ancestor(c->status_label.get(), ADW_TYPE_VIEW_STACK);
  ASSERT_NE(stack, nullptr);
  adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), page);
  pump_for(0.5);
  EXPECT_TRUE(trellan::testing::save_window_png(GTK_WIDGET(window), trellan::testing::shot_path(name))) << name;
}

// iperf3 3.12, -P 2, client side.
const char* kTcpRun = R"(
echo '[SUM]   0.00-3.01   sec  3.79 GBytes  10.8 Gbits/sec    2             sender'
echo '[SUM]   0.00-3.01   sec  3.79 GBytes  10.8 Gbits/sec                  receiver'
sleep 0.3
)";

TEST_F(RunFixture, DetailsLabelIsACaptionHiddenUntilItHasSomethingToSay) {
  for (GtkWidget* details : {client->details_label.get(), server->details_label.get()}) {
    EXPECT_TRUE(gtk_widget_has_css_class(details, "dim-label"));
    EXPECT_TRUE(gtk_widget_has_css_class(details, "caption"));
    EXPECT_TRUE(gtk_label_get_wrap(GTK_LABEL(details)));
    EXPECT_FALSE(shown(details));
  }
  // Right below the status label.
  EXPECT_EQ(gtk_widget_get_next_sibling(client->status_label.get()), client->details_label.get());
  EXPECT_EQ(gtk_widget_get_next_sibling(server->status_label.get()), server->details_label.get());

  // A result's figures show at full contrast; a new run hides them.
  FakeTool tool(kTcpRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_EQ(details_text(client->details_label.get()), "Retransmits: 2");
  EXPECT_TRUE(shown(client->details_label.get()));
  EXPECT_FALSE(gtk_widget_has_css_class(client->details_label.get(), "dim-label"));
  click(client->start_button.get());
  EXPECT_FALSE(shown(client->details_label.get()));
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
}

TEST_F(RunFixture, RunKilledFromOutsideSaysSoInTheErrorStyle) {
  FakeTool tool(kEndless);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return label_text(client->status_label.get()).starts_with("Measuring…"); }));
  ASSERT_EQ(tool.pids().size(), 1u);
  ::kill(tool.pids()[0], SIGKILL);
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_EQ(label_text(client->status_label.get()), "iperf3 ended unexpectedly (signal 9).");
  EXPECT_TRUE(has_error_look(client->status_label.get()));
  screenshot(window, "client", "error-signal.png");

  // The same on the Server page.
  click(server->start_button.get());
  ASSERT_TRUE(pump_until([&] { return tool.pids().size() == 2; }));
  ::kill(tool.pids()[1], SIGKILL);
  ASSERT_TRUE(pump_until([&] { return server_idle(); }));
  EXPECT_EQ(label_text(server->status_label.get()), "iperf3 ended unexpectedly (signal 9).");
}

TEST_F(RunFixture, LinesThatAreNotUtf8DoNotEndTheRun) {
  FakeTool tool(R"(
printf '[  5]   0.00-1.00   sec  1.00 MBytes   100 Mbits/sec\n'
printf '[  5]   1.00-2.00   sec  \377\376 MBytes   200 Mbits/sec\n'
printf 'iperf3: warning - odd \377 bytes\n' >&2
sleep 0.2
printf '[  5]   0.00-10.00  sec   120 MBytes   101 Mbits/sec    7             sender\n'
printf '[  5]   0.00-10.04  sec   119 MBytes   100 Mbits/sec                  receiver\n'
)");
  LabelHistory history(client->status_label.get());
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_TRUE(history.contains("warning - odd \uFFFD bytes"));
  EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 101.0 Mbit/s · receive: 100.0 Mbit/s");
  EXPECT_EQ(details_text(client->details_label.get()), "Retransmits: 7");
}

TEST_F(RunFixture, ErrorStyleComesAndGoesWithErrorTexts) {
  {
    FakeTool tool("exit 3");
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    EXPECT_EQ(label_text(client->status_label.get()), "iperf3 terminated (code 3).");
    EXPECT_TRUE(has_error_look(client->status_label.get()));
  }
  {
    // An error mid-run, then measuring again, then a clean end without result.
    FakeTool tool(R"(
echo 'iperf3: error - control socket has closed unexpectedly' >&2
sleep 0.3
echo '[  5]   0.00-1.00   sec  1.00 MBytes   100 Mbits/sec'
sleep 0.3
)");
    // Each text with the look it settled on (the text is set before the look).
    std::vector<std::pair<std::string, bool>> looks;
    GtkWidget* status = client->status_label.get();
    const auto record = +[](GObject* o, GParamSpec*, gpointer data) {
      auto* seen = static_cast<std::vector<std::pair<std::string, bool>>*>(data);
      std::pair<std::string, bool> now{gtk_label_get_text(GTK_LABEL(o)), has_error_look(GTK_WIDGET(o))};
      if (!seen->empty() && seen->back().first == now.first)
        seen->back() = now;
      else
        seen->push_back(now);
    };
    const gulong on_text = g_signal_connect(status, "notify::label", G_CALLBACK(record), &looks);
    const gulong on_look = g_signal_connect(status, "notify::css-classes", G_CALLBACK(record), &looks);
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    g_signal_handler_disconnect(status, on_text);
    g_signal_handler_disconnect(status, on_look);
    EXPECT_EQ(looks, (std::vector<std::pair<std::string, bool>>{
                         {"Connecting…", false},
                         {"control socket has closed unexpectedly", true},
                         {"Measuring… peak 100.0 Mbit/s", false},
                         {"iperf3 ended without a result.", true}}));
  }
  FakeTool tool("exit 0");
  gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), "");
  click(client->start_button.get());
  EXPECT_EQ(label_text(client->status_label.get()), "Specify a server (host or IP).");
  EXPECT_FALSE(has_error_look(client->status_label.get()));
}

TEST_F(RunFixture, ConnectNoticeCountsUpAfterFiveSilentSecondsUntilTheFirstEvent) {
  FakeTool tool("sleep 8; echo '[  5]   0.00-1.00   sec  1.00 MBytes   100 Mbits/sec'; sleep 0.5");
  LabelHistory details(client->details_label.get());
  gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), "silent.example");
  compat::spin_row_set_value(client->port_row.get(), 5999);
  click(client->start_button.get());
  pump_for(4.5);
  EXPECT_TRUE(details.texts.empty()) << details.texts.front();
  EXPECT_FALSE(shown(client->details_label.get()));
  ASSERT_TRUE(pump_until([&] { return label_text(client->status_label.get()).starts_with("Measuring…"); }));
  EXPECT_TRUE(details.in_order({"No answer yet from silent.example, port 5999 (5 s)",
                                "No answer yet from silent.example, port 5999 (6 s)", ""}));
  EXPECT_EQ(details_text(client->details_label.get()), "");
  EXPECT_FALSE(shown(client->details_label.get()));
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
}

TRELLAN_GTK_TEST_MAIN()
