// The latency plot on an image surface, light and dark: each probe a dot
// where it was sent, each interval's median a step line over its own span,
// the lost probe's mark where it was lost, the dashed idle baseline, at
// positions worked out from the axis by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "picture.hpp"
#include "ui/latency_plot.hpp"

using namespace trellan;
using trellan::testing::Rgb;

namespace {

constexpr int kW = 400, kH = 160;

// Two one-second intervals with medians 8 and 4 ms; probes at 0.25 s (20
// and 3 ms) and 1.5 s (6 ms); one sent at 1.75 s was lost; idle 2 ms.
RunRecord run_with_latency() {
  RunLog log;
  const auto id = log.begin(RunPage::Client, "far", "TCP");
  IntervalRecord r;
  r.start_text = "0.00";
  r.end_text = "1.00";
  r.end = 1;
  log.add_interval(id, r);
  r.start_text = "1.00";
  r.end_text = "2.00";
  r.start = 1;
  r.end = 2;
  log.add_interval(id, r);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  RunLatency latency;
  latency.records = {{8.0, 0}, {4.0, 1}};
  latency.ended = true;
  latency.figures.emplace();
  latency.figures->idle_ms = 2.0;
  latency.figures->loaded_median_ms = 6.0;
  latency.probes = {{0.25f, 20.0f}, {0.25f, 3.0f}, {1.5f, 6.0f}, {1.75f, nan}};
  log.update_latency(id, latency);
  return *log.find(id);
}

// The latency plot as drawn at kW × kH.
class Picture : public trellan::testing::Picture {
 public:
  Picture(const LatencyPlotData& data, bool dark)
      : trellan::testing::Picture(kW, kH, [&](cairo_t* cr) { paint_latency_plot(cr, kW, kH, data, TimeAxis{40, 360, 2.0}, dark); }) {}
};

double distance(Rgb a, Rgb b) { return std::fabs(a.r - b.r) + std::fabs(a.g - b.g) + std::fabs(a.b - b.b); }

// What a screen reader hears of the plot: the probes' span and range, the
// lost one, the medians' range and the idle baseline; and of a run whose
// probes all went unanswered, that.
TEST(LatencyPlot, ItsDescriptionGivesTheSpanRangesLostProbesAndIdleLatency) {
  EXPECT_EQ(latency_plot_description(LatencyPlotData(run_with_latency())),
            "Latency probes over 2 s: 3 replies from 3.0 to 20 ms, 1 lost. Interval medians from 4.0 to 8.0 ms. "
            "Idle latency 2.0 ms.");
  RunRecord unanswered = run_with_latency();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  unanswered.probes = {{0.5f, nan}, {1.5f, nan}};
  unanswered.latency->idle_replied = false;
  LatencyPlotData data(unanswered);
  data.medians.clear();
  EXPECT_EQ(latency_plot_description(data), "Latency probes over 1.5 s: no replies, 2 lost. No idle reply.");
}

TEST(LatencyPlot, DotsStepLineLostMarkAndIdleBaselineInLightAndDark) {
  const LatencyPlotData data(run_with_latency());
  ASSERT_FALSE(data.empty());
  // Scale: 20 ms at the top (y 36), 0 at the bottom (y 150), 5.7 px a
  // millisecond; x = 40 + 160 px a second.
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const Picture pic(data, dark);
    const Rgb bg = pic.at(kW - 2, kH - 2);
    EXPECT_EQ(dark, bg.r < 0.3);
    // The dots: 20 ms and 3 ms at 0.25 s (x 80, y 36 and 133), 6 ms at
    // 1.5 s (x 280, y 116); nothing between the first two.
    EXPECT_GT(distance(pic.at(80, 36), bg), 0.3);
    EXPECT_GT(distance(pic.at(80, 133), bg), 0.3);
    EXPECT_GT(distance(pic.at(280, 116), bg), 0.3);
    EXPECT_LT(distance(pic.at(80, 70), bg), 0.02);
    // The step line: 8 ms (y 104) over 0…1 s, 4 ms (y 127) over 1…2 s, the
    // riser at 1 s (x 200) between them; none at 8 ms after 1 s.
    const Rgb line = pic.at(120, 104);
    EXPECT_GT(distance(line, bg), 0.5);
    EXPECT_LT(distance(pic.at(300, 127), line), 0.1);
    EXPECT_LT(distance(pic.at(200, 116), line), 0.1);
    EXPECT_LT(distance(pic.at(300, 104), bg), 0.02);
    // The lost probe's mark at the top, red, at 1.75 s (x 320) only.
    const Rgb mark = pic.at(320, 27);
    EXPECT_GT(mark.r, mark.g + 0.3);
    EXPECT_LT(distance(pic.at(240, 27), bg), 0.02);
    // The idle baseline at 2 ms (y 139), dashed: drawn in part of the row.
    int drawn = 0;
    for (int x = 41; x < 359; ++x) drawn += distance(pic.at(x, 139), bg) > 0.2;
    EXPECT_GT(drawn, 318 / 3);
    EXPECT_LT(drawn, 318 * 9 / 10);
  }
  // A run without latency paints its background only.
  const Picture none(LatencyPlotData(RunRecord{}), false);
  EXPECT_LT(distance(none.at(80, 57), none.at(kW - 2, kH - 2)), 0.02);
}

}  // namespace
