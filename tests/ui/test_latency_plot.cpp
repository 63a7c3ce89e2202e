// The latency plot on an image surface, light and dark: the band where the
// replies are, nothing where there are none, the lost probe's mark and the
// dashed idle line, at positions worked out from the axis by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ui/latency_plot.hpp"

using namespace trellan;

namespace {

struct Rgb {
  double r, g, b;
};

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
  log.set_latency(id, "", LatencyFigures{2.0, 10.0, 20.0, 20.0, 1, 30}, {{10.0, 0}, {10.0, 1}},
                  {{0.25f, 5.0f}, {0.25f, 20.0f}, {0.5f, 10.0f}, {1.5f, 10.0f}, {1.75f, nan}});
  return *log.find(id);
}

class Picture {
 public:
  Picture(const LatencyPlotData& data, bool dark) : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kW, kH)) {
    cairo_t* cr = cairo_create(surface_);
    paint_latency_plot(cr, kW, kH, data, TimeAxis{40, 360, 2.0}, dark);
    cairo_destroy(cr);
    cairo_surface_flush(surface_);
  }
  ~Picture() { cairo_surface_destroy(surface_); }
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  Rgb at(int x, int y) const {
    const auto* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
    const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
    return {((p >> 16) & 0xff) / 255.0, ((p >> 8) & 0xff) / 255.0, (p & 0xff) / 255.0};
  }

 private:
  cairo_surface_t* surface_;
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
