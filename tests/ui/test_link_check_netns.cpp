// A link check through a real bottleneck: three network namespaces, the
// client's, a router's and the server's, with a token-bucket filter on each
// of the router's two ways out, and a real iperf3 server beyond it. The
// window's process enters the client's namespace, so its iperf3 and ping
// run there. A deep queue makes calls stutter; a queue of two packets
// hardly delays anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/run_words.hpp"
#include "core/text.hpp"
#include "fake_tool.hpp"
#include "link_check_helpers.hpp"
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

bool sh(const std::string& command) { return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0; }

class Bottleneck {
 public:
  Bottleneck() : tag_(std::to_string(::getpid())) {}
  ~Bottleneck() {
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
    if (home_ >= 0) {
      ::setns(home_, CLONE_NEWNET);
      ::close(home_);
    }
    for (const char* n : {"c", "r", "s"}) sh("ip netns del " + name(n));
  }

  // Empty when everything is up; otherwise what could not be made.
  std::string make(const std::string& limit) {
    if (::geteuid() != 0) return "making network namespaces needs root";
    if (!sh("command -v tc && command -v iperf3 && command -v ping && command -v nsenter"))
      return "tc, iperf3, ping or nsenter is missing (Debian: iproute2, iperf3, iputils-ping, util-linux)";
    for (const char* n : {"c", "r", "s"})
      if (!sh("ip netns add " + name(n))) return "ip netns add failed";
    const std::string c = in("c"), r = in("r"), s = in("s");
    const bool wired =
        sh(c + "ip link add vc type veth peer name rc netns " + name("r")) &&
        sh(s + "ip link add vs type veth peer name rs netns " + name("r")) &&
        sh(c + "ip addr add 10.79.1.1/24 dev vc") && sh(r + "ip addr add 10.79.1.2/24 dev rc") &&
        sh(s + "ip addr add 10.79.2.1/24 dev vs") && sh(r + "ip addr add 10.79.2.2/24 dev rs") &&
        sh(c + "ip link set vc up") && sh(r + "ip link set rc up") && sh(r + "ip link set rs up") &&
        sh(s + "ip link set vs up") && sh(c + "ip link set lo up") && sh(s + "ip link set lo up") &&
        sh(c + "ip route add default via 10.79.1.2") && sh(s + "ip route add default via 10.79.2.2") &&
        sh(r + "sysctl -q -w net.ipv4.ip_forward=1");
    if (!wired) return "the namespaces could not be wired";
    // The ends start with bbr here, which keeps queues short (and a new
    // namespace may choose only among the allowed ones: reno, not cubic).
    if (!sh(c + "sysctl -q -w net.ipv4.tcp_congestion_control=reno") ||
        !sh(s + "sysctl -q -w net.ipv4.tcp_congestion_control=reno"))
      return "reno could not be chosen";
    for (const char* dev : {"rc", "rs"})
      if (!sh(r + "tc qdisc add dev " + dev + " root tbf rate 20mbit burst 32kbit limit " + limit))
        return "the token-bucket filter could not be added";
    server_ = ::fork();
    if (server_ == 0) {
      ::execlp("nsenter", "nsenter", ("--net=/run/netns/" + name("s")).c_str(), "iperf3", "-s", "-p", "5201", "-B",
               "10.79.2.1", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int ns = ::open(("/run/netns/" + name("c")).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
    if (ns >= 0) ::close(ns);
    if (!entered) return "could not enter the namespace";
    // The server listens once ss says so (a probe connection would be a client).
    for (int i = 0; i < 100; ++i) {
      if (sh(s + "ss -Hltn 'sport = :5201' | grep -q 5201")) return {};
      g_usleep(50000);
    }
    return "the iperf3 server did not start";
  }

 private:
  std::string name(const char* n) const { return std::string("trellan-lc-") + n + "-" + tag_; }
  std::string in(const char* n) const { return "nsenter --net=/run/netns/" + name(n) + " "; }
  std::string tag_;
  pid_t server_ = -1;
  int home_ = -1;
};

struct LinkCheckNetns : trellan::testing::WindowFixture {
  std::unique_ptr<trellan::testing::FakeTool> wrapper;
  std::unique_ptr<Bottleneck> link;
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
    link = std::make_unique<Bottleneck>();
    if (const std::string why = link->make(limit); !why.empty()) GTEST_SKIP() << why;
    gtk_editable_set_text(GTK_EDITABLE(client->server_row.get()), "10.79.2.1");
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
