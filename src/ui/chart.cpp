#include "ui/chart.hpp"
#include "ui/plot_paint.hpp"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "core/meter.hpp"

namespace trellan {

// ---- the data ----------------------------------------------------------------

ChartData::ChartData(const std::deque<IntervalRecord>& records) {
  for (const IntervalRecord& r : records) add(r);
}

void ChartData::Sums::add(const ChartPoint& p) {
  if (n == 0) {
    first = p.t0;
    min = max = p.mbps;
  }
  ++n;
  weighted += p.mbps * (p.t1 - p.t0);
  seconds += p.t1 - p.t0;
  min = std::min(min, p.mbps);
  max = std::max(max, p.mbps);
  last = p.t1;
}

void ChartData::add(const IntervalRecord& r) {
  const int d = r.direction == Direction::Send ? 0 : 1;
  ChartPoint p;
  p.t0 = r.start;
  p.t1 = std::max(r.start, r.end);
  p.mbps = std::isfinite(r.mbps) && r.mbps > 0 ? r.mbps : 0.0;
  p.omitted = r.omitted;
  p.flagged = r.retransmits.value_or(0) > 0 || r.lost.value_or(0) > 0;
  if (p.omitted) {
    warmup_seen_[d] = true;
    warmup_end_[d] = std::max(warmup_end_[d], p.t1);
  } else if (!counted_seen_[d]) {
    // The first counted interval: a clock that went back to 0 after the
    // warm-up goes on from the warm-up's end instead.
    counted_seen_[d] = true;
    if (warmup_seen_[d] && p.t0 < warmup_end_[d] - 1e-6) shift_[d] = warmup_end_[d];
  }
  if (!p.omitted) {
    p.t0 += shift_[d];
    p.t1 += shift_[d];
  }
  order_.push_back(r.direction);
  auto& series = d == 0 ? send_ : receive_;
  const bool kept = p.t1 - p.t0 >= kShortest - 1e-9;
  kept_.push_back(kept);
  if (!kept) {
    // Its mark still shows, on the interval before it.
    if (p.flagged && !series.empty() && !series.back().flagged) {
      series.back().flagged = true;
      ++flagged_;
    }
    return;
  }
  series.push_back(p);
  count(r.direction, p);
}

void ChartData::count(Direction direction, const ChartPoint& p) {
  const int d = direction == Direction::Send ? 0 : 1;
  all_[d].add(p);
  if (!p.omitted) counted_[d].add(p);
  t_max_ = std::max(t_max_, p.t1);
  mbps_max_ = std::max(mbps_max_, p.mbps);
  flagged_ += p.flagged;
}

void ChartData::keep_newest(std::size_t count) {
  if (order_.size() <= count) return;
  while (order_.size() > count) {
    auto& s = order_.front() == Direction::Send ? send_ : receive_;
    if (kept_.front() && !s.empty()) s.pop_front();
    order_.pop_front();
    kept_.pop_front();
  }
  recount();
}

void ChartData::recount() {
  for (int d = 0; d < 2; ++d) counted_[d] = all_[d] = Sums{};
  t_max_ = mbps_max_ = 0;
  flagged_ = 0;
  for (Direction d : {Direction::Send, Direction::Receive})
    for (const ChartPoint& p : series(d)) count(d, p);
}

std::optional<SeriesStats> ChartData::stats(Direction direction) const {
  const int d = direction == Direction::Send ? 0 : 1;
  const Sums& s = counted_[d].n > 0 ? counted_[d] : all_[d];
  if (s.n == 0) return std::nullopt;
  const double mean = s.seconds > 0 ? s.weighted / s.seconds : s.max;
  return SeriesStats{s.min, mean, s.max, std::max(0.0, s.last - s.first)};
}

namespace {

using plot::fixed;
using plot::unit_for;

std::string seconds_text(double s) {
  return std::abs(s - std::round(s)) < 0.05 ? fixed(std::round(s), 0) : fixed(s, 1);
}

}  // namespace

std::string chart_description(const ChartData& data) {
  std::string out;
  for (Direction d : {Direction::Send, Direction::Receive}) {
    const auto stats = data.stats(d);
    if (!stats) continue;
    const auto [per_unit, unit] = unit_for(stats->max);
    if (!out.empty()) out += " ";
    out += d == Direction::Send ? "Send" : "Receive";
    out += ": min " + fixed(stats->min / per_unit, 2) + ", mean " + fixed(stats->mean / per_unit, 2) +
           ", max " + fixed(stats->max / per_unit, 2) + " " + unit + " over " +
           seconds_text(stats->seconds) + " s.";
  }
  return out.empty() ? "No readings yet." : out;
}

// ---- painting ----------------------------------------------------------------

namespace {

using plot::Rgb;
using plot::set_rgb;
using plot::nice_step;
using plot::tick_text;

// Blue and orange stay apart in the common kinds of colour blindness; each
// reaches at least 3:1 against its background.
struct ChartPalette {
  Rgb background, text, grid, shade, send, receive;
};
constexpr ChartPalette kLightChart{{1.0, 1.0, 1.0},       {0.13, 0.15, 0.18}, {0.0, 0.0, 0.0},
                                   {0.0, 0.0, 0.0},       {0.0, 0.447, 0.698}, {0.835, 0.369, 0.0}};
constexpr ChartPalette kDarkChart{{0.15, 0.15, 0.15},     {0.92, 0.93, 0.95}, {1.0, 1.0, 1.0},
                                  {1.0, 1.0, 1.0},        {0.337, 0.706, 0.914}, {0.902, 0.624, 0.0}};

using plot::kFont;
using plot::show_text;
using plot::snap;
using plot::text_width;

struct Plot {
  double x0, y0, x1, y1;  // the plotting area: left, top, right, bottom
  double t_max, y_max;    // seconds and Mbit/s at the right and top edges
  double x(double t) const { return x0 + (x1 - x0) * (t_max > 0 ? t / t_max : 0); }
  double y(double mbps) const { return y1 - (y1 - y0) * (y_max > 0 ? mbps / y_max : 0); }
};

// Shades the warm-up intervals of either direction and labels the first span.
void paint_warmup(cairo_t* cr, const Plot& plot, const ChartData& data, const ChartPalette& pal,
                  bool dark) {
  std::vector<std::pair<double, double>> spans;
  for (Direction d : {Direction::Send, Direction::Receive})
    for (const ChartPoint& p : data.series(d))
      if (p.omitted) spans.emplace_back(p.t0, p.t1);
  if (spans.empty()) return;
  std::sort(spans.begin(), spans.end());
  std::vector<std::pair<double, double>> merged{spans.front()};
  for (const auto& s : spans) {
    if (s.first <= merged.back().second + 1e-9) merged.back().second = std::max(merged.back().second, s.second);
    else merged.push_back(s);
  }
  set_rgb(cr, pal.shade, dark ? 0.14 : 0.09);
  for (const auto& [t0, t1] : merged)
    cairo_rectangle(cr, plot.x(t0), plot.y0, std::max(1.0, plot.x(t1) - plot.x(t0)), plot.y1 - plot.y0);
  cairo_fill(cr);
  set_rgb(cr, pal.text, 0.85);
  show_text(cr, "warm-up", plot.x(merged.front().first) + 4, plot.y0 + kFont + 3);
}

// A small triangle pointing up, its tip at (x, y).
void triangle(cairo_t* cr, double x, double y, double size) {
  cairo_move_to(cr, x, y);
  cairo_line_to(cr, x + size * 0.6, y + size);
  cairo_line_to(cr, x - size * 0.6, y + size);
  cairo_close_path(cr);
}

// How wide a direction's line is drawn. Where both directions are shown
// (a bidirectional test) Send's line is the wider, drawn under Receive's:
// where the two rates meet, Send still shows as an outline on both sides of
// Receive rather than vanishing under it.
double line_width(const ChartData& data, Direction direction) {
  const bool both = !data.series(Direction::Send).empty() && !data.series(Direction::Receive).empty();
  return both && direction == Direction::Send ? 5.0 : 2.0;
}

// One direction: its line, its marks and its mean.
void paint_series(cairo_t* cr, const Plot& plot, const ChartData& data, Direction direction,
                  Rgb colour, double scale, int row) {
  const auto& points = data.series(direction);
  if (points.empty()) return;
  set_rgb(cr, colour);
  const double width = line_width(data, direction);
  cairo_set_line_width(cr, width);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  const int columns = std::max(1, static_cast<int>(std::ceil((plot.x1 - plot.x0) * scale)));
  auto mid = [](const ChartPoint& p) { return (p.t0 + p.t1) / 2; };
  std::vector<char> marks(static_cast<std::size_t>(columns) + 1, 0);
  auto column_of = [&](double x) {
    return std::clamp(static_cast<int>((x - plot.x0) * scale), 0, columns);
  };
  if (points.size() == 1) {
    // A single interval spans its width.
    const ChartPoint& p = points.front();
    cairo_move_to(cr, plot.x(p.t0), plot.y(p.mbps));
    cairo_line_to(cr, plot.x(p.t1), plot.y(p.mbps));
    if (p.flagged) marks[column_of(plot.x(mid(p)))] = 1;
  } else if (points.size() <= static_cast<std::size_t>(columns)) {
    // Each interval's rate is its mean: a step as wide as it.
    for (const ChartPoint& p : points) {
      const double y = plot.y(p.mbps);
      cairo_line_to(cr, plot.x(p.t0), y);
      cairo_line_to(cr, plot.x(p.t1), y);
      if (p.flagged) marks[column_of(plot.x(mid(p)))] = 1;
    }
    cairo_stroke(cr);
    // Few enough intervals to ring each marked one on the line too.
    for (const ChartPoint& p : points) {
      if (!p.flagged) continue;
      cairo_new_sub_path(cr);
      cairo_arc(cr, plot.x(mid(p)), plot.y(p.mbps), 3.5, 0, 2 * std::numbers::pi);
    }
  } else {
    // More intervals than pixel columns: each column is one device pixel wide
    // box over the span of its intervals and the last interval before it, so
    // the frame fills whole-pixel boxes, which cairo does fastest.
    const double half = width / 2;
    int column = -1;
    double lo = 0, hi = 0, last = 0;
    bool have_last = false;
    double from = 0;
    auto flush = [&] {
      if (column < 0) return;
      double top = plot.y(hi), bottom = plot.y(lo);
      if (have_last) {
        top = std::min(top, plot.y(from));
        bottom = std::max(bottom, plot.y(from));
      }
      const double y0 = std::floor((top - half) * scale) / scale;
      const double y1 = std::ceil((bottom + half) * scale) / scale;
      const double x = plot.x0 + column / scale;
      cairo_rectangle(cr, x, y0, 1.0 / scale, y1 - y0);
      from = last;
      have_last = true;
    };
    // Device columns per second, halved for the intervals' midpoints.
    const double per_second = (plot.x1 - plot.x0) * scale / plot.t_max / 2;
    for (const ChartPoint& p : points) {
      const int c = std::min(columns, std::max(0, static_cast<int>((p.t0 + p.t1) * per_second)));
      if (p.flagged) marks[c] = 1;
      if (c != column) {
        flush();
        column = c;
        lo = hi = last = p.mbps;
      } else {
        lo = std::min(lo, p.mbps);
        hi = std::max(hi, p.mbps);
        last = p.mbps;
      }
    }
    flush();
    cairo_fill(cr);
  }
  cairo_stroke(cr);  // the line, or the rings

  // Marks under the plot's bottom edge, one row per direction.
  const double size = 7.0;
  const double y = plot.y1 + 2 + row * (size + 1);
  for (int c = 0; c <= columns; ++c) {
    if (!marks[c]) continue;
    triangle(cr, plot.x0 + (c + 0.5) / scale, y, size);
    cairo_fill(cr);
    c += static_cast<int>(size * scale);  // marks closer than their width would merge
  }

  if (const auto stats = data.stats(direction)) {
    const double dashes[] = {5.0, 4.0};
    cairo_set_dash(cr, dashes, 2, 0);
    cairo_set_line_width(cr, 1.0);
    const double my = snap(plot.y(stats->mean), scale, 1.0);
    cairo_move_to(cr, plot.x0, my);
    cairo_line_to(cr, plot.x1, my);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
  }
}

// Top right: a swatch and a name per direction shown, then the mark.
void paint_legend(cairo_t* cr, const Plot& plot, const ChartData& data, const ChartPalette& pal,
                  bool any_mark) {
  struct Entry {
    std::string name;
    Rgb colour;
    bool mark;
    double width = 2.0;
  };
  std::vector<Entry> entries;
  if (!data.series(Direction::Send).empty())
    entries.push_back({"Send", pal.send, false, line_width(data, Direction::Send)});
  if (!data.series(Direction::Receive).empty())
    entries.push_back({"Receive", pal.receive, false, line_width(data, Direction::Receive)});
  if (any_mark) entries.push_back({"retransmits or loss", pal.text, true});
  double x = plot.x1;
  const double y = plot.y0 - 14;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    x -= text_width(cr, it->name);
    set_rgb(cr, pal.text);
    show_text(cr, it->name, x, y + kFont / 2 - 1);
    x -= 4;
    set_rgb(cr, it->colour);
    if (it->mark) {
      triangle(cr, x - 4, y - 4, 7);
      cairo_fill(cr);
      x -= 8;
    } else {
      cairo_set_line_width(cr, it->width);
      cairo_move_to(cr, x - 16, y);
      cairo_line_to(cr, x, y);
      cairo_stroke(cr);
      x -= 16;
    }
    x -= 12;
  }
}

}  // namespace

std::vector<TimeTick> time_ticks(double end, int max_ticks) {
  if (!(end > 0)) end = 1;
  max_ticks = std::max(2, max_ticks);
  // Round steps: fractions of a second for the shortest runs, then seconds,
  // minutes, hours, and whole days of hours.
  static constexpr double kSteps[] = {0.1,  0.2,  0.5,  1,    2,    5,     10,    15,    20,
                                      30,   60,   120,  300,  600,  900,   1200,  1800,  3600,
                                      7200, 10800, 21600, 43200, 86400};
  double step = 0;
  for (double s : kSteps)
    if (std::floor(end / s + 1e-9) + 1 <= max_ticks) {
      step = s;
      break;
    }
  if (step == 0) {
    step = 2 * 86400;
    while (std::floor(end / step + 1e-9) + 1 > max_ticks) step *= 2;
  }
  std::vector<TimeTick> ticks;
  const auto count = static_cast<long>(std::floor(end / step + 1e-9));
  for (long i = 0; i <= count; ++i) {
    const double t = static_cast<double>(i) * step;
    std::string text;
    if (i == 0) {
      text = "0";
    } else if (step < 60) {
      text = fixed(t, step < 1 ? 1 : 0) + " s";
    } else {
      const auto total_min = std::llround(t / 60);
      const long long h = total_min / 60, m = total_min % 60;
      if (h > 0) text = std::to_string(h) + " h";
      if (m > 0) text += (h > 0 ? " " : "") + std::to_string(m) + " min";
    }
    ticks.push_back({t, text});
  }
  return ticks;
}

TimeAxis paint_chart(cairo_t* cr, double width, double height, const ChartData& data, bool dark,
                 double scale) {
  if (!(scale > 0)) scale = 1.0;
  const ChartPalette& pal = dark ? kDarkChart : kLightChart;
  cairo_save(cr);
  set_rgb(cr, pal.background);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_fill(cr);
  cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kFont);

  // The scales: time up to the last interval's end, the rate up to a round
  // gridline above the highest interval, in the unit format_rate gives it.
  const double t_max = data.t_max() > 0 ? data.t_max() : 10.0;
  const double mbps_max = data.mbps_max();
  const auto [per_unit, unit] = unit_for(mbps_max > 0 ? mbps_max : 1.0);
  const double top_units = mbps_max > 0 ? mbps_max / per_unit : 1.0;

  Plot plot{};
  plot.y0 = 30;
  plot.y1 = std::max(plot.y0 + 20, height - 36);
  const double y_step = nice_step(top_units / std::max(2.0, std::floor((plot.y1 - plot.y0) / 35)));
  const double y_top = std::ceil(top_units / y_step - 1e-9) * y_step;
  plot.y_max = y_top * per_unit;
  double label_w = text_width(cr, unit);
  for (double v = 0; v <= y_top + y_step / 2; v += y_step)
    label_w = std::max(label_w, text_width(cr, tick_text(v, y_step)));
  plot.x0 = std::round(std::min(label_w + 12, width / 3) * scale) / scale;
  plot.x1 = std::round(std::max(plot.x0 + 20, width - 22) * scale) / scale;
  plot.y1 = std::round(plot.y1 * scale) / scale;
  // The time axis ends where the intervals do.
  plot.t_max = t_max;
  const auto ticks = time_ticks(t_max, static_cast<int>((plot.x1 - plot.x0) / 72) + 1);

  paint_warmup(cr, plot, data, pal, dark);

  // Gridlines and their labels.
  cairo_set_line_width(cr, 1.0);
  for (double v = 0; v <= y_top + y_step / 2; v += y_step) {
    const double y = snap(plot.y(v * per_unit), scale, 1.0);
    set_rgb(cr, pal.grid, dark ? 0.16 : 0.12);
    cairo_move_to(cr, plot.x0, y);
    cairo_line_to(cr, plot.x1, y);
    cairo_stroke(cr);
    const std::string text = tick_text(v, y_step);
    set_rgb(cr, pal.text, 0.8);
    show_text(cr, text, plot.x0 - 6 - text_width(cr, text), y + kFont / 2 - 1);
  }
  for (const TimeTick& tick : ticks) {
    const double x = snap(plot.x(tick.t), scale, 1.0);
    set_rgb(cr, pal.grid, dark ? 0.16 : 0.12);
    cairo_move_to(cr, x, plot.y0);
    cairo_line_to(cr, x, plot.y1);
    cairo_stroke(cr);
    // Centred under its line, but never past the chart's right edge.
    const double w = text_width(cr, tick.text);
    set_rgb(cr, pal.text, 0.8);
    show_text(cr, tick.text, std::max(0.0, std::min(x - w / 2, width - w - 3)), plot.y1 + 2 + 2 * 8 + kFont);
  }
  // The rate axis' name: its unit, over its labels.
  set_rgb(cr, pal.text);
  show_text(cr, unit, 4, plot.y0 - 11);

  cairo_save(cr);
  cairo_rectangle(cr, plot.x0, plot.y0 - 3, plot.x1 - plot.x0, plot.y1 - plot.y0 + 3 + 2 * 8 + 2);
  cairo_clip(cr);
  paint_series(cr, plot, data, Direction::Send, pal.send, scale, 0);
  paint_series(cr, plot, data, Direction::Receive, pal.receive, scale, 1);
  cairo_restore(cr);

  paint_legend(cr, plot, data, pal, data.any_flagged());
  cairo_restore(cr);
  return TimeAxis{plot.x0, plot.x1, plot.t_max};
}

}  // namespace trellan
