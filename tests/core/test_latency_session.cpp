// Latency through a client test's run session, from time-stamped captures of
// ping -D beside a real iperf3 test over a 50 Mbit/s bottleneck
// (tests/captures/capture-latency.sh): each probe in the interval it was sent
// in, on iperf3's own clock. The expected values were read off the captures
// by hand: a reply's send time is its stamp less its time, and the test's
// clock starts one second before the first line of its first interval.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
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

// A deep queue: every probe under load answered 1.5 s after it left. The
// test is stopped after its third interval, with the probes of its last
// 1.5 s still in flight; they are answered after the Stop, or not.
struct DeepQueue {
  RunSession session{[] {
    RunSetup setup;
    setup.idle_latency = true;
    return setup;
  }()};
  RunRecording recording{std::make_shared<RunLog>()};
  std::vector<PageAnswer> answers;

  void take(PageAnswer a) {
    for (const auto& step : a.record) recording.apply(step);
    answers.push_back(std::move(a));
  }

  // Idle probes seq 1…9 (0.05 ms), then the test from 1 s on its clock's
  // 0: seq 11…40 leave at 1.05 … 3.95 s, and ping says "no answer yet" of
  // each as the next leaves; intervals end at 2, 3 and 4 s. Returns the
  // Stop's answer, at 4 s.
  PageAnswer run_and_stop() {
    take(session.start());
    take(session.ping_started(0.0));
    for (std::uint64_t seq = 1; seq <= 9; ++seq) take(session.on_ping(0.1 * seq, PingReply{seq, 0.05, false}));
    take(session.idle_tick(1.0));
    take(session.launched());
    for (std::uint64_t seq = 11; seq <= 40; ++seq) {
      const double sent = 1.05 + 0.1 * static_cast<double>(seq - 11);
      lines_.push_back({sent + 0.1, PingUnanswered{seq, {}}});
      lines_.push_back({sent + 1.5, PingReply{seq, 1500, false}});
    }
    std::stable_sort(lines_.begin(), lines_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (int second = 1; second <= 3; ++second) {
      feed_until(second + 1.0);
      Interval line{800};
      line.record = IntervalRecord{};
      line.record->start = second - 1;
      line.record->end = second;
      take(session.on_event(line, MeterState{}, second + 1.0));
    }
    PageAnswer stop = session.stop();
    take(stop);
    return stop;
  }
  // ping's lines up to `t`.
  void feed_until(double t) {
    for (; next_ < lines_.size() && lines_[next_].first <= t + 1e-9; ++next_)
      take(session.on_ping(lines_[next_].first, lines_[next_].second));
  }
  // ping's lines up to the reply to `seq`.
  void answer_up_to(std::uint64_t seq) { feed_until(2.55 + 0.1 * static_cast<double>(seq - 11)); }

  std::vector<std::pair<double, PingRunEvent>> lines_;
  std::size_t next_ = 0;
};

TEST(LatencySession, ProbesInFlightWhenTheTestStopsAreAnsweredOrTimeOutBeforeTheLatencyCloses) {
  {
    SCOPED_TRACE("answered after the Stop");
    DeepQueue q;
    const PageAnswer stop = q.run_and_stop();
    // iperf3 stops at once, the record ends with the Stop, ping goes on for
    // at most the largest round-trip time and a probe's gap (1.6 s).
    EXPECT_TRUE(stop.stop_run);
    EXPECT_FALSE(stop.stop_ping);
    ASSERT_TRUE(stop.settle_latency_s);
    EXPECT_GT(*stop.settle_latency_s, 1.6 - 1e-9);
    EXPECT_LE(*stop.settle_latency_s, 2.0);
    EXPECT_EQ(stop.status->text, "Test stopped.");
    EXPECT_TRUE(q.session.latency_settling());
    const std::uint64_t first = q.recording.ended_id;
    ASSERT_NE(first, 0u);
    EXPECT_EQ(q.recording.log->find(first)->end, RunEnd::Stopped);
    EXPECT_FALSE(q.recording.log->find(first)->latency);
    // Another run begins meanwhile: the latency still goes to the first.
    q.recording.apply([] {
      RecordStep b;
      b.kind = RecordStep::Kind::Begin;
      return b;
    }());
    const std::uint64_t second = q.recording.open_id;
    // Seq 26…40 (sent 2.55 … 3.95 s) come back 1.5 s later.
    q.answer_up_to(39);
    EXPECT_TRUE(q.session.latency_settling());
    q.answer_up_to(40);
    EXPECT_FALSE(q.session.latency_settling());
    EXPECT_TRUE(q.answers.back().stop_ping);
    EXPECT_EQ(*q.answers.back().latency_line, "Latency: 0.050 ms idle, 1500 ms under load (+1500 ms)");
    const RunRecord& run = *q.recording.log->find(first);
    ASSERT_TRUE(run.latency);
    EXPECT_EQ(run.latency->sent, 30u);
    EXPECT_EQ(run.latency->lost, 0u);
    ASSERT_EQ(run.interval_latency.size(), 3u);
    EXPECT_NEAR(*run.interval_latency[2].median_ms, 1500, 1e-9);
    EXPECT_EQ(run.probes.size(), 30u);
    EXPECT_FALSE(q.recording.log->find(second)->latency);
  }
  {
    SCOPED_TRACE("timed out");
    DeepQueue q;
    q.run_and_stop();
    // Seq 26…35 answered; 36…40 (sent 3.45 … 3.95 s) never are.
    q.answer_up_to(35);
    EXPECT_TRUE(q.session.latency_settling());
    const PageAnswer closed = q.session.settle_latency();
    q.take(closed);
    EXPECT_TRUE(closed.stop_ping);
    EXPECT_EQ(*closed.latency_line, "Latency: 0.050 ms idle, 1500 ms under load (+1500 ms), 5 of 30 probes lost");
    const RunRecord& run = *q.recording.log->find(q.recording.ended_id);
    ASSERT_TRUE(run.latency);
    EXPECT_EQ(run.latency->lost, 5u);
    EXPECT_EQ(run.interval_latency[2].lost, 5u);
  }
  {
    SCOPED_TRACE("nothing in flight");
    // Every probe answered by the Stop: the latency closes with it.
    DeepQueue q;
    q.take(q.session.start());
    q.take(q.session.ping_started(0.0));
    for (std::uint64_t seq = 1; seq <= 9; ++seq) q.take(q.session.on_ping(0.1 * seq, PingReply{seq, 0.05, false}));
    q.take(q.session.idle_tick(1.0));
    q.take(q.session.on_ping(1.1, PingReply{11, 0.05, false}));
    Interval line{800};
    line.record = IntervalRecord{};
    line.record->end = 1;
    q.take(q.session.on_event(line, MeterState{}, 2.0));
    const PageAnswer stop = q.session.stop();
    q.take(stop);
    EXPECT_FALSE(stop.settle_latency_s);
    EXPECT_TRUE(stop.stop_ping);
    EXPECT_FALSE(q.session.latency_settling());
  }
}

}  // namespace
}  // namespace trellan
