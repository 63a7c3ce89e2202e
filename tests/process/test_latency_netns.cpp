// Latency under load on a real bottleneck (a router namespace shaping the
// way to a real iperf3 server with a token-bucket filter). The test's own
// thread enters the client's namespace, then pings and runs iperf3 through a
// run session as a client test does: an idle second of probes, then the test
// with ping beside it.
#include "core/latency_text.hpp"
#include "core/options.hpp"
#include "core/run_session.hpp"
#include "process/iperf.hpp"
#include "shaped_link.hpp"

#include <glib.h>
#include <gtest/gtest.h>
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
Ended run_test(const std::string& server, unsigned duration = 5, std::size_t stop_after = 0) {
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
  testing::ShapedLink link("lat", 78);
  if (const std::string why = link.make({"rate 50mbit burst 32kbit latency 300ms"}); !why.empty()) GTEST_SKIP() << why;

  const Ended shaped = run_test(link.server());
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
  ASSERT_TRUE(link.in_server("sysctl -q -w net.ipv4.icmp_ratelimit=1000"));
  ASSERT_TRUE(link.in_server("sysctl -q -w net.ipv4.icmp_ratemask=6169"));  // echo reply too
  const Ended held = run_test(link.server());
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
  // Over a second of data queued on the way to the server: 3 MB at
  // 20 Mbit/s, with reno at both ends to fill it.
  testing::ShapedLink link("deep", 81);
  if (const std::string why = link.make({"rate 20mbit burst 32kbit limit 3000000", false, true}); !why.empty())
    GTEST_SKIP() << why;
  char log_template[] = "/tmp/trellan-reference-ping-XXXXXX";
  const int log_fd = ::mkstemp(log_template);
  ASSERT_GE(log_fd, 0);
  ::close(log_fd);
  const std::string log = log_template;
  link.start_reference(log);

  const Ended stopped = run_test(link.server(), 30, 8);
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
