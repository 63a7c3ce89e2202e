// Latency under load on a real bottleneck: two network namespaces joined by
// a veth pair, the sending side shaped to 50 Mbit/s by a token-bucket filter,
// a real iperf3 server on the far side. The test's own thread enters the
// near namespace, then pings and runs iperf3 as a client test does: an idle
// second of probes, then the test with ping beside it.
#include "core/latency_run.hpp"
#include "core/options.hpp"
#include "process/iperf.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace trellan {
namespace {

// Runs a shell command; true when it succeeded.
bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class Bottleneck {
 public:
  Bottleneck()
      : a_("trellan-lat-a-" + std::to_string(::getpid())), b_("trellan-lat-b-" + std::to_string(::getpid())) {}
  ~Bottleneck() {
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
    if (home_ >= 0) {
      ::setns(home_, CLONE_NEWNET);
      ::close(home_);
    }
    sh("ip netns del " + a_);
    sh("ip netns del " + b_);
  }

  // Empty when everything is up; otherwise what could not be made.
  std::string make() {
    if (::geteuid() != 0) return "making network namespaces needs root";
    if (!sh("command -v tc && command -v iperf3 && command -v ping"))
      return "tc, iperf3 or ping is missing (Debian: iproute2, iperf3, iputils-ping)";
    const std::string in_a = "nsenter --net=/run/netns/" + a_ + " ";
    const std::string in_b = "nsenter --net=/run/netns/" + b_ + " ";
    if (!sh("ip netns add " + a_) || !sh("ip netns add " + b_)) return "ip netns add failed";
    if (!sh(in_a + "ip link add va type veth peer name vb netns " + b_) ||
        !sh(in_a + "ip addr add 10.78.0.1/24 dev va") || !sh(in_b + "ip addr add 10.78.0.2/24 dev vb") ||
        !sh(in_a + "ip link set va up") || !sh(in_b + "ip link set vb up") || !sh(in_a + "ip link set lo up") ||
        !sh(in_b + "ip link set lo up"))
      return "the veth pair could not be set up";
    if (!sh(in_a + "tc qdisc add dev va root tbf rate 50mbit burst 32kbit latency 300ms"))
      return "the token-bucket filter could not be added";

    server_ = ::fork();
    if (server_ == 0) {
      ::execlp("nsenter", "nsenter", ("--net=/run/netns/" + b_).c_str(), "iperf3", "-s", "-p", "5201",
               "-B", "10.78.0.2", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int ns = ::open(("/run/netns/" + a_).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
    if (ns >= 0) ::close(ns);
    if (!entered) return "could not enter the namespace";
    // Wait until the server listens (a connection would count as a client).
    for (int i = 0; i < 100; ++i) {
      if (sh(in_b + "ss -Hltn 'sport = :5201' | grep -q 5201")) return {};
      g_usleep(50000);
    }
    return "the iperf3 server did not start";
  }

 private:
  std::string a_, b_;
  pid_t server_ = -1;
  int home_ = -1;
};

double now_s() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

TEST(LatencyUnderLoad, ShapedLinkShowsSeveralTimesTheIdleDelayInEveryInterval) {
  Bottleneck link;
  if (const std::string why = link.make(); !why.empty()) GTEST_SKIP() << why;

  ClientOptions options;
  options.server = "10.78.0.2";
  options.duration = 5;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  LatencyRun latency(now_s());
  std::optional<RunHandle> iperf;
  std::size_t readings = 0;

  auto [ping, ping_rx] = start_ping(options.ping_args());
  watch_events(std::move(ping_rx), [&](std::optional<IperfEvent> ev) {
    if (ev)
      if (const auto* p = std::get_if<Ping>(&*ev)) latency.on_ping(static_cast<double>(p->at_us) / 1e6, p->event);
    return ev.has_value();
  });
  const auto start_test = [&] {
    ASSERT_TRUE(latency.start_load(now_s())) << latency.line();
    auto [handle, rx] = start_iperf(options.to_args(), false);
    iperf = std::move(handle);
    watch_events(std::move(rx), [&](std::optional<IperfEvent> ev) {
      if (!ev) return false;
      if (const auto* i = std::get_if<Interval>(&*ev); i && i->record) {
        latency.on_interval(now_s(), *i->record);
        ++readings;
      }
      if (std::holds_alternative<Exited>(*ev)) g_main_loop_quit(loop);
      return true;
    });
  };
  struct Call {
    decltype(start_test)* f;
  } call{&start_test};
  g_timeout_add_once(1000, [](gpointer data) { (*static_cast<Call*>(data)->f)(); }, &call);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  ping.stop();
  latency.finish();

  ASSERT_EQ(readings, 5u);
  const auto f = latency.figures();
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->loaded_median_ms);
  EXPECT_GE(*f->loaded_median_ms, 5 * f->idle_ms) << latency.line();
  for (const auto& interval : latency.intervals()) EXPECT_TRUE(interval.median_ms) << latency.line();
  std::printf("%s\n", latency.line().c_str());
}

}  // namespace
}  // namespace trellan
