#include "ui/compare_view_paint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "core/text.hpp"

namespace trellan {

using plot::Frame;
using plot::kFont;
using plot::Rgb;
using plot::set_rgb;
using plot::show_text;
using plot::snap;
using plot::text_width;

CompareData::CompareData(const std::vector<const RunRecord*>& records) {
  const auto compared = compare_runs(records);
  for (std::size_t i = 0; i < records.size(); ++i) {
    Run run;
    run.name = series_name(i, compared[i], *records[i]);
    run.throughput = throughput_series(*records[i]);
    run.latency = latency_series(*records[i]);
    std::vector<double> rates;
    for (const TimedValue& v : run.throughput) rates.push_back(v.value);
    run.rates = distribution_of(std::move(rates));
    run.probes = distribution_of(loaded_probe_ms(*records[i]));
    runs.push_back(std::move(run));
  }
}

bool CompareData::any_latency() const {
  return std::any_of(runs.begin(), runs.end(), [](const Run& r) { return !r.latency.empty(); });
}

bool CompareData::any_probes() const {
  return std::any_of(runs.begin(), runs.end(), [](const Run& r) { return !r.probes.empty(); });
}

Rgb compared_run_colour(std::size_t i, bool dark) {
  // Blue, orange, bluish green, vermillion, reddish purple, sky blue, then
  // black and yellow, the two that disappear on one background or the
  // other: on a dark one, black gives way to white.
  static constexpr std::array<Rgb, 8> kLight{{{0.0, 0.447, 0.698},
                                              {0.902, 0.624, 0.0},
                                              {0.0, 0.620, 0.451},
                                              {0.835, 0.369, 0.0},
                                              {0.800, 0.475, 0.655},
                                              {0.337, 0.706, 0.914},
                                              {0.0, 0.0, 0.0},
                                              {0.941, 0.894, 0.259}}};
  static constexpr std::array<Rgb, 8> kDark{{{0.337, 0.706, 0.914},
                                             {0.902, 0.624, 0.0},
                                             {0.0, 0.620, 0.451},
                                             {0.835, 0.369, 0.0},
                                             {0.800, 0.475, 0.655},
                                             {0.0, 0.447, 0.698},
                                             {0.941, 0.894, 0.259},
                                             {1.0, 1.0, 1.0}}};
  return (dark ? kDark : kLight)[i % 8];
}

namespace {

constexpr double kRow = 17;  // a legend row

// A value axis from 0 to a round `top` above `max`, in round steps about
// 35 px apart over `pixels`.
struct ValueScale {
  double step, top;
};
ValueScale value_scale(double max, double pixels) {
  const double m = max > 0 ? max : 1.0;
  const double step = plot::nice_step(m / std::max(2.0, std::floor(pixels / 35)));
  return {step, std::max(step, std::ceil(m / step - 1e-9) * step)};
}

double widest_label(cairo_t* cr, const ValueScale& s, double wider_than) {
  double w = wider_than;
  for (double v = 0; v <= s.top + s.step / 2; v += s.step) w = std::max(w, text_width(cr, plot::tick_text(v, s.step)));
  return w;
}

// The horizontal gridlines of a value axis and their labels left of x0.
void value_grid(cairo_t* cr, const Frame& f, bool dark, double x0, double x1, double y0, double y1,
                const ValueScale& s, double scale) {
  for (double v = 0; v <= s.top + s.step / 2; v += s.step) {
    const double y = snap(y1 - (y1 - y0) * v / s.top, scale, 1.0);
    plot::grid_line(cr, f, dark, x0, y, x1, y);
    const std::string text = plot::tick_text(v, s.step);
    set_rgb(cr, f.text, 0.8);
    show_text(cr, text, x0 - 6 - text_width(cr, text), y + kFont / 2 - 1);
  }
}

// `text`, or as much of its start and end as fits in `width`.
std::string fitted(cairo_t* cr, const std::string& text, double width) {
  if (text_width(cr, text) <= width) return text;
  std::size_t fits = 3, fails = g_utf8_strlen(text.c_str(), -1);
  while (fails - fits > 1) {
    const std::size_t mid = fits + (fails - fits) / 2;
    (text_width(cr, cut_middle(text, mid)) <= width ? fits : fails) = mid;
  }
  return cut_middle(text, fits);
}

// The legend's entries flowing left to right from (x, y), wrapping at
// `right`; returns how many rows they took.
int legend(cairo_t* cr, const CompareData& data, const Frame& f, bool dark, double x, double y, double right,
           bool paint) {
  int rows = data.runs.empty() ? 0 : 1;
  double at = x;
  for (std::size_t i = 0; i < data.runs.size(); ++i) {
    const std::string name = fitted(cr, data.runs[i].name, right - x - 20);
    const double w = 20 + text_width(cr, name);
    if (at > x && at + w > right) {
      at = x;
      ++rows;
    }
    if (paint) {
      const double row_y = y + (rows - 1) * kRow;
      set_rgb(cr, compared_run_colour(i, dark));
      cairo_set_line_width(cr, 3.0);
      cairo_move_to(cr, at, row_y - 4);
      cairo_line_to(cr, at + 14, row_y - 4);
      cairo_stroke(cr);
      set_rgb(cr, f.text);
      show_text(cr, name, at + 18, row_y);
    }
    at += w + 14;
  }
  return rows;
}

// A line through each interval's value: a step as wide as the interval, or,
// with more intervals than pixel columns, each column's lowest to highest.
void series_line(cairo_t* cr, const std::vector<TimedValue>& values, double x0, double x1, double t_max,
                 const std::function<double(double)>& y_of, double scale) {
  if (values.empty() || !(t_max > 0)) return;
  const auto x_of = [&](double t) { return x0 + (x1 - x0) * t / t_max; };
  const auto columns = static_cast<std::size_t>(std::max(1.0, std::ceil((x1 - x0) * scale)));
  if (values.size() <= columns) {
    cairo_move_to(cr, x_of(values.front().t0), y_of(values.front().value));
    for (const TimedValue& v : values) {
      cairo_line_to(cr, x_of(v.t0), y_of(v.value));
      cairo_line_to(cr, x_of(v.t1), y_of(v.value));
    }
  } else {
    std::size_t column = columns + 1;
    double lo = 0, hi = 0;
    bool first = true;
    const auto flush = [&] {
      if (column > columns) return;
      const double x = x0 + (static_cast<double>(column) + 0.5) / scale;
      if (first) cairo_move_to(cr, x, y_of(hi));
      cairo_line_to(cr, x, y_of(hi));
      cairo_line_to(cr, x, y_of(lo));
      first = false;
    };
    for (const TimedValue& v : values) {
      const auto c = static_cast<std::size_t>(
          std::clamp((x_of((v.t0 + v.t1) / 2) - x0) * scale, 0.0, static_cast<double>(columns)));
      if (c != column) {
        flush();
        column = c;
        lo = hi = v.value;
      } else {
        lo = std::min(lo, v.value);
        hi = std::max(hi, v.value);
      }
    }
    flush();
  }
  cairo_stroke(cr);
}

void begin_lines(cairo_t* cr) {
  cairo_set_line_width(cr, 2.0);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
}

// Words in the middle of an empty plot.
void say(cairo_t* cr, const Frame& f, const std::string& words, double width, double height) {
  set_rgb(cr, f.text, 0.7);
  show_text(cr, words, std::max(4.0, (width - text_width(cr, words)) / 2), height / 2);
}

}  // namespace

TimeAxis paint_compare_throughput(cairo_t* cr, double width, double height, const CompareData& data, bool dark,
                                  double scale) {
  if (!(scale > 0)) scale = 1.0;
  const Frame& f = dark ? plot::kDarkFrame : plot::kLightFrame;
  cairo_save(cr);
  plot::begin_plot(cr, width, height, f);

  double t_max = 0, mbps_max = 0;
  for (const auto& run : data.runs)
    for (const TimedValue& v : run.throughput) {
      t_max = std::max(t_max, v.t1);
      mbps_max = std::max(mbps_max, v.value);
    }
  if (!(t_max > 0)) t_max = 10;
  const auto [per_unit, unit] = plot::unit_for(mbps_max > 0 ? mbps_max : 1.0);

  const int rows = legend(cr, data, f, dark, 8, 0, width - 8, false);
  const double y0 = 16 + rows * kRow + 22;
  const double y1 = std::round(std::max(y0 + 20, height - 24) * scale) / scale;
  const ValueScale s = value_scale(mbps_max / per_unit, y1 - y0);
  const double x0 = std::round(std::min(widest_label(cr, s, text_width(cr, unit)) + 12, width / 3) * scale) / scale;
  const double x1 = std::round(std::max(x0 + 20, width - 22) * scale) / scale;

  legend(cr, data, f, dark, 8, 16, width - 8, true);
  value_grid(cr, f, dark, x0, x1, y0, y1, s, scale);
  for (const TimeTick& tick : time_ticks(t_max, static_cast<int>((x1 - x0) / 72) + 1)) {
    const double x = snap(x0 + (x1 - x0) * tick.t / t_max, scale, 1.0);
    plot::grid_line(cr, f, dark, x, y0, x, y1);
    const double w = text_width(cr, tick.text);
    set_rgb(cr, f.text, 0.8);
    show_text(cr, tick.text, std::max(0.0, std::min(x - w / 2, width - w - 3)), y1 + 4 + kFont);
  }
  set_rgb(cr, f.text);
  show_text(cr, unit + ", each run from its start", 4, y0 - 9);

  cairo_save(cr);
  cairo_rectangle(cr, x0, y0 - 3, x1 - x0, y1 - y0 + 6);
  cairo_clip(cr);
  begin_lines(cr);
  const auto y_of = [&](double mbps) { return y1 - (y1 - y0) * mbps / per_unit / s.top; };
  for (std::size_t i = 0; i < data.runs.size(); ++i) {
    set_rgb(cr, compared_run_colour(i, dark));
    series_line(cr, data.runs[i].throughput, x0, x1, t_max, y_of, scale);
  }
  cairo_restore(cr);
  cairo_restore(cr);
  return TimeAxis{x0, x1, t_max};
}

void paint_compare_latency(cairo_t* cr, double width, double height, const CompareData& data,
                           const TimeAxis& axis, bool dark, double scale) {
  if (!(scale > 0)) scale = 1.0;
  const Frame& f = dark ? plot::kDarkFrame : plot::kLightFrame;
  cairo_save(cr);
  plot::begin_plot(cr, width, height, f);
  double ms_max = 0;
  for (const auto& run : data.runs)
    for (const TimedValue& v : run.latency) ms_max = std::max(ms_max, v.value);
  if (!data.any_latency()) say(cr, f, "No latency was measured in these runs.", width, height);
  // Without the chart's time axis yet, the plot waits for it.
  if (!data.any_latency() || !(axis.x1 > axis.x0) || !(axis.t_max > 0)) {
    cairo_restore(cr);
    return;
  }
  const double y0 = 22, y1 = std::max(y0 + 20, height - 10);
  const ValueScale s = value_scale(ms_max, y1 - y0);
  value_grid(cr, f, dark, axis.x0, axis.x1, y0, y1, s, scale);
  set_rgb(cr, f.text);
  show_text(cr, "Latency under load, ms (median of each interval)", 4, y0 - 9);

  cairo_save(cr);
  cairo_rectangle(cr, axis.x0, y0 - 3, axis.x1 - axis.x0, y1 - y0 + 6);
  cairo_clip(cr);
  begin_lines(cr);
  const auto y_of = [&](double ms) { return y1 - (y1 - y0) * ms / s.top; };
  for (std::size_t i = 0; i < data.runs.size(); ++i) {
    set_rgb(cr, compared_run_colour(i, dark));
    series_line(cr, data.runs[i].latency, axis.x0, axis.x1, axis.t_max, y_of, scale);
  }
  cairo_restore(cr);
  cairo_restore(cr);
}

void paint_compare_distribution(cairo_t* cr, double width, double height, const CompareData& data,
                                Distribution which, bool dark) {
  const Frame& f = dark ? plot::kDarkFrame : plot::kLightFrame;
  cairo_save(cr);
  plot::begin_plot(cr, width, height, f);
  const bool rates = which == Distribution::Rates;
  double max = 0;
  for (const auto& run : data.runs) {
    const auto& v = rates ? run.rates : run.probes;
    if (!v.empty()) max = std::max(max, v.back());
  }
  const auto [per_unit, unit] = rates ? plot::unit_for(max > 0 ? max : 1.0) : std::pair<double, std::string>{1.0, "ms"};
  const std::string title = rates ? "One-second rates, cumulative, " + unit : "Latency under load, cumulative, ms";
  set_rgb(cr, f.text);
  show_text(cr, title, 4, 14);
  if (!(rates ? std::any_of(data.runs.begin(), data.runs.end(), [](const auto& r) { return !r.rates.empty(); })
              : data.any_probes())) {
    say(cr, f, rates ? "No readings." : "No latency was measured under load.", width, height);
    cairo_restore(cr);
    return;
  }

  const double y0 = 30, y1 = std::max(y0 + 20, height - 24);
  const ValueScale xs = value_scale(max / per_unit, width / 2.2);
  const double x0 = std::min(text_width(cr, "100 %") + 12, width / 3), x1 = std::max(x0 + 20, width - 16);
  for (int pct = 0; pct <= 100; pct += 25) {
    const double y = snap(y1 - (y1 - y0) * pct / 100.0, 1.0, 1.0);
    plot::grid_line(cr, f, dark, x0, y, x1, y);
    const std::string text = std::to_string(pct) + " %";
    set_rgb(cr, f.text, 0.8);
    show_text(cr, text, x0 - 6 - text_width(cr, text), y + kFont / 2 - 1);
  }
  const auto x_of = [&](double v) { return x0 + (x1 - x0) * v / per_unit / xs.top; };
  for (double v = 0; v <= xs.top + xs.step / 2; v += xs.step) {
    const double x = snap(x0 + (x1 - x0) * v / xs.top, 1.0, 1.0);
    plot::grid_line(cr, f, dark, x, y0, x, y1);
    const std::string text = plot::tick_text(v, xs.step);
    const double w = text_width(cr, text);
    set_rgb(cr, f.text, 0.8);
    show_text(cr, text, std::max(0.0, std::min(x - w / 2, width - w - 3)), y1 + 4 + kFont);
  }

  cairo_save(cr);
  cairo_rectangle(cr, x0 - 2, y0 - 3, x1 - x0 + 4, y1 - y0 + 6);
  cairo_clip(cr);
  begin_lines(cr);
  for (std::size_t i = 0; i < data.runs.size(); ++i) {
    const auto& v = rates ? data.runs[i].rates : data.runs[i].probes;
    if (v.empty()) continue;
    set_rgb(cr, compared_run_colour(i, dark));
    // A step up at each value; a long run is drawn from a thousand of them,
    // evenly spread over its share.
    const std::size_t n = v.size(), steps = std::min<std::size_t>(n, 1000);
    double y = y1;
    cairo_move_to(cr, x_of(v.front()), y);
    for (std::size_t k = 0; k < steps; ++k) {
      const std::size_t idx = steps == 1 ? n - 1 : k * (n - 1) / (steps - 1);
      const double x = x_of(v[idx]);
      cairo_line_to(cr, x, y);
      y = y1 - (y1 - y0) * static_cast<double>(idx + 1) / static_cast<double>(n);
      cairo_line_to(cr, x, y);
    }
    cairo_stroke(cr);
  }
  cairo_restore(cr);
  cairo_restore(cr);
}

double compare_throughput_height(const CompareData& data) {
  return 240 + kRow * static_cast<double>(data.runs.size());
}

double comparison_height(const CompareData& data) {
  return compare_throughput_height(data) + (data.any_latency() ? kCompareLatencyHeight : 0) +
         kCompareDistributionHeight;
}

void paint_comparison(cairo_t* cr, double width, const CompareData& data, bool dark) {
  cairo_save(cr);
  const double top = compare_throughput_height(data);
  const TimeAxis axis = paint_compare_throughput(cr, width, top, data, dark);
  cairo_translate(cr, 0, top);
  if (data.any_latency()) {
    paint_compare_latency(cr, width, kCompareLatencyHeight, data, axis, dark);
    cairo_translate(cr, 0, kCompareLatencyHeight);
  }
  // Side by side, each half as wide, as the view lays them out.
  const double half = std::floor(width / 2);
  paint_compare_distribution(cr, half, kCompareDistributionHeight, data, Distribution::Rates, dark);
  cairo_translate(cr, half, 0);
  paint_compare_distribution(cr, width - half, kCompareDistributionHeight, data, Distribution::Latency, dark);
  cairo_restore(cr);
}

}  // namespace trellan
