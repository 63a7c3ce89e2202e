// A link check through a real bottleneck: three network namespaces, the
// client's, a router's and the server's, with a token-bucket filter on each
// of the router's two ways out, and a real iperf3 server beyond it. The
// window's process enters the client's namespace, so its iperf3 and ping
// run there. A deep queue makes calls stutter; a queue of two packets
// hardly delays anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/run_words.hpp"
#include "core/text.hpp"
#include "fake_tool.hpp"
#include "link_check_helpers.hpp"
#include "shaped_link.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::button_text;
using trellan::testing::children;
using trellan::testing::real_tool;
using trellan::testing::receiver_mbps;
using trellan::testing::click;
using trellan::testing::label_text;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

namespace {

struct LinkCheckNetns : trellan::testing::WindowFixture {
  std::unique_ptr<trellan::testing::FakeTool> wrapper;
  std::unique_ptr<trellan::testing::ShapedLink> link;
  GtkWidget* check_button = nullptr;

  void SetUp() override {
    const std::string iperf3 = real_tool("iperf3");
    if (iperf3.empty()) GTEST_SKIP() << "iperf3 is not installed";
    wrapper = std::make_unique<trellan::testing::FakeTool>(
        "exec '" + iperf3 + "' \"$@\" > >(tee \"$(dirname \"$0\")/out.$$\")");
    WindowFixture::SetUp();
  }
  void TearDown() override {
    WindowFixture::TearDown();
    link.reset();
  }

  // Runs a check through a queue of `limit` bytes; returns the page's lines.
  void check(const std::string& limit) {
    // 20 Mbit/s both ways, reno at both ends to fill the queue.
    link = std::make_unique<trellan::testing::ShapedLink>("lc", 79);
    if (const std::string why = link->make({"rate 20mbit burst 32kbit limit " + limit, true, true}); !why.empty())
      GTEST_SKIP() << why;
    gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), link->server().c_str());
    compat::spin_row_set_value(client->duration_row.get(), 3);
    check_button = gtk_widget_get_next_sibling(client->start_button.get());
    ASSERT_EQ(button_text(check_button), "Check link");
    click(check_button);
    ASSERT_TRUE(pump_until([&] { return gtk_widget_get_sensitive(check_button) && client_idle(); }, 30))
        << label_text(client->status_label.get());
    pump_for(0.3);  // tee's last lines
    std::printf("limit %s:\n%s\n%s\n%s\n", limit.c_str(), status().c_str(),
                label_text(client->latency_label.get()).c_str(), label_text(client->details_label.get()).c_str());
    // Three tests, -R first, then plain: the rates are their receiver figures.
    std::vector<size_t> clients;  // the version asked at start-up is a launch too
    for (size_t i = 0; i < wrapper->pids().size(); ++i)
      if (!wrapper->args(i).empty() && wrapper->args(i)[0] == "-c") clients.push_back(i);
    ASSERT_EQ(clients.size(), 3u);
    const auto down = receiver_mbps(output_of(clients[0])), up = receiver_mbps(output_of(clients[1]));
    ASSERT_TRUE(down && up);
    EXPECT_TRUE(status().starts_with("Link check — download " + rate_text(*down) + ", upload " + rate_text(*up) +
                                     "; bufferbloat grade "))
        << status();
    EXPECT_EQ(children("iperf3", "-c"), 0);  // the server beyond the router is the test's
    EXPECT_EQ(children("ping"), 0);
  }

  std::string status() const { return label_text(client->status_label.get()); }
  std::string grade() const { return status().substr(status().rfind(' ') + 1); }
  std::string output_of(size_t launch) const {
    return wrapper->dir() + "/out." + std::to_string(wrapper->pids()[launch]);
  }
};

TEST_F(LinkCheckNetns, ADeepQueueGivesCOrWorse) {
  check("3000000");
  if (IsSkipped()) return;
  EXPECT_TRUE(grade() == "C" || grade() == "D" || grade() == "F") << status();
}

TEST_F(LinkCheckNetns, AQueueOfTwoPacketsGivesAPlusOrA) {
  check("3000");
  if (IsSkipped()) return;
  EXPECT_TRUE(grade() == "A+" || grade() == "A") << status();
}

}  // namespace

TRELLAN_GTK_TEST_MAIN()
