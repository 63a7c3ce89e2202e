// Round-trip times of a run's ping probes, gathered while the run goes on:
// the idle median, each interval's median and lost probes, and the run's
// figures under load, kept as running summaries.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "core/ping_parser.hpp"

namespace trellan {

// The q-quantile (nearest rank; the median averages the two middle values
// of an even count) of the values added so far. Adding costs O(log n);
// reading is O(1).
class RunningQuantile {
 public:
  explicit RunningQuantile(double q) : q_(q) {}
  void add(double v);
  std::optional<double> value() const;
  std::size_t count() const { return low_.size() + high_.size(); }

 private:
  double q_;
  std::priority_queue<double> low_;                                          // the smallest k
  std::priority_queue<double, std::vector<double>, std::greater<double>> high_;  // the rest
};

// The median of a few values (reorders them).
std::optional<double> median_of(std::vector<double>& values);

// One probe under load: when it was answered (or, lost, sent), in seconds
// from the end of the idle phase, and its round-trip time (NaN: lost).
struct LatencyProbe {
  float t_s;
  float rtt_ms;
};

// One interval of the test, as the latency saw it.
struct IntervalLatency {
  std::optional<double> median_ms;  // none when no reply came in it
  std::uint64_t lost = 0;           // probes sent in it never answered
  bool operator==(const IntervalLatency&) const = default;
};

// A run's latency figures. The loaded ones cover the replies received in
// the test's intervals that were not omitted.
struct LatencyFigures {
  double idle_ms = 0;
  std::optional<double> loaded_median_ms;
  std::optional<double> loaded_p95_ms;
  std::optional<double> loaded_max_ms;
  std::uint64_t lost = 0;  // of all the probes of the run, idle ones too
  std::uint64_t sent = 0;
  bool operator==(const LatencyFigures&) const = default;
};

// Fed ping's events and the test's interval ends, with the time each came
// (seconds on one monotonic clock).
class LatencyMeter {
 public:
  static constexpr double kProbeGap = 0.1;  // ping -i 0.1

  void add(double t, const PingEvent& event);
  // The idle phase is over: what comes from now on is under load.
  void start_load(double t);
  bool loaded() const { return loaded_; }
  // An interval of the test was printed at `t`: the replies received since
  // the last one belong to it.
  void close_interval(double t, bool omitted);

  std::optional<double> idle_median() const { return idle_median_; }
  std::size_t idle_replies() const { return idle_.size(); }
  // The median of the replies received in the second before `t`.
  std::optional<double> recent_median(double t) const;
  // Why no probe was answered, in ping's words, when it said.
  const std::string& unanswered_reason() const { return unanswered_reason_; }

  // The intervals closed so far; their lost probes count the ones that are
  // unanswered by now.
  std::vector<IntervalLatency> intervals() const;
  // Needs an idle median.
  std::optional<LatencyFigures> figures() const;
  // The probes under load so far, replies in the order they came, then the
  // ones lost by now.
  std::vector<LatencyProbe> probes() const;

 private:
  struct Reply {
    double t;
    double rtt_ms;
  };
  bool loaded_ = false;
  std::vector<double> idle_;
  std::optional<double> idle_median_;
  std::deque<Reply> recent_;              // the last second's replies
  std::vector<double> pending_;           // replies of the interval going on
  std::vector<LatencyProbe> loaded_replies_;
  std::vector<double> interval_ends_;     // when each closed interval ended
  std::vector<IntervalLatency> closed_;   // their medians (lost filled on reading)
  double load_start_ = 0;
  std::map<std::uint64_t, double> unanswered_;  // seq → when it was sent
  std::uint64_t highest_seq_ = 0;
  std::string unanswered_reason_;
  RunningQuantile median_{0.5};
  RunningQuantile p95_{0.95};
  std::optional<double> max_;
};

}  // namespace trellan
