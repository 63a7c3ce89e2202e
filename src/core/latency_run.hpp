// The latency side of one client test: an idle second of ping before the
// test, ping beside it while it runs, and what the page's latency line says
// at each step. Times are seconds on one monotonic clock.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/latency.hpp"
#include "core/run_record.hpp"

namespace trellan {

class LatencyRun {
 public:
  static constexpr double kIdleSeconds = 1.0;

  explicit LatencyRun(double start) : start_(start) {}

  void on_ping(double t, const PingEvent& event);
  // ping could not be started, or said why it gave up ("ping not found …").
  void on_ping_failure(const std::string& reason);
  // ping ended; `code` as the runner reports it.
  void on_ping_exit(int code);

  // Whether the test should start now: the idle second is over, or ping
  // failed and waiting longer would change nothing.
  bool idle_over(double t) const;
  // Ends the idle phase. True when latency is measured from here on; false
  // when the test goes on without it (the line then says why).
  bool start_load(double t);

  // An interval record of the test was printed: updates the live line. The
  // two records of a bidirectional interval count as one interval.
  void on_interval(double t, const IntervalRecord& record);
  // The test ended: the line becomes the end line.
  void finish();

  bool measured() const { return measured_; }
  // What the latency line shows; empty while there is nothing to say.
  const std::string& line() const { return line_; }
  std::optional<LatencyFigures> figures() const;
  std::vector<IntervalLatency> intervals() const { return meter_.intervals(); }
  const LatencyMeter& meter() const { return meter_; }

 private:
  double start_;
  LatencyMeter meter_;
  std::optional<std::string> failure_;  // ping's first word on why it failed
  bool ping_ended_ = false;
  bool measured_ = false;
  bool load_started_ = false;
  std::string line_;
  struct Key {
    std::string start, end;
    bool omitted = false;
    bool operator==(const Key&) const = default;
  };
  std::optional<Key> last_interval_;
};

}  // namespace trellan
