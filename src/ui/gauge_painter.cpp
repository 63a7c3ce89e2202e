#include "ui/gauge_painter.hpp"
#include "core/run_words.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace trellan {

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
constexpr double kMinArc = 0.001;

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

// The parts of a frame, in the order they are painted. Each sets what it
// strokes with, except where noted.

void paint_track(cairo_t* cr, const Geometry& g, const Palette& pal) {
  cairo_set_line_width(cr, g.track);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_source_rgba(cr, pal.track[0], pal.track[1], pal.track[2], pal.track[3]);
  cairo_arc(cr, g.cx, g.cy, g.radius, angle(0.0), angle(1.0));
  cairo_stroke(cr);
}

// Piece i of the value arc, which ends at fraction `end`: from i/64 to
// min((i + 1)/64, end). Expects the track's line width and round caps.
void paint_arc_piece(cairo_t* cr, const Geometry& g, int i, double end) {
  const double s0 = static_cast<double>(i) / kArcPieces;
  const double s1 = std::min(static_cast<double>(i + 1) / kArcPieces, end);
  set_rgb(cr, zone_colour(std::min(1.0, (s0 + s1) / 2.0)), 1.0);
  cairo_arc(cr, g.cx, g.cy, g.radius, angle(s0), angle(s1));
  cairo_stroke(cr);
}

// How many pieces the value arc up to fraction f is drawn in (the last one
// may be shorter than 1/64, or even empty).
int arc_pieces(double f) {
  if (!(f > kMinArc)) return 0;
  int n = 0;
  while (n < kArcPieces && static_cast<double>(n) / kArcPieces <= f) ++n;
  return n;
}

// Whether piece i of an arc up to f is a whole 1/64, the same for every f.
bool whole_piece(int i, double f) { return static_cast<double>(i + 1) / kArcPieces <= f; }

// Up to the needle, in pieces coloured by where they sit on the scale. Leaves
// the round line cap that every later stroke uses.
void paint_value_arc(cairo_t* cr, const Geometry& g, double f) {
  cairo_set_line_width(cr, g.track);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  for (int i = 0, n = arc_pieces(f); i < n; ++i) paint_arc_piece(cr, g, i, f);
}

bool major_tick(int k) { return k % 5 == 0; }

// Tick k of 0..10; expects a line width of 2 and round caps.
void paint_tick_mark(cairo_t* cr, const Geometry& g, const Palette& pal, int k) {
  set_rgb(cr, pal.fg, 0.55);
  radial_line(cr, g, angle(k / 10.0), g.tick_outer - (major_tick(k) ? 14.0 : 8.0), g.tick_outer);
}

// The label of major tick k, in the context's current font face.
void paint_tick_label(cairo_t* cr, const Geometry& g, const Palette& pal, int k,
                      const std::string& text) {
  const double theta = angle(k / 10.0);
  cairo_set_font_size(cr, g.label_font);
  set_rgb(cr, pal.fg, 0.7);
  show_centred(cr, text, g.cx + g.label_radius * std::cos(theta),
               g.cy + g.label_radius * std::sin(theta), true);
}

// Peak marker, needle, hub and readout: everything that follows the state.
void paint_pointers(cairo_t* cr, const Geometry& g, const Palette& pal, const MeterState& state,
                    double f) {
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

}  // namespace

void paint_gauge(cairo_t* cr, double width, double height, const MeterState& state, bool dark) {
  const Palette& pal = dark ? kDark : kLight;
  const Geometry g = geometry(width, height);
  const double f = fraction(state.display, state.scale_max);

  paint_track(cr, g, pal);
  paint_value_arc(cr, g, f);
  cairo_set_line_width(cr, 2.0);
  const auto labels = tick_labels(state.scale_max);
  for (int k = 0; k <= 10; ++k) {
    paint_tick_mark(cr, g, pal, k);
    if (major_tick(k)) paint_tick_label(cr, g, pal, k, labels[static_cast<std::size_t>(k / 5)]);
  }
  paint_pointers(cr, g, pal, state, f);
}

GaugeFrame gauge_frame(const MeterState& state, double width, double height, bool dark,
                           double scale) {
  const Geometry g = geometry(width, height);
  // Radians to steps of a quarter device pixel at the outer end of the peak
  // marker (its round cap included), the farthest point that turns: the
  // needle's tip and the value arc's end, nearer the centre, move less.
  const double steps = (g.radius + 0.55 * g.track + 1.5) * scale * 4.0;
  const double f = fraction(state.display, state.scale_max);
  GaugeFrame p;
  p.width = width;
  p.height = height;
  p.scale = scale;
  p.dark = dark;
  p.value_arc = f > kMinArc;
  p.needle = std::llround(angle(f) * steps);
  p.peak_marker = state.peak > 0.0;
  if (p.peak_marker) p.peak = std::llround(angle(fraction(state.peak, state.scale_max)) * steps);
  p.labels = tick_labels(state.scale_max);
  p.readout = rate_text(state.peak);
  return p;
}

// ---------------------------------------------------------------------------
// Cached layers

namespace {

constexpr int kTile = 32;  // device pixels

// Gives `to` the font, font options, tolerance and antialiasing of `from`, so
// that what it paints is what `from` would paint.
void copy_settings(cairo_t* from, cairo_t* to) {
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_surface_get_font_options(cairo_get_target(from), options);
  cairo_font_options_t* own = cairo_font_options_create();
  cairo_get_font_options(from, own);
  cairo_font_options_merge(options, own);
  cairo_set_font_options(to, options);
  cairo_font_options_destroy(own);
  cairo_font_options_destroy(options);
  cairo_set_font_face(to, cairo_get_font_face(from));
  cairo_set_tolerance(to, cairo_get_tolerance(from));
  cairo_set_antialias(to, cairo_get_antialias(from));
}

// What decides how `cr` paints text and curves, as part of a layer's key.
std::string settings_key(cairo_t* cr) {
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_surface_get_font_options(cairo_get_target(cr), options);
  cairo_font_options_t* own = cairo_font_options_create();
  cairo_get_font_options(cr, own);
  cairo_font_options_merge(options, own);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%p %lu %.17g %d", static_cast<void*>(cairo_get_font_face(cr)),
                cairo_font_options_hash(options), cairo_get_tolerance(cr),
                static_cast<int>(cairo_get_antialias(cr)));
  cairo_font_options_destroy(own);
  cairo_font_options_destroy(options);
  return buf;
}

bool whole(double v) { return std::abs(v - std::round(v)) < 1e-9; }

}  // namespace

GaugePainter::Layer::~Layer() { clear(); }

void GaugePainter::Layer::rebuild(cairo_t* like, const std::string& key, double scale, void* data,
                                  void (*draw)(cairo_t*, void*)) {
  clear();
  key_ = key;
  valid_ = true;
  scale_ = scale;

  // Where the layer has ink, from a recording of it.
  cairo_surface_t* rec = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr);
  cairo_t* rc = cairo_create(rec);
  copy_settings(like, rc);
  draw(rc, data);
  cairo_destroy(rc);
  double x, y, w, h;
  cairo_recording_surface_ink_extents(rec, &x, &y, &w, &h);
  if (!(w > 0 && h > 0)) {
    cairo_surface_destroy(rec);
    return;
  }

  // One device pixel of margin against rounding of the extents.
  dx_ = static_cast<int>(std::floor(x * scale)) - 1;
  dy_ = static_cast<int>(std::floor(y * scale)) - 1;
  const int width = static_cast<int>(std::ceil((x + w) * scale)) + 1 - dx_;
  const int height = static_cast<int>(std::ceil((y + h) * scale)) + 1 - dy_;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_surface_set_device_scale(image, scale, scale);
  cairo_surface_set_device_offset(image, -dx_, -dy_);
  cairo_t* cr = cairo_create(image);
  if (cairo_surface_get_type(cairo_get_target(like)) == CAIRO_SURFACE_TYPE_RECORDING) {
    // What is painted on a recording surface is laid out (text above all)
    // there and rasterised only when the recording is played back: the
    // layer goes the same way.
    cairo_set_source_surface(cr, rec, 0, 0);
    cairo_paint(cr);
  } else {
    copy_settings(like, cr);
    draw(cr, data);
  }
  cairo_destroy(cr);
  cairo_surface_destroy(rec);
  cairo_surface_flush(image);

  // Keep only the tiles that hold ink, joined into runs along each row, each
  // run in a surface of its own: a large dial's layers are mostly empty.
  const unsigned char* pixels = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  auto keep = [&](int x0, int y0, int x1, int y1) {
    cairo_surface_t* piece = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, x1 - x0, y1 - y0);
    cairo_surface_flush(piece);
    unsigned char* to = cairo_image_surface_get_data(piece);
    const int to_stride = cairo_image_surface_get_stride(piece);
    for (int row = y0; row < y1; ++row)
      std::memcpy(to + (row - y0) * to_stride, pixels + row * stride + 4 * x0,
                  4 * static_cast<std::size_t>(x1 - x0));
    cairo_surface_mark_dirty(piece);
    cairo_surface_set_device_scale(piece, scale, scale);
    cairo_surface_set_device_offset(piece, -(dx_ + x0), -(dy_ + y0));
    boxes_.push_back({piece, dx_ + x0, dy_ + y0, x1 - x0, y1 - y0});
  };
  for (int ty = 0; ty < height; ty += kTile) {
    const int y1 = std::min(ty + kTile, height);
    int run = -1;  // left edge of the run of inked tiles being joined
    for (int tx = 0; tx < width; tx += kTile) {
      const int x1 = std::min(tx + kTile, width);
      bool inked = false;
      for (int row = ty; row < y1 && !inked; ++row) {
        const auto* p = reinterpret_cast<const std::uint32_t*>(pixels + row * stride);
        for (int col = tx; col < x1 && !inked; ++col) inked = p[col] != 0;
      }
      if (inked && run < 0) run = tx;
      if (!inked && run >= 0) {
        keep(run, ty, tx, y1);
        run = -1;
      }
    }
    if (run >= 0) keep(run, ty, width, y1);
  }
  cairo_surface_destroy(image);
}

void GaugePainter::Layer::clear() {
  for (const Box& b : boxes_) cairo_surface_destroy(b.surface);
  boxes_.clear();
}

void GaugePainter::Layer::composite(cairo_t* cr) const {
  // One fill per box: cairo composites a path of many boxes through a mask
  // of their whole extent, which on a large dial costs more than the boxes.
  //
  // The boxes land on whole device pixels here, but where `cr` records (as
  // GTK's drawing areas do) the recording may be replayed later shifted or
  // scaled off the pixel grid, which no check here can see. Boxes that meet
  // along a row of pixels would then each cover part of it, and two partial
  // coverages composited one over the other leave less ink than one full one:
  // a faint seam every tile row. So each box is filled without antialiasing,
  // which gives every pixel to exactly one of the boxes that meet there, and
  // its surface is padded rather than faded at its edges, so that the pixels
  // along a box's edge are sampled from its ink and not from the transparent
  // outside. On the grid both change no pixel.
  const cairo_antialias_t antialias = cairo_get_antialias(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  for (const Box& b : boxes_) {
    cairo_set_source_surface(cr, b.surface, 0, 0);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, b.x / scale_, b.y / scale_, b.width / scale_, b.height / scale_);
    cairo_fill(cr);
  }
  cairo_set_antialias(cr, antialias);
}

void GaugePainter::paint(cairo_t* cr, double width, double height, const MeterState& state,
                         bool dark, double scale) {
  // The layers land on whole device pixels only under a plain translation by
  // whole device pixels; anything else is painted the plain way.
  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  if (!(scale >= 1.0 && scale <= 16.0 && whole(scale)) || m.xx != 1.0 || m.yy != 1.0 ||
      m.xy != 0.0 || m.yx != 0.0 || !whole(m.x0 * scale) || !whole(m.y0 * scale)) {
    paint_gauge(cr, width, height, state, dark);
    return;
  }
  const Palette& pal = dark ? kDark : kLight;
  const Geometry g = geometry(width, height);
  const double f = fraction(state.display, state.scale_max);

  char size[96];
  std::snprintf(size, sizeof size, "%.17g %.17g %g %d ", width, height, scale, dark ? 1 : 0);
  const std::string key = size + settings_key(cr);

  track_.ensure(cr, key, scale, [&](cairo_t* c) { paint_track(c, g, pal); });
  track_.composite(cr);
  // The whole pieces of the value arc look the same at any needle position;
  // only the last, partial one is stroked here.
  cairo_set_line_width(cr, g.track);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  for (int i = 0, n = arc_pieces(f); i < n; ++i) {
    if (!whole_piece(i, f)) {
      paint_arc_piece(cr, g, i, f);
      continue;
    }
    Layer& piece = pieces_[static_cast<std::size_t>(i)];
    piece.ensure(cr, key, scale, [&](cairo_t* c) {
      cairo_set_line_width(c, g.track);
      cairo_set_line_cap(c, CAIRO_LINE_CAP_ROUND);
      paint_arc_piece(c, g, i, 1.0);
    });
    piece.composite(cr);
  }
  ticks_.ensure(cr, key, scale, [&](cairo_t* c) {
    cairo_set_line_width(c, 2.0);
    cairo_set_line_cap(c, CAIRO_LINE_CAP_ROUND);
    for (int k = 0; k <= 10; ++k) paint_tick_mark(c, g, pal, k);
  });
  ticks_.composite(cr);
  // The labels sit well inside the ticks that the plain painter strokes after
  // them, so that painting all ticks first changes no pixel.
  const auto labels = tick_labels(state.scale_max);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    labels_[i].ensure(cr, key + labels[i], scale, [&](cairo_t* c) {
      paint_tick_label(c, g, pal, static_cast<int>(5 * i), labels[i]);
    });
    labels_[i].composite(cr);
  }
  paint_pointers(cr, g, pal, state, f);
}

}  // namespace trellan
