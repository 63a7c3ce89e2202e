// The throughput chart of one run: its intervals reduced to what a plot
// needs, the plot painted with cairo, and the words that describe it. No
// GTK, so it is tested and measured without a display.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// One interval of one direction, its times as seconds from the run's start
// on one clock: where iperf3 starts counting again at 0 after the warm-up,
// the counted seconds follow the warm-up ones.
struct ChartPoint {
  double t0 = 0, t1 = 0, mbps = 0;
  bool omitted = false;
  bool flagged = false;  // retransmits or lost datagrams
};

// A direction's rate over its counted intervals: the warm-up ones are left
// out unless there is nothing else. Rates in Mbit/s, the mean weighted by
// each interval's duration, `seconds` from the first counted interval's start
// to the last one's end.
struct SeriesStats {
  double min = 0, mean = 0, max = 0, seconds = 0;
};

// The intervals of a run, by direction, in the order they came. Kept beside
// the run and fed one record at a time, so a frame parses nothing. An
// interval shorter than kShortest (the scraps iperf3 prints at a test's end,
// "5.00-5.01", "10.00-10.00") has no point of its own: its rate is noise.
class ChartData {
 public:
  static constexpr double kShortest = 0.1;  // seconds

  ChartData() = default;
  explicit ChartData(const std::deque<IntervalRecord>& records);

  void add(const IntervalRecord& record);
  // Forgets the oldest intervals until `count` are left, as the run's record
  // does beyond its cap.
  void keep_newest(std::size_t count);

  const std::deque<ChartPoint>& series(Direction d) const {
    return d == Direction::Send ? send_ : receive_;
  }
  std::size_t size() const { return order_.size(); }

  std::optional<SeriesStats> stats(Direction d) const;
  // The latest end, the highest rate of either direction; whether any
  // interval is flagged.
  double t_max() const { return t_max_; }
  double mbps_max() const { return mbps_max_; }
  bool any_flagged() const { return flagged_ > 0; }

 private:
  // Running sums of one direction, so that a frame need not go through the
  // intervals for them.
  struct Sums {
    std::size_t n = 0;
    double weighted = 0, seconds = 0, min = 0, max = 0, first = 0, last = 0;
    void add(const ChartPoint& p);
  };
  // Adds one kept point to the totals.
  void count(Direction direction, const ChartPoint& p);
  void recount();

  std::deque<ChartPoint> send_, receive_;
  std::deque<Direction> order_;  // of the intervals given, kept or not
  std::deque<bool> kept_;        // beside order_: whether it made a point
  // By direction: where the warm-up ended, and what the counted intervals'
  // times are moved by once iperf3 has restarted its clock.
  double warmup_end_[2] = {0, 0}, shift_[2] = {0, 0};
  bool warmup_seen_[2] = {false, false}, counted_seen_[2] = {false, false};
  Sums counted_[2], all_[2];  // by direction: without the warm-up, and all
  double t_max_ = 0, mbps_max_ = 0;
  std::size_t flagged_ = 0;
};

// What a screen reader says of the chart, e.g. "Send: min 9.40, mean 24.60,
// max 38.90 Gbit/s over 14 s."; one sentence per direction that has intervals.
std::string chart_description(const ChartData& data);

// Paints the chart into a width × height area at the user-space origin of
// `cr`, over a background of its own. `scale` is the device pixels per user
// unit the frame is shown at, to keep thin lines on whole pixels. Lines are
// reduced to each device pixel column's first, lowest, highest and last value,
// so the cost follows the width, not the number of intervals.
// Returns its time axis, for plots drawn under it.
struct TimeAxis {
  double x0 = 0, x1 = 0;  // where 0 s and t_max fall
  double t_max = 0;
};
TimeAxis paint_chart(cairo_t* cr, double width, double height, const ChartData& data, bool dark,
                     double scale = 1.0);

// A labelled gridline of the time axis: "0", "10 s", "30 min", "1 h 30 min".
struct TimeTick {
  double t;
  std::string text;
};
// The gridlines for a time axis from 0 to `end` seconds with at most
// `max_ticks` of them (at least two): the finest step in round seconds,
// minutes or hours that keeps the count within it.
std::vector<TimeTick> time_ticks(double end, int max_ticks);

}  // namespace trellan
