#include "meter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

namespace trellan {

namespace {

constexpr double kNeedleTau = 0.1;     // s
constexpr double kSnap = 0.01;         // Mbit/s
constexpr double kHeadroom = 1.15;
constexpr double kMinScale = 10.0;     // Mbit/s
constexpr double kGrowTau = 0.25;      // s
constexpr double kShrinkTau = 1.2;     // s
constexpr double kPeakHold = 2.0;      // s
constexpr double kPeakTau = 1.5;       // s
constexpr double kMaxStep = 0.1;       // s
// The largest value of the 10-20-50 series that a double holds; a reading
// near the top of the double range would otherwise give an infinite scale
// that never shrinks back (infinity minus infinity is NaN).
constexpr double kMaxScale = 1e308;

// Smallest value of 10, 20, 50, 100, 200, 500, ... that is at least 1.15 times
// the larger of reading and peak.
double full_scale_goal(double reading) {
  const double w = reading * kHeadroom;
  if (!(w > 0.0)) return kMinScale;
  const double decade = std::pow(10.0, std::floor(std::log10(w)));
  const double r = w / decade;
  const double mantissa = r <= 1.0 ? 1.0 : r <= 2.0 ? 2.0 : r <= 5.0 ? 5.0 : 10.0;
  return std::min(std::max(decade * mantissa, kMinScale), kMaxScale);
}

}  // namespace

void MeterState::set_value(double mbps) {
  if (!std::isfinite(mbps)) mbps = std::nan("");
  target = mbps > 0.0 ? mbps : 0.0;
  if (mbps > peak) {
    peak = mbps;
    peak_age = 0.0;
  }
}

void MeterState::reset() {
  target = 0.0;
  peak = 0.0;
  peak_age = 0.0;
}

void MeterState::tick(std::int64_t frame_time_us) {
  double dt = 0.0;
  if (last_frame_time != 0) {
    dt = static_cast<double>(frame_time_us - last_frame_time) / 1e6;
    dt = std::min(std::max(dt, 0.0), kMaxStep);
  }
  last_frame_time = frame_time_us;

  display += (target - display) * (1.0 - std::exp(-dt / kNeedleTau));
  if (std::abs(target - display) < kSnap) display = target;

  const double goal = full_scale_goal(std::max(target, peak));
  const double tau = goal > scale_max ? kGrowTau : kShrinkTau;
  scale_max += (goal - scale_max) * (1.0 - std::exp(-dt / tau));

  peak_age += dt;
  if (peak_age > kPeakHold) {
    // One minus the exponential: once the hold has run out the held peak
    // falls to the current reading within a frame and then follows it down.
    peak *= 1.0 - std::exp(-dt / kPeakTau);
    if (target > peak) peak = target;
  }
}

namespace {

std::string fixed(double value, int digits) {
  // Wide enough for the largest double in fixed notation with two decimals.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
  return res.ec == std::errc() ? std::string(buf, res.ptr) : std::string("?");
}

}  // namespace

std::pair<std::string, std::string> format_rate(double mbps) {
  if (mbps >= 1000.0) return {fixed(mbps / 1000.0, 2), "Gbit/s"};
  if (mbps >= 1.0) return {fixed(mbps, 1), "Mbit/s"};
  return {fixed(mbps * 1000.0, 0), "Kbit/s"};
}

std::array<std::string, 3> tick_labels(double scale_max) {
  return {format_rate(0.0).first, format_rate(0.5 * scale_max).first,
          format_rate(scale_max).first};
}

std::string readout_text(double peak) {
  auto [number, unit] = format_rate(peak);
  return number + " " + unit;
}

// ---------------------------------------------------------------------------
// Painting

namespace {

struct Rgb {
  double r, g, b;
};

struct Palette {
  double track[4];
  Rgb fg;
};

constexpr Palette kDark{{1.0, 1.0, 1.0, 0.1}, {0.92, 0.93, 0.95}};
constexpr Palette kLight{{0.0, 0.0, 0.0, 0.08}, {0.13, 0.15, 0.18}};
constexpr Rgb kPeakColour{0.95, 0.35, 0.35};

constexpr double kStart = 5.0 * std::numbers::pi / 6.0;  // 150°
constexpr double kSweep = 4.0 * std::numbers::pi / 3.0;  // 240°
constexpr int kArcPieces = 64;

double clamp_to(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

// Fraction of full scale in [0, 1]; NaN reads as 0.
double fraction(double value, double scale) {
  const double f = value / scale;
  return f > 0.0 ? std::min(f, 1.0) : 0.0;
}

double angle(double x) { return kStart + x * kSweep; }

// Green at 0, amber at one half, red at 1.
Rgb zone_colour(double c) {
  if (c < 0.5) return {0.2 + 1.5 * c, 0.78, 0.4 - 0.2 * c};
  const double u = 2.0 * (c - 0.5);
  return {0.95, 0.78 - 0.48 * u, 0.3 - 0.05 * u};
}

struct Geometry {
  double radius, cx, cy, track;
  double tick_outer, label_radius, label_font;
  double needle_tip, needle_tail, needle_width, hub;
  double number_font, unit_font;
};

Geometry geometry(double w, double h) {
  Geometry g{};
  g.radius = std::max(std::min((w - 32.0) / 2.0, (h - 32.0) / 1.55), 40.0);
  const double r = g.radius;
  g.cx = w / 2.0;
  g.cy = std::max((h - 1.55 * r) / 2.0, 16.0) + r;
  g.track = clamp_to(0.13 * r, 8.0, 26.0);
  g.tick_outer = r - g.track / 2.0 - 4.0;
  g.label_radius = r - g.track / 2.0 - 32.0;
  g.label_font = clamp_to(0.085 * r, 9.0, 15.0);
  g.needle_tip = r - g.track / 2.0;
  g.needle_tail = 0.16 * r;
  g.needle_width = clamp_to(0.035 * r, 3.0, 7.0);
  g.hub = clamp_to(0.06 * r, 5.0, 11.0);
  g.number_font = clamp_to(0.3 * r, 18.0, 44.0);
  g.unit_font = clamp_to(0.12 * r, 10.0, 18.0);
  return g;
}

void set_rgb(cairo_t* cr, Rgb c, double alpha) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void radial_line(cairo_t* cr, const Geometry& g, double theta, double from, double to) {
  const double c = std::cos(theta), s = std::sin(theta);
  cairo_move_to(cr, g.cx + from * c, g.cy + from * s);
  cairo_line_to(cr, g.cx + to * c, g.cy + to * s);
  cairo_stroke(cr);
}

// Shows `text` with its baseline starting at x - width/2 (+ y offset from the
// height when `centre_vertically`). A text the font cannot measure is skipped.
void show_centred(cairo_t* cr, const std::string& text, double x, double y, bool centre_vertically) {
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text.c_str(), &ext);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return;
  cairo_move_to(cr, x - ext.width / 2.0, centre_vertically ? y + ext.height / 2.0 : y);
  cairo_show_text(cr, text.c_str());
}

}  // namespace

void paint_gauge(cairo_t* cr, double width, double height, const MeterState& state, bool dark) {
  const Palette& pal = dark ? kDark : kLight;
  const Geometry g = geometry(width, height);
  const double f = fraction(state.display, state.scale_max);

  // Track.
  cairo_set_line_width(cr, g.track);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_source_rgba(cr, pal.track[0], pal.track[1], pal.track[2], pal.track[3]);
  cairo_arc(cr, g.cx, g.cy, g.radius, angle(0.0), angle(1.0));
  cairo_stroke(cr);

  // Value arc, in pieces coloured by where they sit on the scale.
  if (f > 0.001) {
    for (int i = 0; i < kArcPieces; ++i) {
      const double s0 = static_cast<double>(i) / kArcPieces;
      if (s0 > f) break;
      const double s1 = std::min(static_cast<double>(i + 1) / kArcPieces, f);
      set_rgb(cr, zone_colour(std::min(1.0, (s0 + s1) / 2.0)), 1.0);
      cairo_arc(cr, g.cx, g.cy, g.radius, angle(s0), angle(s1));
      cairo_stroke(cr);
    }
  }

  // Ticks, with labels on the ends and the middle.
  cairo_set_line_width(cr, 2.0);
  const auto labels = tick_labels(state.scale_max);
  for (int k = 0; k <= 10; ++k) {
    const double theta = angle(k / 10.0);
    const bool major = k % 5 == 0;
    set_rgb(cr, pal.fg, 0.55);
    radial_line(cr, g, theta, g.tick_outer - (major ? 14.0 : 8.0), g.tick_outer);
    if (!major) continue;
    cairo_set_font_size(cr, g.label_font);
    set_rgb(cr, pal.fg, 0.7);
    show_centred(cr, labels[static_cast<std::size_t>(k / 5)], g.cx + g.label_radius * std::cos(theta),
                 g.cy + g.label_radius * std::sin(theta), true);
  }

  // Peak marker across the track.
  if (state.peak > 0.0) {
    cairo_set_line_width(cr, 3.0);
    set_rgb(cr, kPeakColour, 1.0);
    radial_line(cr, g, angle(fraction(state.peak, state.scale_max)), g.radius - g.track,
                g.radius + 0.55 * g.track);
  }

  // Needle, from a short tail behind the hub to the inner edge of the track.
  cairo_set_line_width(cr, g.needle_width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  set_rgb(cr, zone_colour(f), 1.0);
  radial_line(cr, g, angle(f), -g.needle_tail, g.needle_tip);

  // Hub.
  set_rgb(cr, pal.fg, 1.0);
  cairo_arc(cr, g.cx, g.cy, g.hub, 0.0, 2.0 * std::numbers::pi);
  cairo_fill(cr);

  // Readout of the held peak: bold number over the unit.
  const auto [number, unit] = format_rate(state.peak);
  set_rgb(cr, pal.fg, 1.0);
  cairo_set_font_size(cr, g.number_font);
  cairo_select_font_face(cr, "Cantarell", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  show_centred(cr, number, g.cx, g.cy + 0.42 * g.radius, false);

  cairo_set_font_size(cr, g.unit_font);
  cairo_select_font_face(cr, "Cantarell", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  set_rgb(cr, pal.fg, 0.65);
  show_centred(cr, unit, g.cx, g.cy + 0.42 * g.radius + 0.7 * g.number_font, false);
}

}  // namespace trellan
