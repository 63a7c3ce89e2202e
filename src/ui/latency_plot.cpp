#include "ui/latency_plot.hpp"
#include "ui/plot_paint.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <limits>

#include "core/latency_text.hpp"
#include "core/text.hpp"

namespace trellan {

LatencyPlotData::LatencyPlotData(const RunRecord& run) {
  if (!run.latency) return;
  idle_ms = run.latency->idle_ms;
  probes = run.probes;
  rtt_max = *idle_ms;
  for (const auto& p : probes)
    if (std::isfinite(p.rtt_ms)) rtt_max = std::max(rtt_max, static_cast<double>(p.rtt_ms));
  const auto latency = latency_of_records(run);
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const auto& r = run.intervals[i];
    if (!latency[i] || !latency[i]->median_ms) continue;
    if (i > 0 && run.intervals[i - 1].start == r.start && run.intervals[i - 1].end == r.end) continue;
    medians.push_back({r.start, r.end, *latency[i]->median_ms});
  }
}

const LatencyPlotData::Columns& LatencyPlotData::columns_for(std::size_t columns, double t_max) const {
  if (cache_.count == columns && cache_.t_max == t_max) return cache_;
  Columns& c = cache_;
  c.count = columns;
  c.t_max = t_max;
  c.lo.assign(columns, std::numeric_limits<float>::infinity());
  c.hi.assign(columns, -std::numeric_limits<float>::infinity());
  c.lost.assign(columns, 0);
  c.medians.assign(columns, Columns::Span{});
  const double per_second = static_cast<double>(columns) / t_max;
  const float limit = static_cast<float>(columns);
  const auto per_second_f = static_cast<float>(per_second);
  for (const LatencyProbe& p : probes) {
    const float x = p.t_s * per_second_f;
    if (!(x >= 0) || !(x < limit)) continue;
    const auto i = static_cast<std::size_t>(x);
    if (p.rtt_ms != p.rtt_ms) {  // NaN: lost
      c.lost[i] = 1;
      continue;
    }
    c.lo[i] = std::min(c.lo[i], p.rtt_ms);
    c.hi[i] = std::max(c.hi[i], p.rtt_ms);
  }
  for (const auto& m : medians) {
    const double x = (m.t0 + m.t1) / 2 * per_second;
    if (!(x >= 0) || x >= static_cast<double>(columns)) continue;
    auto& sp = c.medians[static_cast<std::size_t>(x)];
    const auto v = static_cast<float>(m.ms);
    if (!sp.any) sp = {v, v, v, v, true};
    sp.lo = std::min(sp.lo, v);
    sp.hi = std::max(sp.hi, v);
    sp.last = v;
  }
  return c;
}

namespace {

using plot::Rgb;
using plot::set_rgb;
using plot::nice_step;
using plot::tick_text;

struct Palette {
  Rgb background, text, grid, band, line, lost;
};
constexpr Palette kLight{{1.0, 1.0, 1.0}, {0.13, 0.15, 0.18}, {0.0, 0.0, 0.0},
                         {0.42, 0.27, 0.60}, {0.31, 0.14, 0.49}, {0.75, 0.11, 0.16}};
constexpr Palette kDark{{0.15, 0.15, 0.15}, {0.92, 0.93, 0.95}, {1.0, 1.0, 1.0},
                        {0.75, 0.60, 0.92}, {0.86, 0.76, 0.98}, {1.0, 0.42, 0.42}};
constexpr double kFont = 11.0;

}  // namespace

void paint_latency_plot(cairo_t* cr, double width, double height, const LatencyPlotData& data,
                        const TimeAxis& axis, bool dark, double scale) {
  if (!(scale > 0)) scale = 1.0;
  const Palette& pal = dark ? kDark : kLight;
  cairo_save(cr);
  set_rgb(cr, pal.background);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_fill(cr);
  if (data.empty() || !(axis.x1 > axis.x0) || !(axis.t_max > 0)) {
    cairo_restore(cr);
    return;
  }
  cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kFont);

  const double y0 = 22, y1 = std::max(y0 + 20, height - 10);
  const double step = nice_step(data.rtt_max / std::max(2.0, std::floor((y1 - y0) / 35)));
  const double top = std::max(step, std::ceil(data.rtt_max / step - 1e-9) * step);
  const auto y_of = [&](double ms) { return y1 - (y1 - y0) * ms / top; };

  // Gridlines, their labels and the axis' name.
  cairo_set_line_width(cr, 1.0);
  for (double v = 0; v <= top + step / 2; v += step) {
    const double y = (std::round(y_of(v) * scale - 0.5) + 0.5) / scale;
    set_rgb(cr, pal.grid, dark ? 0.16 : 0.12);
    cairo_move_to(cr, axis.x0, y);
    cairo_line_to(cr, axis.x1, y);
    cairo_stroke(cr);
    const std::string text = tick_text(v, step);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, text.c_str(), &ext);
    set_rgb(cr, pal.text, 0.8);
    cairo_move_to(cr, axis.x0 - 6 - ext.x_advance, y + kFont / 2 - 1);
    cairo_show_text(cr, text.c_str());
  }
  set_rgb(cr, pal.text);
  cairo_move_to(cr, 4, y0 - 9);
  cairo_show_text(cr, "Latency, ms");

  cairo_save(cr);
  cairo_rectangle(cr, axis.x0, 0, axis.x1 - axis.x0, height);
  cairo_clip(cr);

  // The replies reduced to each device pixel column's lowest and highest;
  // a column with a lost probe gets a mark at the top.
  const auto columns = static_cast<std::size_t>(std::max(1.0, std::ceil((axis.x1 - axis.x0) * scale)));
  const LatencyPlotData::Columns& col = data.columns_for(columns, axis.t_max);
  const auto& lo = col.lo;
  const auto& hi = col.hi;
  const auto& lost = col.lost;
  // Whole device pixels: cairo fills such boxes without antialiasing work.
  const auto on_pixel = [&](double v) { return std::round(v * scale) / scale; };
  set_rgb(cr, pal.band, 0.45);
  const double col_w = 1.0 / scale;
  for (std::size_t i = 0; i < columns; ++i) {
    if (!(hi[i] >= lo[i])) continue;
    const double x = axis.x0 + static_cast<double>(i) * col_w;
    const double ya = on_pixel(y_of(hi[i])), yb = on_pixel(y_of(lo[i]));
    cairo_rectangle(cr, x, ya, col_w, std::max(yb - ya, col_w));
  }
  cairo_fill(cr);
  set_rgb(cr, pal.lost);
  for (std::size_t i = 0; i < columns; ++i)
    if (lost[i]) cairo_rectangle(cr, axis.x0 + static_cast<double>(i) * col_w - col_w, y0 - 8, 3 * col_w, 6);
  cairo_fill(cr);

  // The idle median, dashed.
  const double dash[] = {4.0, 3.0};
  cairo_set_dash(cr, dash, 2, 0);
  cairo_set_line_width(cr, 1.5);
  set_rgb(cr, pal.text, 0.7);
  cairo_move_to(cr, axis.x0, y_of(*data.idle_ms));
  cairo_line_to(cr, axis.x1, y_of(*data.idle_ms));
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0);

  // Each interval's median, at the middle of its interval, reduced like the
  // replies: per column its first, lowest, highest and last, so that a day
  // of intervals costs a line per column.
  const auto& spans = col.medians;
  // Drawn as a 2-pixel box per column from where the line comes in to
  // where it leaves, which joins into a line and fills fast.
  set_rgb(cr, pal.line);
  std::optional<double> prev;
  for (std::size_t i = 0; i < columns; ++i) {
    const auto& sp = spans[i];
    if (!sp.any) continue;
    double top = y_of(sp.hi), bottom = y_of(sp.lo);
    if (prev) {
      top = std::min(top, *prev);
      bottom = std::max(bottom, *prev);
    }
    prev = y_of(sp.last);
    const double x = axis.x0 + static_cast<double>(i) * col_w;
    cairo_rectangle(cr, x, on_pixel(top - 1), 2 * col_w, std::max(on_pixel(bottom + 1) - on_pixel(top - 1), 2.0));
  }
  cairo_fill(cr);
  cairo_restore(cr);
  cairo_restore(cr);
}

}  // namespace trellan
