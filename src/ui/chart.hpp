// The throughput chart of one run: its readings reduced to what a plot
// needs, the plot painted with cairo, and the words that describe it. No
// GTK, so it is tested and measured without a display.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "core/run_record.hpp"

namespace trellan {

// One interval of one direction, its times as seconds from the run's start.
struct ChartPoint {
  double t0 = 0, t1 = 0, mbps = 0;
  bool omitted = false;
  bool flagged = false;  // retransmits or lost datagrams
};

// A direction's rate over its counted intervals: the warm-up ones are left
// out unless there is nothing else. Rates in Mbit/s, `seconds` from the first
// counted interval's start to the last one's end.
struct SeriesStats {
  double min = 0, mean = 0, max = 0, seconds = 0;
};

// The readings of a run, by direction, in the order they came. Kept beside
// the run and fed one record at a time, so a frame parses nothing.
class ChartData {
 public:
  ChartData() = default;
  explicit ChartData(const std::deque<IntervalRecord>& records);

  void add(const IntervalRecord& record);
  // Forgets the oldest readings until `count` are left, as the run's record
  // does beyond its cap.
  void keep_newest(std::size_t count);

  const std::deque<ChartPoint>& series(Direction d) const {
    return d == Direction::Send ? send_ : receive_;
  }
  std::size_t size() const { return order_.size(); }

  std::optional<SeriesStats> stats(Direction d) const;
  // The latest end, the highest rate of either direction; whether any
  // reading is flagged.
  double t_max() const { return t_max_; }
  double mbps_max() const { return mbps_max_; }
  bool any_flagged() const { return flagged_ > 0; }

 private:
  // Running sums of one direction, so that a frame need not go through the
  // readings for them.
  struct Sums {
    std::size_t n = 0;
    double sum = 0, min = 0, max = 0, first = 0, last = 0;
    void add(const ChartPoint& p);
  };
  void recount();

  std::deque<ChartPoint> send_, receive_;
  std::deque<Direction> order_;
  Sums counted_[2], all_[2];  // by direction: without the warm-up, and all
  double t_max_ = 0, mbps_max_ = 0;
  std::size_t flagged_ = 0;
};

// What a screen reader says of the chart, e.g. "Send: min 9.40, mean 24.60,
// max 38.90 Gbit/s over 14 s."; one sentence per direction that has readings.
std::string chart_description(const ChartData& data);

// Paints the chart into a width × height area at the user-space origin of
// `cr`, over a background of its own. `scale` is the device pixels per user
// unit the frame is shown at, to keep thin lines on whole pixels. Lines are
// reduced to each device pixel column's first, lowest, highest and last value,
// so the cost follows the width, not the number of readings.
// Returns its time axis, for plots drawn under it.
struct TimeAxis {
  double x0 = 0, x1 = 0;  // where 0 s and t_max fall
  double t_max = 0;
};
TimeAxis paint_chart(cairo_t* cr, double width, double height, const ChartData& data, bool dark,
                     double scale = 1.0);

}  // namespace trellan
