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
using trellan::testing::label_text;

namespace {

std::string capture(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  return std::string(dir ? dir : "captures") + "/iperf3-3.12/" + name;
}

struct RunLogFixture : WindowFixture {
  std::shared_ptr<RunLog> log;

  void SetUp() override {
    WindowFixture::SetUp();
    log = run_log_of(window);
  }
  const RunRecord& run(std::size_t i) const { return *log->runs().at(i); }
};

}  // namespace

// What the records say is decided and tested in core (test_run_session);
// here, that the pages keep them: from the click, with the form's options,
// ending as the page shows, and not touched by a stopped run's late events.
TEST_F(RunLogFixture, BothPagesRecordTheirRunsFromTheClickToTheirEnd) {
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
    EXPECT_EQ(run(0).result_text, label_text(client->status_label.get()));
    EXPECT_EQ(run(0).details_text, label_text(client->details_label.get()));
    EXPECT_EQ(run(0).intervals.size(), 6u);
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
  // Two served clients, then one still connected when the server is stopped.
  FakeTool tool("cat '" + capture("two-clients-server.txt") + "'\n" +
                "echo 'Accepted connection from 192.0.2.7, port 40000'\n"
                "echo '[  5] local 127.0.0.1 port 5201 connected to 192.0.2.7 port 40002'\n"
                "echo '[ ID] Interval           Transfer     Bitrate'\n"
                "echo '[  5]   0.00-1.00   sec  1.00 MBytes  8.39 Mbits/sec'\n"
                "sleep 30\n");
  compat::switch_row_set_active(server->one_off_row.get(), true);
  click(server->start_button.get());
  EXPECT_EQ(log->runs().size(), 2u) << "a server without clients has no runs";
  ASSERT_TRUE(pump_until([&] { return log->runs().size() == 5 && run(4).intervals.size() == 1; }));
  EXPECT_EQ(run(2).page, RunPage::Server);
  EXPECT_EQ(run(2).options_summary, "port 5201 · one-off");
  EXPECT_EQ(run(3).end, RunEnd::Result);
  EXPECT_EQ(run(3).details_text, label_text(server->details_label.get()));
  EXPECT_EQ(run(4).far_end, "192.0.2.7");
  EXPECT_EQ(run(4).end, RunEnd::Running);
  click(server->start_button.get());
  EXPECT_EQ(run(4).end, RunEnd::Stopped);
  EXPECT_EQ(run(1).end, RunEnd::Stopped) << "a later run changed an earlier record";
}

TRELLAN_GTK_TEST_MAIN()
