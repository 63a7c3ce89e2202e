// Runs started from the window, against fake iperf3 scripts: what the pages
// show from the click to the end of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compat.hpp"
#include "fake_tool.hpp"
#include "gtk_helpers.hpp"
#include "window.hpp"

using namespace trellan;
using trellan::testing::FakeTool;
using trellan::testing::process_alive;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

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

std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }
std::string button_text(GtkWidget* b) { return gtk_button_get_label(GTK_BUTTON(b)); }

void click(GtkWidget* button) { g_signal_emit_by_name(button, "clicked"); }

struct RunFixture : ::testing::Test {
  AdwApplicationWindow* window = nullptr;
  const ClientForm* client = nullptr;
  const ServerForm* server = nullptr;

  void SetUp() override { open(); }
  void open() {
    window = build_main_window(trellan::testing::test_application());
    gtk_window_present(GTK_WINDOW(window));
    client = client_form_of(window);
    server = server_form_of(window);
  }
  void TearDown() override {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    pump_for(0.2);
  }
  bool client_idle() const { return button_text(client->start_button.get()) == "Start test"; }
  bool server_idle() const { return button_text(server->start_button.get()) == "Start server"; }
};

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
sleep 0.3
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

TRELLAN_GTK_TEST_MAIN()
