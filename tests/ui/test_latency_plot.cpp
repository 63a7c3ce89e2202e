// The latency plot on an image surface, light and dark: the band where the
// replies are, nothing where there are none, the lost probe's mark and the
// dashed idle line, at positions worked out from the axis by hand.
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

constexpr int kW = 400, kH = 120;

// Two one-second intervals, median 10 ms each; at 0.25 s two replies (5 and
// 20 ms); a probe sent at 1.75 s was lost; idle 2 ms.
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
  latency.records = {{10.0, 0}, {10.0, 1}};
  latency.ended = true;
  latency.figures.emplace();
  latency.figures->idle_ms = 2.0;
  latency.figures->loaded_median_ms = 10.0;
  latency.probes = {{0.25f, 5.0f}, {0.25f, 20.0f}, {0.5f, 10.0f}, {1.5f, 10.0f}, {1.75f, nan}};
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

TEST(LatencyPlot, BandLostMarkAndDashedIdleLineInLightAndDark) {
  const LatencyPlotData data(run_with_latency());
  ASSERT_FALSE(data.empty());
  // Scale: 20 ms at the top (y 22), 0 at the bottom (y 110); 0.25 s at x 80,
  // 1.25 s at x 240, 1.75 s at x 320.
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const Picture pic(data, dark);
    const Rgb bg = pic.at(kW - 2, kH - 2);
    EXPECT_EQ(dark, bg.r < 0.3);
    // 12 ms: inside the 5…20 ms band at 0.25 s, nothing at 1.25 s.
    EXPECT_GT(distance(pic.at(80, 57), bg), 0.2);
    EXPECT_LT(distance(pic.at(240, 57), bg), 0.02);
    // Above the band (the column's lowest is 5 ms at y 88): below it, empty.
    EXPECT_LT(distance(pic.at(80, 100), bg), 0.02);
    // The lost probe's mark at the top, red.
    const Rgb mark = pic.at(320, 17);
    EXPECT_GT(mark.r, mark.g + 0.3);
    EXPECT_LT(distance(pic.at(240, 17), bg), 0.02);
    // The idle line at 2 ms (y 101), dashed: drawn in part of the row only.
    int drawn = 0;
    for (int x = 41; x < 359; ++x) drawn += distance(pic.at(x, 101), bg) > 0.2;
    EXPECT_GT(drawn, 318 / 3);
    EXPECT_LT(drawn, 318 * 9 / 10);
  }
  // A run without latency paints its background only.
  const Picture none(LatencyPlotData(RunRecord{}), false);
  EXPECT_LT(distance(none.at(80, 57), none.at(kW - 2, kH - 2)), 0.02);
}

}  // namespace
