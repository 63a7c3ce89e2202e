// The latency plot under a run's throughput chart, on the chart's time axis:
// every probe's round-trip time a dot where it was sent (where probes crowd
// more than a few to a pixel column, each column's lowest to highest), the
// median of each interval a step line over the interval's own time span, the
// idle median a dashed baseline that the legend names with its figure, lost
// probes marked where they were sent. Cairo only, so it is tested and measured without a display.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/run_record.hpp"
#include "ui/chart.hpp"

namespace trellan {

// What the plot needs of a run, gathered once when the run is shown.
struct LatencyPlotData {
  LatencyPlotData() = default;
  explicit LatencyPlotData(const RunRecord& run);

  bool empty() const { return probes.empty() && medians.empty(); }
  std::optional<double> idle_ms;  // none: the idle probes went unanswered
  std::vector<LatencyProbe> probes;
  struct Median {
    double t0, t1, ms;
  };
  // One per interval that had a reply, on the chart's clock (a warm-up's
  // restarted clock goes on from its end, as on the chart).
  std::vector<Median> medians;
  double rtt_max = 0;

  // The probes and medians reduced to `count` columns over 0…t_max seconds:
  // each column's lowest and highest reply, whether a probe was lost in it,
  // and the medians' first, lowest, highest and last. Kept until asked for
  // another width or time span, so that redrawing costs no pass over the
  // probes.
  struct Columns {
    std::size_t count = 0;
    double t_max = 0;
    std::vector<float> lo, hi;
    std::vector<std::uint8_t> lost;
    struct Span {
      float first = 0, lo = 0, hi = 0, last = 0;
      bool any = false;
    };
    std::vector<Span> medians;
  };
  const Columns& columns_for(std::size_t count, double t_max) const;

 private:
  mutable Columns cache_;
};

// What the plot shows, in words for a screen reader: the span of the
// probes, their replies' range and the lost ones, the medians' range and
// the idle baseline.
std::string latency_plot_description(const LatencyPlotData& data);

// Paints into a width × height area at the origin of `cr`, over a
// background of its own, with `axis` from the chart above it.
void paint_latency_plot(cairo_t* cr, double width, double height, const LatencyPlotData& data,
                        const TimeAxis& axis, bool dark, double scale = 1.0);

}  // namespace trellan
