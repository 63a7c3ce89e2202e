// What the throughput chart and the latency plot under it paint alike: their
// colours, and the round steps and labels of their gridlines.
#pragma once

#include <cairo.h>
#include <glib.h>

#include <algorithm>
#include <cmath>
#include <string>

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

}  // namespace trellan::plot
