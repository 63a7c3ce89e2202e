// What the window's run log keeps of runs started from its pages, against
// fake iperf3 scripts that print real iperf3 output: one record per Client
// test and per served client, its interval records, and how it ended.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ui/compat.hpp"
#include "fake_tool.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::FakeTool;
using trellan::testing::pump_for;
using trellan::testing::pump_until;
using trellan::testing::WindowFixture;
using trellan::testing::button_text;
using trellan::testing::click;

namespace {

std::string capture(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  return std::string(dir ? dir : "captures") + "/iperf3-3.12/" + name;
}

std::vector<Direction> directions(const RunRecord& r) {
  std::vector<Direction> out;
  for (const auto& i : r.intervals) out.push_back(i.direction);
  return out;
}

struct RunLogFixture : WindowFixture {
  std::shared_ptr<RunLog> log;

  void SetUp() override {
    WindowFixture::SetUp();
    log = run_log_of(window);
  }
  const RunRecord& run(std::size_t i) const { return *log->runs().at(i); }
};

constexpr auto S = Direction::Send;
constexpr auto R = Direction::Receive;

}  // namespace

TEST_F(RunLogFixture, ClientTestsEndWithTheirResultTheirStopOrTheirError) {
  {
    FakeTool tool("cat '" + capture("bidir-P2-client.txt") + "'");
    compat::spin_row_set_value(client->parallel_row.get(), 2);
    compat::switch_row_set_active(client->bidir_row.get(), true);
    click(client->start_button.get());
    ASSERT_EQ(log->runs().size(), 1u) << "the record begins at the click";
    EXPECT_EQ(run(0).page, RunPage::Client);
    EXPECT_EQ(run(0).far_end, "127.0.0.1, port 5201");
    EXPECT_EQ(run(0).options_summary, "TCP · 2 streams · bidirectional · 10 s");
    EXPECT_EQ(run(0).end, RunEnd::Running);
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    EXPECT_EQ(run(0).end, RunEnd::Result);
    EXPECT_EQ(run(0).result_text, "Result — send: 5.48 Gbit/s · receive: 4.79 Gbit/s");
    EXPECT_EQ(run(0).details_text, "Retransmits: send 19 · receive 19");
    // The "[SUM]" lines of three seconds, both ways.
    EXPECT_EQ(directions(run(0)), (std::vector<Direction>{S, R, S, R, S, R}));
  }
  {
    FakeTool tool(R"(
i=0
while true; do
  echo "[  5]   $i.00-$((i+1)).00   sec  1.00 MBytes   100 Mbits/sec"
  i=$((i+1)); sleep 0.05
done
)");
    compat::switch_row_set_active(client->bidir_row.get(), false);
    compat::switch_row_set_active(client->udp_row.get(), true);
    gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), "192.0.2.7");
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return run(1).intervals.size() >= 2; }));
    click(client->start_button.get());
    EXPECT_EQ(run(1).end, RunEnd::Stopped);
    EXPECT_EQ(run(1).far_end, "192.0.2.7, port 5201");
    EXPECT_EQ(run(1).options_summary, "UDP · 2 streams · 10 s");
    const std::size_t kept = run(1).intervals.size();
    pump_for(0.5);
    EXPECT_EQ(run(1).intervals.size(), kept) << "a stopped run got later readings";
  }
  {
    FakeTool tool("echo 'iperf3: error - unable to connect to server: Connection refused' >&2; exit 1");
    click(client->start_button.get());
    ASSERT_TRUE(pump_until([&] { return client_idle(); }));
    EXPECT_EQ(run(2).end, RunEnd::Error);
    EXPECT_EQ(run(2).error_text, "iperf3 error: unable to connect to server: Connection refused");
    EXPECT_TRUE(run(2).intervals.empty());
  }
  EXPECT_EQ(run(1).end, RunEnd::Stopped) << "a later run changed an earlier record";
  EXPECT_EQ(log->runs().size(), 3u);
}

TEST_F(RunLogFixture, EachServedClientGetsARecordThatEndsWithIt) {
  // Two clients in turn, a client that went early (the server's error
  // comes before its next "Server listening"), one whose early end the
  // server tells only after its summary, then one still connected when the
  // server is stopped.
  const std::string early = capture("stopped-early-bidir-P2-server.txt");
  const std::string early_after = capture("early-sigint-server.txt");
  FakeTool tool("cat '" + capture("two-clients-server.txt") + "'\n" +
                "head -n 22 '" + early + "'\n"
                "echo 'iperf3: error - unable to write to stream socket: Connection reset by peer' >&2\n"
                "sleep 0.3\n"
                "tail -n 3 '" + early + "'\n"
                "sed -n 4,15p '" + early_after + "'\n"
                "sleep 0.3\n"
                "echo 'iperf3: the client has terminated' >&2\n"
                "sleep 0.3\n"
                "echo 'Accepted connection from 192.0.2.7, port 40000'\n"
                "echo '[  5] local 127.0.0.1 port 5201 connected to 192.0.2.7 port 40002'\n"
                "echo '[ ID] Interval           Transfer     Bitrate'\n"
                "echo '[  5]   0.00-1.00   sec  1.00 MBytes  8.39 Mbits/sec'\n"
                "sleep 30\n");
  compat::switch_row_set_active(server->one_off_row.get(), true);
  click(server->start_button.get());
  EXPECT_TRUE(log->runs().empty()) << "a server without clients has no runs";
  ASSERT_TRUE(pump_until([&] { return log->runs().size() == 5 && run(4).intervals.size() == 1; }));

  EXPECT_EQ(run(0).page, RunPage::Server);
  EXPECT_EQ(run(0).far_end, "127.0.0.1");
  EXPECT_EQ(run(0).options_summary, "port 5201 · one-off");
  EXPECT_EQ(run(0).end, RunEnd::Result);
  EXPECT_EQ(run(0).result_text, "Result — send: 0 Kbit/s · receive: 8.39 Gbit/s");
  EXPECT_EQ(run(0).details_text, "Last client: 127.0.0.1 — receive: 8.39 Gbit/s");
  EXPECT_EQ(directions(run(0)), (std::vector<Direction>{R, R, R}));

  // A reverse test's server prints sender lines only: no result line.
  EXPECT_EQ(run(1).end, RunEnd::Result);
  EXPECT_EQ(run(1).result_text, "");
  EXPECT_EQ(run(1).details_text, "Last client: 127.0.0.1 — send: 9.13 Gbit/s · Retransmits: 8");
  EXPECT_EQ(directions(run(1)), (std::vector<Direction>{S, S, S}));

  EXPECT_EQ(run(2).end, RunEnd::EndedEarly);
  EXPECT_EQ(run(2).error_text, "unable to write to stream socket: Connection reset by peer");
  EXPECT_EQ(directions(run(2)), (std::vector<Direction>{R, S, R, S}));

  EXPECT_EQ(run(3).end, RunEnd::EndedEarly);
  EXPECT_EQ(run(3).result_text, "Result — send: 0 Kbit/s · receive: 13.60 Gbit/s");
  EXPECT_EQ(run(3).details_text,
            "Last client: 127.0.0.1 — receive: 13.60 Gbit/s · ended early (the client has terminated)");
  EXPECT_EQ(run(3).error_text, "the client has terminated");
  EXPECT_EQ(directions(run(3)), (std::vector<Direction>{R, R}));

  EXPECT_EQ(run(4).far_end, "192.0.2.7");
  EXPECT_EQ(run(4).end, RunEnd::Running);
  click(server->start_button.get());
  EXPECT_EQ(run(4).end, RunEnd::Stopped);
  EXPECT_EQ(run(2).end, RunEnd::EndedEarly);
}

TRELLAN_GTK_TEST_MAIN()
