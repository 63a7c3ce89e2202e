// The plots of runs compared: every run's throughput over time on one chart,
// each from its own start, with a legend; their latency under load laid out
// the same way; and the cumulative distributions of their one-second rates
// and of their probes under load. One colour per run. Cairo only, so they
// are tested without a display and drawn at any size into an image.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

#include "core/compare.hpp"
#include "ui/chart.hpp"
#include "ui/plot_paint.hpp"

namespace trellan {

// What the plots need of the runs, gathered once when they are shown.
struct CompareData {
  struct Run {
    std::string name;  // as the legend says it: "1. Client — 127.0.0.1, port 5201 · 16:40:12"
    std::vector<TimedValue> throughput, latency;
    std::vector<double> rates, probes;  // sorted, for the distributions
  };
  CompareData() = default;
  explicit CompareData(const std::vector<const RunRecord*>& runs);

  std::vector<Run> runs;
  bool any_latency() const;  // a run has interval medians
  bool any_probes() const;   // a run has answered probes under load
};

// The colour of the i-th run, from the Okabe–Ito palette, whose eight
// colours stay apart in the common kinds of colour blindness; ordered so
// that the first ones show best on the background.
plot::Rgb compared_run_colour(std::size_t i, bool dark);

// Each paints into a width × height area at the origin of `cr`, over a
// background of its own; `scale` is the device pixels per user unit.
// The throughput chart returns its time axis for the latency plot under it.
TimeAxis paint_compare_throughput(cairo_t* cr, double width, double height, const CompareData& data, bool dark,
                                  double scale = 1.0);
void paint_compare_latency(cairo_t* cr, double width, double height, const CompareData& data,
                           const TimeAxis& axis, bool dark, double scale = 1.0);
enum class Distribution { Rates, Latency };
void paint_compare_distribution(cairo_t* cr, double width, double height, const CompareData& data,
                                Distribution which, bool dark);

// All of it as one picture, as the view lays it out at `width`: the
// throughput chart, the latency plot where a run has latency, and the two
// distributions side by side. The height that takes, and the painting.
double comparison_height(const CompareData& data);
void paint_comparison(cairo_t* cr, double width, const CompareData& data, bool dark);

// The heights the view gives each plot. The throughput chart grows with
// its legend, which may take a row per run in a narrow view.
double compare_throughput_height(const CompareData& data);
inline constexpr double kCompareLatencyHeight = 150, kCompareDistributionHeight = 220;

}  // namespace trellan
