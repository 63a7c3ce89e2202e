#include "ui/latency_plot.hpp"
#include "ui/plot_paint.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <limits>
#include <string>
#include <vector>

#include "core/latency_text.hpp"
#include "core/text.hpp"

namespace trellan {

LatencyPlotData::LatencyPlotData(const RunRecord& run) {
  if (!run.latency) return;
  if (run.latency->idle_replied) idle_ms = run.latency->idle_ms;
  probes = run.probes;
  rtt_max = idle_ms.value_or(0);
  for (const auto& p : probes)
    if (std::isfinite(p.rtt_ms)) rtt_max = std::max(rtt_max, static_cast<double>(p.rtt_ms));
  const auto latency = latency_of_records(run);
  // The chart's clock: after a warm-up whose clock started again at 0, the
  // counted intervals go on from the warm-up's end.
  double warmup_end = 0, shift = 0;
  bool counted_seen = false;
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const auto& r = run.intervals[i];
    if (r.omitted) {
      warmup_end = std::max(warmup_end, r.end);
    } else if (!counted_seen) {
      counted_seen = true;
      if (r.start < warmup_end - 1e-6) shift = warmup_end;
    }
    const double t0 = r.start + (r.omitted ? 0 : shift), t1 = r.end + (r.omitted ? 0 : shift);
    if (!latency[i] || !latency[i]->median_ms || !(t1 > t0)) continue;
    if (!medians.empty() && medians.back().t0 == t0 && medians.back().t1 == t1) continue;
    medians.push_back({t0, t1, *latency[i]->median_ms});
  }
}

std::string latency_plot_description(const LatencyPlotData& data) {
  if (data.empty()) return "No latency probes.";
  double t_end = 0, lo = 0, hi = 0;
  std::size_t replies = 0, lost = 0;
  for (const auto& p : data.probes) {
    t_end = std::max(t_end, static_cast<double>(p.t_s));
    if (!std::isfinite(p.rtt_ms)) {
      ++lost;
      continue;
    }
    lo = replies == 0 ? p.rtt_ms : std::min(lo, static_cast<double>(p.rtt_ms));
    hi = replies == 0 ? p.rtt_ms : std::max(hi, static_cast<double>(p.rtt_ms));
    ++replies;
  }
  for (const auto& m : data.medians) t_end = std::max(t_end, m.t1);
  std::string out = "Latency probes over " + plot::fixed(t_end, std::abs(t_end - std::round(t_end)) < 0.05 ? 0 : 1) + " s: ";
  out += replies == 0 ? std::string("no replies")
                      : std::to_string(replies) + (replies == 1 ? " reply" : " replies") + " from " + ms_text(lo) +
                            " to " + ms_text(hi) + " ms";
  out += ", " + std::to_string(lost) + " lost.";
  if (!data.medians.empty()) {
    const auto [low, high] = std::minmax_element(data.medians.begin(), data.medians.end(),
                                                 [](const auto& a, const auto& b) { return a.ms < b.ms; });
    out += " Interval medians from " + ms_text(low->ms) + " to " + ms_text(high->ms) + " ms.";
  }
  out += data.idle_ms ? " Idle latency " + ms_text(*data.idle_ms) + " ms." : std::string(" No idle reply.");
  return out;
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

namespace {

// Where probes crowd more than this many to a pixel column, the columns'
// spans stand for them.
constexpr double kDotsPerColumn = 3.0;

void show_text_at(cairo_t* cr, double x, double y, const std::string& text) {
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
}

double text_width(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text.c_str(), &ext);
  return ext.x_advance;
}

// A lost probe's mark: a small "×" at the top of the plot.
void lost_mark(cairo_t* cr, double x, double y) {
  cairo_move_to(cr, x - 3, y - 3);
  cairo_line_to(cr, x + 3, y + 3);
  cairo_move_to(cr, x + 3, y - 3);
  cairo_line_to(cr, x - 3, y + 3);
}

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

  // The top row holds the title, the legend and the lost probes' marks.
  const double y_lost = 27, y0 = 36, y1 = std::max(y0 + 20, height - 10);
  const double rtt_max = std::max(data.rtt_max, 1e-3);
  const double step = nice_step(rtt_max / std::max(2.0, std::floor((y1 - y0) / 25)));
  const double top = std::max(step, std::ceil(rtt_max / step - 1e-9) * step);
  const auto y_of = [&](double ms) { return y1 - (y1 - y0) * ms / top; };
  const auto x_of = [&](double t) { return axis.x0 + (axis.x1 - axis.x0) * t / axis.t_max; };

  // Gridlines and their labels.
  cairo_set_line_width(cr, 1.0);
  for (double v = 0; v <= top + step / 2; v += step) {
    const double y = (std::round(y_of(v) * scale - 0.5) + 0.5) / scale;
    set_rgb(cr, pal.grid, dark ? 0.16 : 0.12);
    cairo_move_to(cr, axis.x0, y);
    cairo_line_to(cr, axis.x1, y);
    cairo_stroke(cr);
    const std::string text = tick_text(v, step);
    set_rgb(cr, pal.text, 0.8);
    show_text_at(cr, axis.x0 - 6 - text_width(cr, text), y + kFont / 2 - 1, text);
  }
  // What is measured, and a legend of the marks, right-aligned; entries
  // that find no room are left out, the dots' first.
  set_rgb(cr, pal.text);
  const std::string title = "Round-trip time, ms";
  show_text_at(cr, 4, 13, title);
  {
    enum class Sample { Lost, Idle, Median, Probe };
    struct Entry {
      Sample sample;
      std::string text;
    };
    std::vector<Entry> entries = {{Sample::Lost, "lost"}};
    if (data.idle_ms) entries.push_back({Sample::Idle, "idle " + ms_text(*data.idle_ms) + " ms"});
    entries.push_back({Sample::Median, "interval median"});
    entries.push_back({Sample::Probe, "probe"});
    const double room = text_width(cr, title) + 16;
    double x = axis.x1;
    for (const Entry& e : entries) {
      const double w = text_width(cr, e.text);
      const double sample_w = e.sample == Sample::Median || e.sample == Sample::Idle ? 18 : 9;
      if (x - w - sample_w - 4 < room) break;
      x -= w;
      set_rgb(cr, pal.text, 0.8);
      show_text_at(cr, x, 13, e.text);
      x -= 4 + sample_w;
      switch (e.sample) {
        case Sample::Lost:
          set_rgb(cr, pal.lost);
          cairo_set_line_width(cr, 1.5);
          lost_mark(cr, x + 4, 9);
          cairo_stroke(cr);
          break;
        case Sample::Idle: {
          const double dash[] = {5.0, 3.0};
          cairo_set_dash(cr, dash, 2, 0);
          cairo_set_line_width(cr, 1.5);
          set_rgb(cr, pal.text, 0.75);
          cairo_move_to(cr, x, 9);
          cairo_line_to(cr, x + sample_w, 9);
          cairo_stroke(cr);
          cairo_set_dash(cr, nullptr, 0, 0);
          break;
        }
        case Sample::Median:
          set_rgb(cr, pal.line);
          cairo_rectangle(cr, x, 8, sample_w, 2.5);
          cairo_fill(cr);
          break;
        case Sample::Probe:
          set_rgb(cr, pal.band, dark ? 0.9 : 0.75);
          cairo_arc(cr, x + 4, 9, 2.5, 0, 2 * G_PI);
          cairo_fill(cr);
          break;
      }
      x -= 14;
    }
  }

  cairo_save(cr);
  cairo_rectangle(cr, axis.x0 - 4, 0, axis.x1 - axis.x0 + 8, height);
  cairo_clip(cr);

  const auto columns = static_cast<std::size_t>(std::max(1.0, std::ceil((axis.x1 - axis.x0) * scale)));
  const bool dots = static_cast<double>(data.probes.size()) <= kDotsPerColumn * static_cast<double>(columns);
  const auto on_pixel = [&](double v) { return std::round(v * scale) / scale; };
  set_rgb(cr, pal.lost);
  cairo_set_line_width(cr, 1.5);
  if (dots) {
    // Each probe a dot where it was sent; each lost one a mark above.
    set_rgb(cr, pal.band, dark ? 0.9 : 0.75);
    for (const LatencyProbe& p : data.probes) {
      if (!std::isfinite(p.rtt_ms)) continue;
      cairo_new_sub_path(cr);
      cairo_arc(cr, x_of(p.t_s), y_of(p.rtt_ms), 2.5, 0, 2 * G_PI);
    }
    cairo_fill(cr);
    set_rgb(cr, pal.lost);
    for (const LatencyProbe& p : data.probes)
      if (!std::isfinite(p.rtt_ms)) lost_mark(cr, x_of(p.t_s), y_lost);
    cairo_stroke(cr);
  } else {
    // The replies reduced to each device pixel column's lowest and highest;
    // a column with a lost probe gets a mark at the top.
    const LatencyPlotData::Columns& col = data.columns_for(columns, axis.t_max);
    const double col_w = 1.0 / scale;
    set_rgb(cr, pal.band, 0.6);
    for (std::size_t i = 0; i < columns; ++i) {
      if (!(col.hi[i] >= col.lo[i])) continue;
      const double x = axis.x0 + static_cast<double>(i) * col_w;
      const double ya = on_pixel(y_of(col.hi[i])) - col_w, yb = on_pixel(y_of(col.lo[i])) + col_w;
      cairo_rectangle(cr, x, ya, col_w, yb - ya);
    }
    cairo_fill(cr);
    set_rgb(cr, pal.lost);
    for (std::size_t i = 0; i < columns; ++i)
      if (col.lost[i]) cairo_rectangle(cr, axis.x0 + static_cast<double>(i) * col_w - col_w, y_lost - 3, 3 * col_w, 6);
    cairo_fill(cr);
  }

  // The idle median: a dashed baseline (the legend gives its figure).
  if (data.idle_ms) {
    const double y = y_of(*data.idle_ms);
    const double dash[] = {5.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_set_line_width(cr, 1.5);
    set_rgb(cr, pal.text, 0.75);
    cairo_move_to(cr, axis.x0, y);
    cairo_line_to(cr, axis.x1, y);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
  }

  // Each interval's median: a step line over the interval's own span.
  set_rgb(cr, pal.line);
  if (data.medians.size() * 3 <= columns) {
    cairo_set_line_width(cr, 2.5);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    std::optional<double> prev_t1;
    for (const auto& m : data.medians) {
      const double y = y_of(m.ms);
      if (prev_t1 && std::fabs(*prev_t1 - m.t0) < 1e-6)
        cairo_line_to(cr, x_of(m.t0), y);  // the riser from the interval before
      else
        cairo_move_to(cr, x_of(m.t0), y);
      cairo_line_to(cr, x_of(m.t1), y);
      prev_t1 = m.t1;
    }
    cairo_stroke(cr);
  } else {
    // Too many to tell apart: per column their first, lowest, highest and
    // last, a 2-pixel box from where the line comes in to where it leaves.
    const LatencyPlotData::Columns& col = data.columns_for(columns, axis.t_max);
    const double col_w = 1.0 / scale;
    std::optional<double> prev;
    for (std::size_t i = 0; i < columns; ++i) {
      const auto& sp = col.medians[i];
      if (!sp.any) continue;
      double hi = y_of(sp.hi), lo = y_of(sp.lo);
      if (prev) {
        hi = std::min(hi, *prev);
        lo = std::max(lo, *prev);
      }
      prev = y_of(sp.last);
      const double x = axis.x0 + static_cast<double>(i) * col_w;
      cairo_rectangle(cr, x, on_pixel(hi - 1), 2 * col_w, std::max(on_pixel(lo + 1) - on_pixel(hi - 1), 2.0));
    }
    cairo_fill(cr);
  }
  cairo_restore(cr);

  cairo_restore(cr);
}

}  // namespace trellan
