// The latency side of one client test: an idle second of ping before the
// test, ping beside it while it runs, and what the page's latency line says
// at each step. Times are seconds on one monotonic clock.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/latency.hpp"
#include "core/run_record.hpp"

namespace trellan {

// ping ended; `code` as the runner reports it.
struct PingEnded {
  int code = 0;
};

// What the ping beside a test says, as its run session takes it: ping's
// lines, a reason it could not run (its own, or the runner's "ping not
// found in PATH"), and its end.
using PingRunEvent = std::variant<PingReply, PingUnanswered, PingFailure, PingEnded>;

class LatencyRun {
 public:
  static constexpr double kIdleSeconds = 1.0;
  static constexpr double kSettleSeconds = 2.0;

  // `idle_s`: how long the idle phase lasts (a link check's baseline is
  // longer than a test's second).
  explicit LatencyRun(double start, double idle_s = kIdleSeconds) : start_(start), idle_s_(idle_s) {}

  // One event of ping's, read at `t`. True when the line changed.
  bool on_ping(double t, const PingRunEvent& event);

  // Whether the test should start now: the idle second is over, or ping
  // failed and waiting longer would change nothing.
  bool idle_over(double t) const;
  // Ends the idle phase. True when latency is measured from here on; false
  // when the test goes on without it (the line then says why).
  bool start_load(double t);

  // A line of one of the test's intervals came at `t` (with several streams,
  // each stream's line and the "[SUM]" line).
  void on_test_line(double t);
  // An interval record of the test came (after its lines): its probes are
  // the ones sent in it, and the live line follows. Returns the interval's
  // index; the two records of a bidirectional interval share one.
  std::size_t on_interval(double t, const IntervalRecord& record);
  // The test ended: its intervals are all there. Returns how long to wait
  // for the replies to probes still in flight (0: none is), bounded by
  // kSettleSeconds and by the largest round-trip time seen: on a deep queue
  // the probes of the last second or two are answered after the test, and
  // are not lost. Replies that come meanwhile count; the line stays.
  double end_test();
  // Every probe sent in the test has its reply, or measuring ended.
  bool settled() const { return !measured_ || meter_.in_flight() == 0; }
  // The latency closes: the line becomes the end line, and probes still
  // unanswered are lost. Ends the test first if that was not done.
  void finish();

  bool measured() const { return measured_; }
  // Measuring has ended before the test did: ping may stop.
  bool gave_up() const { return gave_up_; }
  // What the latency line shows; empty while there is nothing to say.
  const std::string& line() const { return line_; }
  // The figures, once a probe was answered and while latency is measured.
  std::optional<LatencyFigures> figures() const;
  const LatencyMeter& meter() const { return meter_; }

 private:
  void give_up(const std::string& reason);
  std::string silent_reason() const;
  bool update_live_line(double t);

  double start_;
  double idle_s_;
  LatencyMeter meter_;
  std::optional<std::string> failure_;  // ping's first word on why it failed
  bool ping_ended_ = false;
  bool measured_ = false;
  bool load_started_ = false;
  bool gave_up_ = false;
  bool test_ended_ = false;
  bool finished_ = false;
  double load_start_ = 0;
  std::optional<double> first_line_;  // of the interval whose record comes next
  std::string line_;
};

}  // namespace trellan
