// Latency through a client test's run session, from time-stamped captures of
// ping -D beside a real iperf3 test over a 50 Mbit/s bottleneck
// (tests/captures/capture-latency.sh): each probe in the interval it was sent
// in, on iperf3's own clock. The expected values were read off the captures
// by hand: a reply's send time is its stamp less its time, and the test's
// clock starts one second before the first line of its first interval.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "latency_capture.hpp"

namespace trellan {
namespace {

struct Played {
  RunLatency end;                 // the record's latency at the end
  std::vector<RunLatency> live;   // as the run went
  std::vector<std::string> lines;
};

Played play(const std::string& name) {
  Played played;
  testing::play_latency_capture(name, RunSetup{}, [&](const PageAnswer& a) {
    if (a.latency_line) played.lines.push_back(*a.latency_line);
    for (const auto& s : a.record)
      if (s.kind == RecordStep::Kind::Latency) (s.latency.ended ? played.end : played.live.emplace_back()) = s.latency;
  });
  return played;
}

std::vector<double> medians(const RunLatency& l) {
  std::vector<double> out;
  for (const auto& i : l.records) out.push_back(i.median_ms.value_or(-1));
  return out;
}

void expect_medians(const RunLatency& l, const std::vector<double>& want) {
  const auto got = medians(l);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << "record " << i;
}

TEST(LatencyIntervals, ProbesGoToTheIntervalTheyWereSentInOnIperfsClock) {
  {
    // -P 2: each "[SUM]" line came a second after its streams' lines.
    // 0–1 s: seq 11…19 (11.7 14.2 14.3 16.7 31.7 51.7 52.8 56.2 63.5);
    // 1–2 s: seq 20…29, 8.69 … 29.4; 2–3 s: seq 30…39; 3–4.02 s: seq
    // 40…49; 4.02–5.01 s: seq 50…58. Seq 10 left 0.021 s before the test.
    SCOPED_TRACE("P2");
    const Played p = play("P2");
    expect_medians(p.end, {31.7, 10.8, 11.45, 23.7, 22.4});
    ASSERT_TRUE(p.end.figures);
    const LatencyFigures& f = *p.end.figures;
    EXPECT_EQ(f.sent, 48u);
    EXPECT_EQ(f.lost, 0u);
    // Idle: seq 1…9, 0.050 … 0.297.
    EXPECT_EQ(f.idle_sent, 9u);
    EXPECT_NEAR(f.idle_ms, 0.052, 1e-12);
    EXPECT_NEAR(*f.loaded_median_ms, 21.9, 1e-9);
    EXPECT_NEAR(*f.loaded_p95_ms, 52.8, 1e-9);
    EXPECT_NEAR(*f.loaded_max_ms, 63.5, 1e-9);
    EXPECT_EQ(p.end.text, "Latency: 0.052 ms idle, 22 ms under load (+22 ms)");
    // The plot's probes: on the test's clock, seq 11 first (answered at
    // 703.689389 after 51.7 ms; the first streams' lines at 704.522576),
    // within the hundredth that iperf3 prints its times to.
    ASSERT_EQ(p.end.probes.size(), 48u);
    EXPECT_NEAR(p.end.probes.front().t_s, 0.1151, 0.006);
    EXPECT_FLOAT_EQ(p.end.probes.front().rtt_ms, 51.7f);
    // While it ran, each "[SUM]" record's interval had its median at once.
    ASSERT_GE(p.live.size(), 2u);
    EXPECT_EQ(p.live[0].first_record, 0u);
    EXPECT_NEAR(*p.live[0].records.at(0).median_ms, 31.7, 1e-9);
    EXPECT_NEAR(*p.live[1].records.back().median_ms, 10.8, 1e-9);
  }
  {
    // -O 2: the counted intervals' clock starts again at 0, two seconds on.
    // Omitted 0–1 s: seq 12…19, 1–2 s: seq 20…28; then 2–3 s (29…38) …
    // 6–7 s (69…78), as 0–1 … 4–5 s.
    SCOPED_TRACE("O2");
    const Played p = play("O2");
    expect_medians(p.end, {11.48, 7.21, 9.15, 9.525, 12.7, 6.615, 9.315});
    ASSERT_TRUE(p.end.figures);
    EXPECT_EQ(p.end.figures->sent, 50u);  // the omitted ones not
    EXPECT_NEAR(*p.end.figures->loaded_median_ms, 8.77, 1e-9);
    EXPECT_NEAR(*p.end.figures->loaded_max_ms, 25.0, 1e-9);
    EXPECT_EQ(p.end.probes.size(), 67u);  // the plot shows them all
  }
  {
    // A relay held each connection 2 s: the test began 5.1 s after ping;
    // seq 11…48 left while iperf3 connected and count nowhere.
    SCOPED_TRACE("slow-connect");
    const Played p = play("slow-connect");
    expect_medians(p.end, {13.4, 4.33, 5.85, 6.475, 6.355});
    ASSERT_TRUE(p.end.figures);
    EXPECT_EQ(p.end.figures->idle_sent, 10u);
    EXPECT_EQ(p.end.figures->sent, 49u);
    EXPECT_NEAR(p.end.figures->idle_ms, 0.058, 1e-12);
    EXPECT_NEAR(*p.end.figures->loaded_median_ms, 6.06, 1e-9);
    EXPECT_EQ(p.end.text, "Latency: 0.058 ms idle, 6.1 ms under load (+6.0 ms)");
    for (const auto& probe : p.end.probes) EXPECT_GE(probe.t_s, 0.0f);
  }
}

// A probe that gives up stops its ping: at once when ping could not run,
// and when the router's word comes that the host cannot be reached.
TEST(LatencySession, PingStopsOnceMeasuringIsGivenUp) {
  RunSetup setup;
  setup.idle_latency = true;
  RunSession missing(setup);
  missing.start();
  missing.ping_started(0.0);
  PageAnswer a = missing.on_ping(0.01, PingFailure{"ping not found in PATH"});
  EXPECT_TRUE(a.start_test);
  EXPECT_TRUE(a.stop_ping);
  EXPECT_EQ(a.latency_line, "Latency not measured: ping not found in PATH");

  RunSession unreachable(setup);
  unreachable.start();
  unreachable.ping_started(0.0);
  for (std::uint64_t seq = 1; seq <= 9; ++seq) EXPECT_FALSE(unreachable.on_ping(0.1 * seq, PingUnanswered{seq, {}}).stop_ping);
  a = unreachable.idle_tick(1.0);
  EXPECT_TRUE(a.start_test);
  EXPECT_FALSE(a.stop_ping);  // replies may come yet
  EXPECT_FALSE(unreachable.on_ping(1.5, PingUnanswered{14, {}}).stop_ping);
  a = unreachable.on_ping(3.1, PingUnanswered{1, "Destination Host Unreachable"});
  EXPECT_TRUE(a.stop_ping);
  EXPECT_EQ(a.latency_line, "Latency not measured: Destination Host Unreachable");
  // The record keeps the reason, without figures.
  a = unreachable.on_event(Exited{0}, MeterState{}, 6.0);
  bool told = false;
  for (const auto& s : a.record)
    if (s.kind == RecordStep::Kind::Latency && s.latency.ended) {
      told = true;
      EXPECT_EQ(s.latency.text, "Latency not measured: Destination Host Unreachable");
      EXPECT_FALSE(s.latency.figures);
    }
  EXPECT_TRUE(told);
}

}  // namespace
}  // namespace trellan
