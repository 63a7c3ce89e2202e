// The run chart on an image surface, compared with itself: what a warm-up,
// a loss and a day of intervals change in its pixels, and the colours its
// lines get against its background; and its description in words.
#include <gtest/gtest.h>
#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/output_parser.hpp"
#include "picture.hpp"
#include "ui/chart.hpp"

using namespace trellan;
using trellan::testing::Rgb;

namespace {

constexpr int kW = 400, kH = 200;

// The chart as drawn at kW × kH.
class Picture : public trellan::testing::Picture {
 public:
  Picture(const ChartData& data, bool dark)
      : trellan::testing::Picture(kW, kH, [&](cairo_t* cr) { paint_chart(cr, kW, kH, data, dark); }) {}
};

double saturation(Rgb c) { return std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}); }

double luminance(Rgb c) {
  auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
}

double contrast(Rgb a, Rgb b) {
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The most coloured pixel of each coloured run down column x, top first:
// the lines, where grid, text and background are grey.
std::vector<std::pair<int, Rgb>> line_pixels(const Picture& p, int x) {
  std::vector<std::pair<int, Rgb>> out;
  bool inside = false;
  for (int y = 0; y < kH; ++y) {
    const Rgb c = p.at(x, y);
    if (saturation(c) < 0.3) {
      inside = false;
      continue;
    }
    if (!inside) out.emplace_back(y, c);
    else if (saturation(c) > saturation(out.back().second)) out.back() = {y, c};
    inside = true;
  }
  return out;
}

struct Diff {
  int count = 0;
  int min_x = kW, max_x = -1, min_y = kH, max_y = -1;
};

Diff diff(const Picture& a, const Picture& b, int from_y = 0) {
  Diff d;
  for (int y = from_y; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const Rgb p = a.at(x, y), q = b.at(x, y);
      if (p.r == q.r && p.g == q.g && p.b == q.b) continue;
      ++d.count;
      d.min_x = std::min(d.min_x, x);
      d.max_x = std::max(d.max_x, x);
      d.min_y = std::min(d.min_y, y);
      d.max_y = std::max(d.max_y, y);
    }
  return d;
}

IntervalRecord interval(int second, Direction d, double mbps) {
  IntervalRecord r;
  r.start = second;
  r.end = second + 1;
  r.start_text = std::to_string(second) + ".00";
  r.end_text = std::to_string(second + 1) + ".00";
  r.direction = d;
  r.mbps = mbps;
  return r;
}

// Ten seconds of a bidirectional run: send at 800 Mbit/s, receive at 300.
// `warmup`: its first two seconds omitted; `loss`: datagrams lost at second 7.
ChartData bidir_run(bool warmup, bool loss) {
  ChartData data;
  for (int s = 0; s < 10; ++s) {
    IntervalRecord send = interval(s, Direction::Send, 800);
    IntervalRecord receive = interval(s, Direction::Receive, 300);
    send.omitted = receive.omitted = warmup && s < 2;
    if (loss && s == 7) receive.lost = 4;
    data.add(send);
    data.add(receive);
  }
  return data;
}

}  // namespace

TEST(Chart, LinesStandApartForColourBlindViewersAndAgainstTheBackgroundInLightAndDark) {
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const Picture p(bidir_run(false, false), dark);
    const auto lines = line_pixels(p, kW / 2);
    ASSERT_EQ(lines.size(), 2u) << "a line for each direction";
    const Rgb send = lines[0].second, receive = lines[1].second;  // 800 above 300
    const Rgb background = p.at(kW / 2, (lines[0].first + lines[1].first) / 2);
    EXPECT_GE(contrast(send, background), 3.0);
    EXPECT_GE(contrast(receive, background), 3.0);
    // Red and green merge for most colour-blind viewers; blue and yellow do
    // not: one line is bluer than red, the other redder than blue.
    EXPECT_GT(send.b - send.r, 0.2);
    EXPECT_GT(receive.r - receive.b, 0.2);

    // Equal rates: Receive's line lies on Send's, and Send's still shows on
    // both sides of it.
    ChartData equal;
    for (int s = 0; s < 10; ++s) {
      equal.add(interval(s, Direction::Send, 500));
      equal.add(interval(s, Direction::Receive, 500));
    }
    const Picture both(equal, dark);
    for (int x : {kW / 3, kW / 2 + 7}) {
      std::vector<int> send_rows, receive_rows;
      for (int y = 40; y < kH; ++y) {  // below the legend's row
        const Rgb c = both.at(x, y);  // told apart as above: bluer, or redder
        if (c.b - c.r > 0.25) send_rows.push_back(y);
        if (c.r - c.b > 0.25) receive_rows.push_back(y);
      }
      ASSERT_FALSE(receive_rows.empty()) << "column " << x;
      ASSERT_FALSE(send_rows.empty()) << "column " << x;
      EXPECT_LT(send_rows.front(), receive_rows.front()) << "Send shows above Receive, column " << x;
      EXPECT_GT(send_rows.back(), receive_rows.back()) << "and below it, column " << x;
    }
  }
}

TEST(Chart, AWarmUpIsShadedAtTheStartAndALossIsMarkedWhereItHappened) {
  for (bool dark : {false, true}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    const Picture plain(bidir_run(false, false), dark);
    const Picture warmup(bidir_run(true, false), dark);
    // The first two of ten seconds: the left part of the plot changes
    // (shade and label), a wide area of it, and nothing right of the middle.
    const Diff w = diff(plain, warmup);
    EXPECT_GT(w.count, 2000);
    EXPECT_LT(w.max_x, kW / 2);
    EXPECT_GT(w.max_y - w.min_y, kH / 2) << "shaded from top to bottom of the plot";

    // A loss at second 7: below the legend's row, only something near
    // 7.5 s of 10 changes, and it has the receive line's colour.
    const Picture loss(bidir_run(false, true), dark);
    const Diff l = diff(plain, loss, 40);
    EXPECT_GT(l.count, 5);
    EXPECT_GT(l.min_x, kW * 6 / 10);
    EXPECT_LT(l.max_x, kW * 9 / 10);
    const Rgb receive = line_pixels(plain, kW / 2)[1].second;
    bool coloured = false;
    for (int y = l.min_y; y <= l.max_y; ++y)
      for (int x = l.min_x; x <= l.max_x; ++x) {
        const Rgb c = loss.at(x, y);
        coloured = coloured || (std::abs(c.r - receive.r) < 0.05 && std::abs(c.g - receive.g) < 0.05 &&
                                std::abs(c.b - receive.b) < 0.05);
      }
    EXPECT_TRUE(coloured);
  }
}

TEST(Chart, ADayOfReadingsStillShowsTheirWholeSpanInEachPixelColumn) {
  // Every other second 100, else 900 Mbit/s: each column must reach both.
  ChartData day, low, high;
  for (int s = 0; s < 86400; ++s) day.add(interval(s, Direction::Send, s % 2 ? 900 : 100));
  for (int s = 0; s < 86400; s += 600) {
    low.add(interval(s, Direction::Send, 100));
    high.add(interval(s, Direction::Send, 900));
  }
  // Where a steady 100 and a steady 900 are drawn, on the same scale.
  low.add(interval(86399, Direction::Send, 900));
  low.keep_newest(low.size());
  const Picture pl(low, false), ph(high, false), pd(day, false);
  const int x = kW / 2;
  const auto l = line_pixels(pl, x), h = line_pixels(ph, x);
  ASSERT_FALSE(l.empty());
  ASSERT_FALSE(h.empty());
  const int y_low = l.back().first, y_high = h.front().first;
  ASSERT_LT(y_high + 20, y_low);
  for (int y = y_high + 2; y <= y_low - 2; ++y) EXPECT_GT(saturation(pd.at(x, y)), 0.3) << "y " << y;
}

TEST(Chart, DescriptionSummarisesEachDirectionLeavingTheWarmUpOut) {
  ChartData data;
  IntervalRecord warm = interval(0, Direction::Send, 1000);
  warm.omitted = true;
  data.add(warm);
  data.add(interval(1, Direction::Send, 9400));
  data.add(interval(2, Direction::Send, 38900));
  for (int s = 3; s < 15; ++s) data.add(interval(s, Direction::Send, 24675));
  EXPECT_EQ(chart_description(data), "Send: min 9.40, mean 24.60, max 38.90 Gbit/s over 14 s.");

  // A run of warm-up alone is described by it; small rates in Kbit/s.
  ChartData warmup_only;
  IntervalRecord r = interval(0, Direction::Receive, 0.5);
  r.omitted = true;
  warmup_only.add(r);
  r = interval(1, Direction::Receive, 0.25);
  r.omitted = true;
  warmup_only.add(r);
  EXPECT_EQ(chart_description(warmup_only), "Receive: min 250.00, mean 375.00, max 500.00 Kbit/s over 2 s.");
  EXPECT_EQ(chart_description(ChartData()), "No readings yet.");

  // Intervals the run's record no longer keeps leave the description too.
  ChartData capped;
  for (int s = 0; s < 4; ++s) capped.add(interval(s, s % 2 ? Direction::Receive : Direction::Send, 1000.0 * (s + 1)));
  capped.keep_newest(2);
  EXPECT_EQ(chart_description(capped), "Send: min 3.00, mean 3.00, max 3.00 Gbit/s over 1 s. "
                                       "Receive: min 4.00, mean 4.00, max 4.00 Gbit/s over 1 s.");
}

namespace {

// The chart of a captured run, fed record by record as a run would feed it.
ChartData captured(const std::string& name, bool server) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  OutputParser parser(server);
  ChartData data;
  for (std::string line; std::getline(in, line);)
    for (auto& ev : parser.feed_line(line))
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) data.add(*i->record);
  return data;
}

std::vector<double> starts(const ChartData& data, Direction d) {
  std::vector<double> out;
  for (const ChartPoint& p : data.series(d)) out.push_back(p.t0);
  return out;
}

std::vector<std::string> labels(const std::vector<TimeTick>& ticks) {
  std::vector<std::string> out;
  for (const TimeTick& t : ticks) out.push_back(t.text);
  return out;
}

}  // namespace

TEST(Chart, MeansAreWeightedByDurationAndTheScrapAtTheEndMakesNoPoint) {
  // 15.7 and 9.63 Gbit/s for a second each, 7.66 for 0.49 s: 29.0834 Gbit
  // over 2.49 s (iperf3's own summary says 11.7).
  EXPECT_EQ(chart_description(captured("iperf3-3.12/stopped-early-client.txt", false)),
            "Send: min 7.66, mean 11.68, max 15.70 Gbit/s over 2.5 s.");

  // Five whole seconds, then "5.00-5.01 sec ... 17.2 Gbits/sec".
  const ChartData served = captured("iperf3-3.12/tcp-5s-server.txt", true);
  EXPECT_EQ(chart_description(served), "Receive: min 5.10, mean 17.40, max 23.90 Gbit/s over 5 s.");
  EXPECT_EQ(starts(served, Direction::Receive), (std::vector<double>{0, 1, 2, 3, 4}));
  EXPECT_DOUBLE_EQ(served.t_max(), 5.0);
  // iperf3 3.18's served side ends in "5.00-5.00 sec ... 3.76 Gbits/sec".
  EXPECT_EQ(chart_description(captured("iperf3-3.18/tcp-5s-server.txt", true)),
            "Receive: min 4.19, mean 4.44, max 4.82 Gbit/s over 5 s.");
}

TEST(Chart, CountedSecondsFollowTheWarmUpWhenIperfRestartsItsClock) {
  // -O 2 -R: two warm-up seconds, then iperf3 counts 0.00-1.00 again. The
  // server's side ends in "3.00-3.01 sec ... 22.9 Gbits/sec".
  const ChartData server = captured("iperf3-3.12/omit-reverse-server.txt", true);
  EXPECT_EQ(starts(server, Direction::Send), (std::vector<double>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(server.series(Direction::Send)[1].omitted);
  EXPECT_FALSE(server.series(Direction::Send)[2].omitted);
  EXPECT_DOUBLE_EQ(server.t_max(), 5.0);
  EXPECT_EQ(chart_description(server), "Send: min 7.79, mean 10.63, max 13.40 Gbit/s over 3 s.");

  const ChartData client = captured("iperf3-3.12/omit-reverse-client.txt", false);
  EXPECT_EQ(starts(client, Direction::Receive), (std::vector<double>{0, 1, 2, 3, 4}));
  EXPECT_EQ(chart_description(client), "Receive: min 7.78, mean 10.69, max 13.30 Gbit/s over 3 s.");

  // iperf3 3.18 restarts its clock after the warm-up without -R too.
  const ChartData newer = captured("iperf3-3.18/omit-client.txt", false);
  EXPECT_EQ(starts(newer, Direction::Send), (std::vector<double>{0, 1, 2, 3, 4}));
  EXPECT_EQ(chart_description(newer), "Send: min 14.80, mean 15.80, max 17.10 Gbit/s over 3 s.");

  // 3.12 without -R goes on from the warm-up's end: nothing to move.
  const ChartData older = captured("iperf3-3.12/omit-client.txt", false);
  EXPECT_EQ(starts(older, Direction::Send), (std::vector<double>{0, 1, 2}));
}

TEST(Chart, TimeAxisStepsThroughSecondsMinutesAndHoursUpToTheEnd) {
  EXPECT_EQ(labels(time_ticks(50, 7)), (std::vector<std::string>{"0", "10 s", "20 s", "30 s", "40 s", "50 s"}));
  EXPECT_EQ(labels(time_ticks(3600, 6)),
            (std::vector<std::string>{"0", "15 min", "30 min", "45 min", "1 h"}));
  EXPECT_EQ(labels(time_ticks(5400, 4)), (std::vector<std::string>{"0", "30 min", "1 h", "1 h 30 min"}));
  // A day: no gridline past the data's end.
  const auto day = time_ticks(86400, 6);
  EXPECT_EQ(labels(day), (std::vector<std::string>{"0", "6 h", "12 h", "18 h", "24 h"}));
  EXPECT_DOUBLE_EQ(day.back().t, 86400);
  EXPECT_EQ(labels(time_ticks(2.49, 6)), (std::vector<std::string>{"0", "0.5 s", "1.0 s", "1.5 s", "2.0 s"}));
}

