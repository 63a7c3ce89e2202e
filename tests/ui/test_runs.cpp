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

TEST_F(RunFixture, ServerPeakTextInGigabitsAndTheServerPageLeavesItsLabelOnIntervals) {
  FakeTool tool("echo '[  5]   0.00-1.00   sec  1.2 GBytes   9.41 Gbits/sec'; sleep 0.3");
  LabelHistory client_history(client->status_label.get());
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  // A run that ends well but never printed a result says so.
  EXPECT_EQ(label_text(client->status_label.get()), "iperf3 ended without a result.");
  EXPECT_TRUE(client_history.contains("Measuring… peak 9.41 Gbit/s"));

  LabelHistory history(server->status_label.get());
  click(server->start_button.get());
  ASSERT_TRUE(pump_until([&] { return server_idle(); }));
  EXPECT_EQ(history.texts, std::vector<std::string>{"Listening on port 5201…"});
}

TEST_F(RunFixture, FailedRunsReportTheirFirstErrorOrTheirExitCode) {
  struct Case {
    const char* script;
    const char* final_text;
  } cases[] = {
      {"echo 'iperf3: error - unable to connect to server: Connection refused' >&2;"
       "echo 'iperf3: error - second problem' >&2; exit 1",
       "iperf3 error: unable to connect to server: Connection refused"},
      {"exit 3", "iperf3 terminated (code 3)."},
      {"echo 'iperf3: interrupt - the client has terminated' >&2; exit 0",
       "interrupt - the client has terminated"},
      {"echo 'iperf3: something odd' >&2; kill -TERM $$", "iperf3 error: something odd"},
      {"exit 255", "iperf3 terminated (code 255)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    FakeTool tool(c.script);
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    EXPECT_EQ(label_text(client->status_label.get()), c.final_text);
  }
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
}

// iperf3 3.18, --bidir -P 1, client side.
const char* kBidirRun = R"(
echo '[ ID][Role] Interval           Transfer     Bitrate         Retr  Cwnd'
echo '[  5][TX-C]   0.00-1.00   sec  1.56 GBytes  13.4 Gbits/sec    6    895 KBytes       '
echo '[  7][RX-C]   0.00-1.00   sec   567 MBytes  4.76 Gbits/sec                  '
echo '- - - - - - - - - - - - - - - - - - - - - - - - -'
echo '[ ID][Role] Interval           Transfer     Bitrate         Retr'
echo '[  5][TX-C]   0.00-3.01   sec  5.02 GBytes  14.3 Gbits/sec   17            sender'
echo '[  5][TX-C]   0.00-3.01   sec  5.01 GBytes  14.3 Gbits/sec                  receiver'
echo '[  7][RX-C]   0.00-3.01   sec  1.16 GBytes  3.32 Gbits/sec   60            sender'
echo '[  7][RX-C]   0.00-3.01   sec  1.16 GBytes  3.30 Gbits/sec                  receiver'
echo
echo 'iperf Done.'
)";

TEST_F(RunFixture, BidirectionalResultShowsWhatThisMachineSentAndReceived) {
  FakeTool tool(kBidirRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 14.30 Gbit/s · receive: 3.30 Gbit/s");
  EXPECT_EQ(details_text(client->details_label.get()), "Retransmits: send 17 · receive 60");
  EXPECT_TRUE(shown(client->details_label.get()));
  EXPECT_FALSE(has_error_look(client->status_label.get()));
  screenshot(window, "client", "result-bidirectional.png");
}

// iperf3 3.18, -u -b 0, client side; then --bidir of the same.
const char* kUdpRun = R"(
echo '[ ID] Interval           Transfer     Bitrate         Total Datagrams'
echo '[  5]   0.00-1.00   sec  2.43 GBytes  20.9 Gbits/sec  79653  '
echo '- - - - - - - - - - - - - - - - - - - - - - - - -'
echo '[ ID] Interval           Transfer     Bitrate         Jitter    Lost/Total Datagrams'
echo '[  5]   0.00-3.00   sec  6.80 GBytes  19.5 Gbits/sec  0.000 ms  0/222940 (0%)  sender'
echo '[  5]   0.00-3.00   sec  3.58 GBytes  10.2 Gbits/sec  0.001 ms  105689/222940 (47%)  receiver'
)";
const char* kUdpBidirRun = R"(
echo '[ ID][Role] Interval           Transfer     Bitrate         Jitter    Lost/Total Datagrams'
echo '[  5][TX-C]   0.00-3.00   sec  6.19 GBytes  17.7 Gbits/sec  0.000 ms  0/202775 (0%)  sender'
echo '[  5][TX-C]   0.00-3.00   sec  3.16 GBytes  9.04 Gbits/sec  0.075 ms  99047/202585 (49%)  receiver'
echo '[  7][RX-C]   0.00-3.00   sec  8.48 GBytes  24.3 Gbits/sec  0.000 ms  0/277719 (0%)  sender'
echo '[  7][RX-C]   0.00-3.00   sec  4.49 GBytes  12.9 Gbits/sec  0.004 ms  130357/277519 (47%)  receiver'
)";

TEST_F(RunFixture, UdpResultShowsJitterAndLoss) {
  {
    FakeTool tool(kUdpBidirRun);
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 17.70 Gbit/s · receive: 12.90 Gbit/s");
    EXPECT_EQ(details_text(client->details_label.get()),
              "Send: jitter 0.075 ms, lost 99047 of 202585 (49 %) · "
              "Receive: jitter 0.004 ms, lost 130357 of 277519 (47 %)");
  }
  FakeTool tool(kUdpRun);
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 19.50 Gbit/s · receive: 10.20 Gbit/s");
  EXPECT_EQ(details_text(client->details_label.get()), "Jitter 0.001 ms · lost 105689 of 222940 datagrams (47 %)");
  screenshot(window, "client", "result-udp-loss.png");
}

TEST_F(RunFixture, TcpResultShowsRetransmitsAndANewRunClearsThem) {
  // iperf3 3.12, -P 2, client side.
  FakeTool tool(R"(
echo '[  5]   0.00-3.01   sec  1.92 GBytes  5.48 Gbits/sec    2             sender'
echo '[  5]   0.00-3.01   sec  1.92 GBytes  5.47 Gbits/sec                  receiver'
echo '[  7]   0.00-3.01   sec  1.87 GBytes  5.35 Gbits/sec    0             sender'
echo '[  7]   0.00-3.01   sec  1.87 GBytes  5.35 Gbits/sec                  receiver'
echo '[SUM]   0.00-3.01   sec  3.79 GBytes  10.8 Gbits/sec    2             sender'
echo '[SUM]   0.00-3.01   sec  3.79 GBytes  10.8 Gbits/sec                  receiver'
sleep 0.3
)");
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
  EXPECT_EQ(label_text(client->status_label.get()), "Result — send: 10.80 Gbit/s · receive: 10.80 Gbit/s");
  EXPECT_EQ(details_text(client->details_label.get()), "Retransmits: 2");
  click(client->start_button.get());
  EXPECT_EQ(details_text(client->details_label.get()), "");
  EXPECT_FALSE(shown(client->details_label.get()));
  ASSERT_TRUE(pump_until([&] { return client_idle(); }));
}

// Two clients in a row, as iperf3 3.18 reported them: a -R -P 2 test (the
// server only sends) and a UDP test (it only receives).
const char* kTwoClients = R"(
echo 'Server listening on 5201 (test #1)'
echo 'Accepted connection from 127.0.0.1, port 43500'
echo '[ ID] Interval           Transfer     Bitrate         Retr'
echo '[  5]   0.00-3.01   sec   932 MBytes  2.60 Gbits/sec   27            sender'
echo '[  8]   0.00-3.01   sec  1.90 GBytes  5.43 Gbits/sec   42            sender'
echo '[SUM]   0.00-3.01   sec  2.81 GBytes  8.03 Gbits/sec   69             sender'
echo 'Server listening on 5201 (test #2)'
sleep 0.3
echo 'Accepted connection from 127.0.0.2, port 49500'
echo '[  5]   0.00-1.00   sec  1.26 GBytes  10.8 Gbits/sec  0.002 ms  38363/79653 (48%)  '
sleep 0.3
echo '[  5]   0.00-3.00   sec  3.58 GBytes  10.2 Gbits/sec  0.001 ms  105689/222940 (47%)  receiver'
echo 'Server listening on 5201 (test #3)'
while true; do sleep 1; done
)";

TEST_F(RunFixture, ServerKeepsTheLastClientsResultWhileWaitingForTheNext) {
  FakeTool tool(kTwoClients);
  LabelHistory details(server->details_label.get());
  click(server->start_button.get());
  const std::string first = "Last client: 127.0.0.1 — send: 8.03 Gbit/s · Retransmits: 69";
  const std::string second =
      "Last client: 127.0.0.2 — receive: 10.20 Gbit/s · Jitter 0.001 ms · lost 105689 of 222940 datagrams (47 %)";
  ASSERT_TRUE(pump_until([&] { return details.contains(first); }));
  // The next client's connection alone does not take the last result away.
  ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()).starts_with("Client connected: 127.0.0.2"); }));
  EXPECT_EQ(details_text(server->details_label.get()), first);
  ASSERT_TRUE(pump_until([&] { return details.contains(second); }));
  ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()) == "Waiting for client connections…"; }));
  EXPECT_EQ(details_text(server->details_label.get()), second);
  EXPECT_TRUE(shown(server->details_label.get()));
  EXPECT_FALSE(details.contains("")) << "the details were emptied between the clients";
  screenshot(window, "server", "server-two-clients.png");
  click(server->start_button.get());  // stopping keeps it
  EXPECT_EQ(details_text(server->details_label.get()), second);
  click(server->start_button.get());  // a new run clears it
  EXPECT_EQ(details_text(server->details_label.get()), "");
  click(server->start_button.get());
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
  {
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
  // Stopping while the notice shows takes it away for good.
  FakeTool tool("sleep 30");
  LabelHistory details(client->details_label.get());
  click(client->start_button.get());
  ASSERT_TRUE(pump_until([&] { return shown(client->details_label.get()); }, 8));
  click(client->start_button.get());
  EXPECT_EQ(details_text(client->details_label.get()), "");
  const std::size_t seen = details.texts.size();
  pump_for(1.5);
  EXPECT_EQ(details.texts.size(), seen) << details.texts.back();
}

TRELLAN_GTK_TEST_MAIN()
