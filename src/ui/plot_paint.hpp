// What the throughput chart, the latency plot under it and the comparison's
// plots paint alike: their colours, text, whole-pixel lines, and the round
// steps and labels of their gridlines.
#pragma once

#include <cairo.h>
#include <glib.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/meter.hpp"

namespace trellan::plot {

struct Rgb {
  double r, g, b;
};

inline void set_rgb(cairo_t* cr, Rgb c, double alpha = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

// `v` with `decimals` decimals (0 to 9) and a "." whatever the locale.
inline std::string fixed(double v, int decimals) {
  char buf[G_ASCII_DTOSTR_BUF_SIZE];
  const char format[] = {'%', '.', static_cast<char>('0' + std::clamp(decimals, 0, 9)), 'f', '\0'};
  return g_ascii_formatd(buf, sizeof buf, format, v);
}

// The 1, 2 or 5 times a power of ten at least `raw`.
inline double nice_step(double raw) {
  if (!(raw > 0)) return 1.0;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw * (1 - 1e-9)) return m * p;
  return 10 * p;
}

// A number of a gridline label: as few decimals as the step needs.
inline std::string tick_text(double v, double step) {
  const int decimals = step >= 1 ? 0 : std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
  return fixed(v, decimals);
}

constexpr double kFont = 11.0;

inline double text_width(cairo_t* cr, const std::string& s) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  return e.x_advance;
}

inline void show_text(cairo_t* cr, const std::string& s, double x, double y) {
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, s.c_str());
}

// Where a line of `width` user units lies on whole device pixels near `v`.
inline double snap(double v, double scale, double width) {
  const double device_width = std::max(1.0, std::round(width * scale));
  const double offset = static_cast<int>(device_width) % 2 ? 0.5 : 0.0;
  return (std::round(v * scale - offset) + offset) / scale;
}

// Mbit/s per unit of the unit that format_rate picks for `mbps`, and its name.
inline std::pair<double, std::string> unit_for(double mbps) {
  std::string unit = format_rate(mbps).second;
  if (unit == "Gbit/s") return {1000.0, unit};
  if (unit == "Kbit/s") return {0.001, unit};
  return {1.0, unit};
}

// A plot's own colours, and its font.
struct Frame {
  Rgb background, text, grid;
};
inline constexpr Frame kLightFrame{{1.0, 1.0, 1.0}, {0.13, 0.15, 0.18}, {0.0, 0.0, 0.0}};
inline constexpr Frame kDarkFrame{{0.15, 0.15, 0.15}, {0.92, 0.93, 0.95}, {1.0, 1.0, 1.0}};

// Fills the width × height area with the frame's background and sets the
// font the labels are written in.
inline void begin_plot(cairo_t* cr, double width, double height, const Frame& frame) {
  set_rgb(cr, frame.background);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_fill(cr);
  cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kFont);
}

// A faint gridline from (x0, y0) to (x1, y1).
inline void grid_line(cairo_t* cr, const Frame& frame, bool dark, double x0, double y0, double x1, double y1) {
  set_rgb(cr, frame.grid, dark ? 0.16 : 0.12);
  cairo_set_line_width(cr, 1.0);
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
  cairo_stroke(cr);
}

}  // namespace trellan::plot
