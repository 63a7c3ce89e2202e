// Round-trip times of a run's ping probes: the idle ones before the test,
// and the ones sent while the test ran, each placed once in the interval of
// the test it was sent in, on iperf3's own clock.
#pragma once

#include <cstdint>
#include <deque>
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

// One probe sent while the test ran: when it was sent, in seconds on the
// test's clock (0 is where its first interval starts, as on its chart), and
// its round-trip time (NaN: lost).
struct LatencyProbe {
  float t_s;
  float rtt_ms;
};

// One interval of the test, as the latency saw it: the probes sent in it.
struct IntervalLatency {
  std::optional<double> median_ms;  // none when no probe sent in it was answered
  std::uint64_t lost = 0;           // probes sent in it never answered
  bool operator==(const IntervalLatency&) const = default;
};

// A run's latency figures: round-trip times, medians unless said otherwise.
// The loaded ones cover the probes sent in the test's intervals that were
// not omitted; the idle ones the probes of the idle second before the test.
struct LatencyFigures {
  double idle_ms = 0;  // with idle_replied
  std::optional<double> loaded_median_ms;
  std::optional<double> loaded_p95_ms;
  std::optional<double> loaded_max_ms;
  std::uint64_t lost = 0;  // probes sent under load never answered
  std::uint64_t sent = 0;  // probes sent under load
  // The mean difference between consecutive replies under load.
  std::optional<double> jitter_ms;
  bool idle_replied = true;  // false: no idle probe was answered
  std::uint64_t idle_lost = 0;
  std::uint64_t idle_sent = 0;
  std::optional<double> idle_jitter_ms;  // as jitter_ms, of the idle replies
  bool operator==(const LatencyFigures&) const = default;
};

// Fed ping's events, with the time each was read, and the test's intervals,
// with the time iperf3 printed the first line of each (seconds on one
// monotonic clock).
class LatencyMeter {
 public:
  static constexpr double kProbeGap = 0.1;  // ping -i 0.1

  void add(double t, const PingEvent& event);
  // The idle phase is over: probes sent from now on belong to the test.
  void start_load(double t);
  bool loaded() const { return loaded_; }
  // iperf3 printed the interval [start_s, end_s) of its clock, the first
  // line of it at `first_line_t`. Counted intervals whose clock started
  // again after the omitted ones go on from their end, as on the chart. A record that repeats the last interval
  // (a bidirectional test's other direction) is the same interval. Returns
  // the interval's index.
  std::size_t add_interval(double first_line_t, double start_s, double end_s, bool omitted);
  // The test is over: probes that are in no interval by now came after it.
  // Replies to the probes sent in it still count when they come.
  void finish();
  // Probes sent in the test's intervals that have no reply (yet).
  std::size_t in_flight() const;
  // The largest round-trip time of any reply so far.
  std::optional<double> max_rtt_ms() const { return max_rtt_ms_; }

  // The idle median: of the replies to the probes of the idle second, late
  // ones included.
  std::optional<double> idle_median() const;
  std::size_t idle_replies() const;
  // When the last reply came; none before the first.
  std::optional<double> last_reply() const { return last_reply_; }
  bool any_reply() const { return last_reply_.has_value(); }
  // The median of the replies received in the second before `t`.
  std::optional<double> recent_median(double t) const;
  // Why no probe was answered, in ping's words, when it said.
  const std::string& unanswered_reason() const { return unanswered_reason_; }

  // The intervals so far, from index `from` on.
  std::vector<IntervalLatency> intervals(std::size_t from = 0) const;
  std::size_t interval_count() const { return slots_.size(); }
  LatencyFigures figures() const;
  // The probes sent in the test's intervals, in the order they were sent.
  std::vector<LatencyProbe> probes() const;

 private:
  static constexpr int kUnplaced = -1;  // not yet in an interval
  static constexpr int kOutside = -2;   // before the first interval, or after the last
  static constexpr int kIdle = -3;      // sent in the idle second
  struct Probe {
    double sent = 0;
    double rtt_ms = -1;  // < 0: no reply (yet)
    int slot = kUnplaced;
    bool known = false;  // a line of ping's spoke of it
  };
  struct Slot {
    double start, end;  // on the test's clock
    bool omitted;
    std::vector<std::uint64_t> probes;  // indexes into probes_
  };
  std::uint64_t unwrap(std::uint64_t seq);
  Probe& probe(std::uint64_t seq);
  void place(std::uint64_t index);
  std::optional<double> anchor_;  // when the test's clock read 0
  double warmup_end_ = 0;         // of the omitted intervals
  bool counted_seen_ = false;
  double shift_ = 0;              // added to the counted intervals' times
  bool loaded_ = false;
  bool finished_ = false;
  double load_start_ = 0;
  std::vector<Probe> probes_;  // by sequence number - 1
  std::vector<std::uint64_t> unplaced_;
  std::vector<std::uint64_t> idle_;  // the idle second's probes
  std::vector<Slot> slots_;
  struct Reply {
    double t;
    double rtt_ms;
  };
  std::deque<Reply> recent_;  // the last second's replies
  std::optional<double> last_reply_;
  std::optional<double> max_rtt_ms_;
  std::uint64_t highest_seq_ = 0;
  std::string unanswered_reason_;
};

}  // namespace trellan
