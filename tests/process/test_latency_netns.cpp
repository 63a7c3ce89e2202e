// Latency under load on a real bottleneck: two network namespaces joined by
// a veth pair, the sending side shaped to 50 Mbit/s by a token-bucket filter,
// a real iperf3 server on the far side. The test's own thread enters the
// near namespace, then pings and runs iperf3 through a run session as a
// client test does: an idle second of probes, then the test with ping beside
// it.
#include "core/latency_text.hpp"
#include "core/options.hpp"
#include "core/run_session.hpp"
#include "process/iperf.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  // Runs a shell command in the far namespace.
  bool far(const std::string& command) const { return sh("nsenter --net=/run/netns/" + b_ + " " + command); }

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

// What a client test with latency ended with.
struct Ended {
  std::string line;
  std::optional<LatencyFigures> figures;
  std::vector<IntervalLatency> records;
  bool ping_stopped = false;
};

// Runs a 5 s client test with ping beside it, as the window does: ping's and
// iperf3's events go to the run's session, which says when iperf3 starts.
Ended run_test() {
  ClientOptions options;
  options.server = "10.78.0.2";
  options.duration = 5;
  RunSetup setup;
  setup.idle_latency = true;
  RunSession session(setup);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::optional<RunHandle> iperf;
  Ended ended;
  // The watches may outlive this call: they let go once it returned.
  auto alive = std::make_shared<bool>(true);
  std::function<void(const PageAnswer&)> take;
  take = [&](const PageAnswer& a) {
    if (a.latency_line) ended.line = *a.latency_line;
    ended.ping_stopped |= a.stop_ping;
    for (const auto& s : a.record)
      if (s.kind == RecordStep::Kind::Latency && s.latency.ended) {
        ended.figures = s.latency.figures;
        ended.records = s.latency.records;
      }
    if (a.over) g_main_loop_quit(loop);
    if (!a.start_test) return;
    auto [handle, rx] = start_iperf(options.to_args(), false);
    iperf = std::move(handle);
    take(session.launched());
    watch_events(std::move(rx), [&, alive](std::optional<IperfEvent> ev) {
      if (!ev || !*alive) return false;
      // As the window does: an interval at the time its line was read.
      const auto* interval = std::get_if<Interval>(&*ev);
      take(session.on_event(*ev, MeterState{}, interval ? static_cast<double>(interval->at_us) / 1e6 : now_s()));
      return true;
    });
  };
  take(session.start());
  auto [ping, ping_rx] = start_ping(options.ping_args());
  take(session.ping_started(now_s()));
  watch_events(std::move(ping_rx), [&, alive](std::optional<IperfEvent> ev) {
    if (!ev || !*alive) return false;
    if (const auto* p = std::get_if<Ping>(&*ev))
      take(session.on_ping(static_cast<double>(p->at_us) / 1e6,
                           std::visit([](const auto& e) -> PingRunEvent { return e; }, p->event)));
    return true;
  });
  struct Call {
    RunSession* session;
    std::function<void(const PageAnswer&)>* take;
  } call{&session, &take};
  g_timeout_add_once(
      1000, [](gpointer data) { auto* c = static_cast<Call*>(data); (*c->take)(c->session->idle_tick(now_s())); },
      &call);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  *alive = false;
  ping.stop();
  return ended;
}

TEST(LatencyUnderLoad, ShapedLinkShowsSeveralTimesTheIdleDelayAndEchoRepliesHeldBackShowAsLoss) {
  Bottleneck link;
  if (const std::string why = link.make(); !why.empty()) GTEST_SKIP() << why;

  const Ended shaped = run_test();
  EXPECT_TRUE(shaped.ping_stopped);
  ASSERT_EQ(shaped.records.size(), 5u) << shaped.line;
  ASSERT_TRUE(shaped.figures);
  ASSERT_TRUE(shaped.figures->loaded_median_ms);
  EXPECT_GE(*shaped.figures->loaded_median_ms, 5 * shaped.figures->idle_ms) << shaped.line;
  for (const auto& interval : shaped.records) EXPECT_TRUE(interval.median_ms) << shaped.line;
  EXPECT_EQ(shaped.figures->lost, 0u) << shaped.line;
  EXPECT_EQ(shaped.line.find("lost"), std::string::npos) << shaped.line;
  std::printf("%s\n", shaped.line.c_str());

  // The far side answers one echo request a second (after a burst of six):
  // most probes under load go unanswered, and the end line says so.
  ASSERT_TRUE(link.far("sysctl -q -w net.ipv4.icmp_ratelimit=1000"));
  ASSERT_TRUE(link.far("sysctl -q -w net.ipv4.icmp_ratemask=6169"));  // echo reply too
  const Ended held = run_test();
  ASSERT_TRUE(held.figures) << held.line;
  // Ten probes a second over five seconds; a busy machine (a sanitizer
  // build beside other work) starts ping's probes or iperf3's first
  // interval late and sends fewer.
  EXPECT_GE(held.figures->sent, 20u) << held.line;
  EXPECT_GE(held.figures->lost, held.figures->sent * 3 / 4) << held.line;
  EXPECT_EQ(held.line, latency_end_text(*held.figures));
  const std::string loss = std::to_string(held.figures->lost) + " of " + std::to_string(held.figures->sent) +
                           " probes lost";
  EXPECT_TRUE(held.line.ends_with(", " + loss)) << held.line;
  std::printf("%s\n", held.line.c_str());
}

}  // namespace
}  // namespace trellan
