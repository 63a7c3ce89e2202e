// The comparison's plots on an image surface: a line per run in colours that
// stay apart for colour-blind viewers, the legend naming each in its colour,
// the distributions in the same colours, and the picture written as PNG or
// SVG at the size asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "latency_figures.hpp"
#include "picture.hpp"
#include "ui/chart_image.hpp"
#include "ui/compare_view_paint.hpp"

using namespace trellan;
using trellan::testing::Rgb;

namespace {

constexpr int kW = 560, kH = 300;

// A run of ten one-second intervals at `mbps`, `minute` minutes into a day.
RunRecord steady_run(double mbps, int minute) {
  RunRecord run;
  run.far_end = "a";
  run.started = std::chrono::system_clock::time_point{} + std::chrono::minutes(minute);
  run.command = {"iperf3", "-c", "a"};
  for (int s = 0; s < 10; ++s) {
    IntervalRecord r;
    r.start = s;
    r.end = s + 1;
    r.mbps = mbps;
    run.intervals.push_back(r);
  }
  return run;
}

double difference(Rgb a, Rgb b) { return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)}); }

// Down column x, the pixel most unlike the background of each run of
// pixels clearly unlike it: the lines, where the grid is faint.
std::vector<std::pair<int, Rgb>> marks_down(const trellan::testing::Picture& p, int x, int height) {
  const Rgb background = p.at(kW - 1, height - 1);
  std::vector<std::pair<int, Rgb>> out;
  bool inside = false;
  for (int y = 0; y < height; ++y) {
    const Rgb c = p.at(x, y);
    if (difference(c, background) < 0.3) {
      inside = false;
      continue;
    }
    if (!inside) out.emplace_back(y, c);
    else if (difference(c, background) > difference(out.back().second, background)) out.back() = {y, c};
    inside = true;
  }
  return out;
}

// A colour as seen with protanopia, deuteranopia and tritanopia (Machado,
// Oliveira and Fernandes 2009, full severity, on linear RGB), and as is.
std::vector<Rgb> as_seen(Rgb c) {
  static constexpr double kMatrices[4][3][3] = {
      {{0.152286, 1.052583, -0.204868}, {0.114503, 0.786281, 0.099216}, {-0.003882, -0.048116, 1.051998}},
      {{0.367322, 0.860646, -0.227968}, {0.280085, 0.672501, 0.047413}, {-0.011820, 0.042940, 0.968881}},
      {{1.255528, -0.076749, -0.178779}, {-0.078411, 0.930809, 0.147602}, {0.004733, 0.691367, 0.303900}},
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  auto gam = [](double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
  };
  const double l[3] = {lin(c.r), lin(c.g), lin(c.b)};
  std::vector<Rgb> out;
  for (const auto& m : kMatrices) {
    double s[3];
    for (int i = 0; i < 3; ++i) s[i] = gam(m[i][0] * l[0] + m[i][1] * l[1] + m[i][2] * l[2]);
    out.push_back({s[0], s[1], s[2]});
  }
  return out;
}

double distance(Rgb a, Rgb b) { return std::hypot(a.r - b.r, a.g - b.g, a.b - b.b); }

bool has_colour(const trellan::testing::Picture& p, Rgb c, int x0, int y0, int x1, int y1) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (difference(p.at(x, y), c) < 0.06) return true;
  return false;
}

}  // namespace

TEST(ComparePaint, EightRunsGetLinesColourBlindViewersTellApartAndALegendInTheirColours) {
  std::vector<RunRecord> records;
  for (int i = 0; i < 8; ++i) records.push_back(steady_run(100.0 * (i + 1), i));
  std::vector<const RunRecord*> runs;
  for (const auto& r : records) runs.push_back(&r);
  const CompareData data(runs);
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const trellan::testing::Picture p(kW, kH, [&](cairo_t* cr) { paint_compare_throughput(cr, kW, kH, data, dark); });
    // From the bottom: 100 Mbit/s (the first run) up to 800 (the eighth).
    const auto marks = marks_down(p, kW / 2, kH - 20);
    ASSERT_GE(marks.size(), 8u);
    const std::vector<std::pair<int, Rgb>> lines(marks.end() - 8, marks.end());
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
      EXPECT_GT(lines[i + 1].first - lines[i].first, 10) << "lines apart";
    for (std::size_t a = 0; a < lines.size(); ++a)
      for (std::size_t b = a + 1; b < lines.size(); ++b) {
        const auto sa = as_seen(lines[a].second), sb = as_seen(lines[b].second);
        for (std::size_t k = 0; k < sa.size(); ++k)
          EXPECT_GT(distance(sa[k], sb[k]), 0.1) << "lines " << a << " and " << b << ", vision " << k;
      }
    // Above the plot, each line's colour names its run beside its name.
    const int legend_bottom = lines.front().first - 10;
    int text = 0;
    const Rgb background = p.at(kW - 1, kH - 1);
    for (int y = 0; y < legend_bottom; ++y)
      for (int x = 0; x < kW; ++x) text += difference(p.at(x, y), background) > 0.5;
    EXPECT_GT(text, 8 * 150) << "eight names";
    for (const auto& [y, colour] : lines) EXPECT_TRUE(has_colour(p, colour, 0, 0, kW, legend_bottom)) << "y " << y;
  }
}

TEST(ComparePaint, DistributionsAndLatencyDrawEachRunInItsColour) {
  RunRecord slow = steady_run(300, 0), fast = steady_run(900, 5);
  for (int s = 0; s < 10; ++s) fast.intervals[s].mbps = 500 + 50 * s;
  slow.latency = trellan::testing::loaded_latency(1.0, 5.0, 8.0, 9.0, 0, 100);
  slow.interval_latency.assign(10, IntervalLatency{5.0, 0});
  slow.probes = {{0.1f, 4.0f}, {0.2f, 6.0f}, {0.3f, 8.0f}};
  const CompareData data({&slow, &fast});
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const auto colour = [&](std::size_t i) {
      const plot::Rgb c = compared_run_colour(i, dark);
      return Rgb{c.r, c.g, c.b};
    };
    const Rgb first = colour(0), second = colour(1);
    const trellan::testing::Picture rates(300, 220, [&](cairo_t* cr) {
      paint_compare_distribution(cr, 300, 220, data, Distribution::Rates, dark);
    });
    EXPECT_TRUE(has_colour(rates, first, 0, 30, 300, 200));
    EXPECT_TRUE(has_colour(rates, second, 0, 30, 300, 200));
    // The steady run rises at once: its share goes from 0 to all of it at
    // one rate, left of the spread run's rise.
    const trellan::testing::Picture probes(300, 220, [&](cairo_t* cr) {
      paint_compare_distribution(cr, 300, 220, data, Distribution::Latency, dark);
    });
    EXPECT_TRUE(has_colour(probes, first, 0, 30, 300, 200));
    EXPECT_FALSE(has_colour(probes, second, 0, 30, 300, 200)) << "no probes, no line";
    const trellan::testing::Picture latency(kW, 150, [&](cairo_t* cr) {
      const TimeAxis axis{60, kW - 22.0, 10};
      paint_compare_latency(cr, kW, 150, data, axis, dark);
    });
    EXPECT_TRUE(has_colour(latency, first, 60, 20, kW - 22, 150));
  }
}

TEST(ComparePaint, TheChartIsWrittenAsPngOrSvgAtTheSizeAskedFor) {
  RunRecord a = steady_run(300, 0), b = steady_run(900, 5);
  const CompareData data({&a, &b});
  const auto paint = [&](cairo_t* cr) { paint_comparison(cr, 1000, data, false); };
  const int height = static_cast<int>(comparison_height(data));
  // No latency: the chart, its legend growing with the runs, and the
  // distributions side by side.
  EXPECT_EQ(height, 240 + 2 * 17 + 220);

  const std::string png = painted_image(ImageFormat::Png, 1000, height, paint);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  const auto be32 = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(png[at])) << 24) | (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(png[at + 2])) << 8) | std::uint32_t(std::uint8_t(png[at + 3]));
  };
  EXPECT_EQ(be32(16), 1000u);
  EXPECT_EQ(be32(20), 494u);

  const std::string svg = painted_image(ImageFormat::Svg, 1000, height, paint);
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  // Cairo 1.16 gives the size in points, 1.18 in user units: the view box
  // is the same in both.
  EXPECT_NE(svg.find("viewBox=\"0 0 1000 494\""), std::string::npos) << svg.substr(0, 300);

  EXPECT_EQ(image_format_of("chart.SVG"), ImageFormat::Svg);
  EXPECT_EQ(image_format_of("chart.png"), ImageFormat::Png);
  EXPECT_EQ(image_format_of("chart"), ImageFormat::Png);
}
