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
#include <cstdio>
#include <fstream>
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
  std::optional<double> settle_s;  // how long the latency could wait after the test
};

// Runs a client test with ping beside it, as the window does: ping's and
// iperf3's events go to the run's session, which says when iperf3 starts.
// With `stop_after`, the user presses Stop once that many intervals came.
Ended run_test(const std::string& server = "10.78.0.2", unsigned duration = 5, std::size_t stop_after = 0) {
  ClientOptions options;
  options.server = server;
  options.duration = duration;
  RunSetup setup;
  setup.idle_latency = true;
  RunSession session(setup);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::optional<RunHandle> iperf;
  Ended ended;
  // The watches may outlive this call: they let go once it returned.
  auto alive = std::make_shared<bool>(true);
  std::function<void(const PageAnswer&)> take;
  bool over = false, latency_ended = false;
  std::size_t intervals = 0;
  std::optional<RunHandle> ping;
  guint settle_source = 0;
  struct Call {
    RunSession* session;
    std::function<void(const PageAnswer&)>* take;
    guint* settle_source;
  } call{&session, &take, &settle_source};
  take = [&](const PageAnswer& a) {
    if (a.latency_line) ended.line = *a.latency_line;
    ended.ping_stopped |= a.stop_ping;
    if (a.stop_ping && ping) ping->stop();
    for (const auto& s : a.record) {
      if (s.kind == RecordStep::Kind::Latency && s.latency.ended) {
        ended.figures = s.latency.figures;
        ended.records = s.latency.records;
        latency_ended = true;
      }
      if (s.kind == RecordStep::Kind::Add) ++intervals;
    }
    if (a.stop_run && iperf) iperf->stop();
    if (a.settle_latency_s) {
      // As the window does: the latency closes at the latest after the wait.
      ended.settle_s = a.settle_latency_s;
      settle_source = g_timeout_add_once(
          static_cast<guint>(*a.settle_latency_s * 1000),
          [](gpointer data) {
            auto* c = static_cast<Call*>(data);
            *c->settle_source = 0;
            (*c->take)(c->session->settle_latency());
          },
          &call);
    }
    over |= a.over;
    if (over && latency_ended) g_main_loop_quit(loop);
    if (stop_after > 0 && intervals == stop_after && !over) {
      intervals = 0;
      take(session.stop());
      return;
    }
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
  auto [ping_handle, ping_rx] = start_ping(options.ping_args());
  ping = std::move(ping_handle);
  take(session.ping_started(now_s()));
  watch_events(std::move(ping_rx), [&, alive](std::optional<IperfEvent> ev) {
    if (!ev || !*alive) return false;
    if (const auto* p = std::get_if<Ping>(&*ev))
      take(session.on_ping(static_cast<double>(p->at_us) / 1e6,
                           std::visit([](const auto& e) -> PingRunEvent { return e; }, p->event)));
    return true;
  });
  g_timeout_add_once(
      1000, [](gpointer data) { auto* c = static_cast<Call*>(data); (*c->take)(c->session->idle_tick(now_s())); },
      &call);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  if (settle_source) g_source_remove(settle_source);
  *alive = false;
  ping.reset();
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

// A deep queue: client and server namespaces joined through a router
// namespace whose way to the server is a 20 Mbit/s token bucket that holds
// 3 MB (over a second of data), reno at both ends so that TCP fills it.
class DeepQueue {
 public:
  DeepQueue() {
    const std::string pid = std::to_string(::getpid());
    for (const char* n : {"a", "r", "b"}) ns_.push_back(std::string("trellan-deep-") + n + "-" + pid);
  }
  ~DeepQueue() {
    if (reference_ > 0) {
      ::kill(reference_, SIGKILL);
      ::waitpid(reference_, nullptr, 0);
    }
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      ::waitpid(server_, nullptr, 0);
    }
    if (home_ >= 0) {
      ::setns(home_, CLONE_NEWNET);
      ::close(home_);
    }
    for (const auto& n : ns_) sh("ip netns del " + n);
  }

  std::string make() {
    if (::geteuid() != 0) return "making network namespaces needs root";
    if (!sh("command -v tc && command -v iperf3 && command -v ping"))
      return "tc, iperf3 or ping is missing (Debian: iproute2, iperf3, iputils-ping)";
    for (const auto& n : ns_)
      if (!sh("ip netns add " + n)) return "ip netns add failed";
    const std::string a = in(0), r = in(1), b = in(2);
    if (!sh(a + "ip link add va type veth peer name ra netns " + ns_[1]) ||
        !sh(r + "ip link add rb type veth peer name vb netns " + ns_[2]) ||
        !sh(a + "ip addr add 10.81.1.1/24 dev va") || !sh(r + "ip addr add 10.81.1.2/24 dev ra") ||
        !sh(r + "ip addr add 10.81.2.1/24 dev rb") || !sh(b + "ip addr add 10.81.2.2/24 dev vb"))
      return "the veth pairs could not be set up";
    for (const auto& [ns, dev] : {std::pair{a, "va"}, {r, "ra"}, {r, "rb"}, {b, "vb"}, {a, "lo"}, {r, "lo"}, {b, "lo"}})
      if (!sh(ns + "ip link set " + dev + " up")) return "a link could not be brought up";
    if (!sh(a + "ip route add default via 10.81.1.2") || !sh(b + "ip route add default via 10.81.2.1") ||
        !sh(r + "sysctl -q -w net.ipv4.ip_forward=1"))
      return "the routes could not be set up";
    for (const auto& ns : {a, b})
      if (!sh(ns + "sysctl -q -w net.ipv4.tcp_congestion_control=reno")) return "reno is not available";
    if (!sh(r + "tc qdisc add dev rb root tbf rate 20mbit burst 32kbit limit 3000000"))
      return "the token-bucket filter could not be added";
    server_ = ::fork();
    if (server_ == 0) {
      ::execlp("nsenter", "nsenter", ("--net=/run/netns/" + ns_[2]).c_str(), "iperf3", "-s", "-p", "5201", "-B",
               "10.81.2.2", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int ns = ::open(("/run/netns/" + ns_[0]).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
    if (ns >= 0) ::close(ns);
    if (!entered) return "could not enter the namespace";
    for (int i = 0; i < 100; ++i) {
      if (sh(b + "ss -Hltn 'sport = :5201' | grep -q 5201")) return {};
      g_usleep(50000);
    }
    return "the iperf3 server did not start";
  }

  // A reference ping beside the app's, ten probes a second, its output to
  // `log`.
  void start_reference(const std::string& log) {
    reference_ = ::fork();
    if (reference_ == 0) {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(127);
      ::execlp("ping", "ping", "-n", "-i", "0.1", "10.81.2.2", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // Ends the reference ping as a user's Ctrl-C would: it counts its probes
  // still unanswered as lost and prints its statistics.
  void end_reference() {
    ::kill(reference_, SIGINT);
    ::waitpid(reference_, nullptr, 0);
    reference_ = -1;
  }

 private:
  std::string in(std::size_t i) const { return "nsenter --net=/run/netns/" + ns_[i] + " "; }
  std::vector<std::string> ns_;
  pid_t server_ = -1, reference_ = -1;
  int home_ = -1;
};

// Runs the main loop for `ms` milliseconds.
void run_for(unsigned ms) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add_once(ms, [](gpointer l) { g_main_loop_quit(static_cast<GMainLoop*>(l)); }, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
}

// Stop pressed on a queue that holds over a second of data: the probes of
// the last second are answered after the Stop and count as answered, so the
// loss is what a ping beside it that was let finish counts, not the probes
// that were in flight (without the wait: 6 of 77 lost, 8 s of a 1 s queue).
TEST(LatencyUnderLoad, ProbesInFlightAtStopOnADeepQueueAreNotLost) {
  DeepQueue link;
  if (const std::string why = link.make(); !why.empty()) GTEST_SKIP() << why;
  char log_template[] = "/tmp/trellan-reference-ping-XXXXXX";
  const int log_fd = ::mkstemp(log_template);
  ASSERT_GE(log_fd, 0);
  ::close(log_fd);
  const std::string log = log_template;
  link.start_reference(log);

  const Ended stopped = run_test("10.81.2.2", 30, 8);
  // The reference's own probes in flight at the Stop get the time ours had.
  run_for(static_cast<unsigned>(stopped.settle_s.value_or(0) * 1000) + 500);
  link.end_reference();
  std::ifstream in(log);
  std::string stats;
  for (std::string line; std::getline(in, line);)
    if (line.find(" packets transmitted, ") != std::string::npos) stats = line;
  ::unlink(log.c_str());
  unsigned transmitted = 0, received = 0;
  ASSERT_EQ(std::sscanf(stats.c_str(), "%u packets transmitted, %u received", &transmitted, &received), 2) << stats;
  const unsigned reference_lost = transmitted - received;
  std::printf("%s\nreference: %s\n", stopped.line.c_str(), stats.c_str());

  ASSERT_TRUE(stopped.figures) << stopped.line;
  ASSERT_TRUE(stopped.figures->loaded_max_ms);
  // The queue was deep: replies took several of ping's gaps.
  EXPECT_GT(*stopped.figures->loaded_max_ms, 300.0) << stopped.line;
  // It waited at most a couple of seconds for them.
  EXPECT_LE(stopped.settle_s.value_or(0), 2.0);
  // Loss as the reference counts it (the full queue drops some of either's
  // probes): its share of the probes, give or take two.
  const double share = static_cast<double>(reference_lost) / transmitted;
  EXPECT_LE(stopped.figures->lost, share * static_cast<double>(stopped.figures->sent) + 2)
      << stopped.line << " / reference: " << stats;
  // The interval before the Stop: its ten probes left with a second of data
  // queued ahead of them, and were answered after it.
  ASSERT_FALSE(stopped.records.empty());
  EXPECT_TRUE(stopped.records.back().median_ms) << "the last interval before the Stop has no median";
  EXPECT_LE(stopped.records.back().lost, share * 10 + 2) << stopped.line << " / reference: " << stats;
  EXPECT_TRUE(stopped.ping_stopped);
}

}  // namespace
}  // namespace trellan
