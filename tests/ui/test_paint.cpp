// The painter on an image surface, probed at points computed from the
// gauge's geometry at its requested size of 360 × 240.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "ui/gauge_painter.hpp"
#include "core/run_words.hpp"

using trellan::MeterState;

namespace {

struct Rgb {
  double r, g, b;
};

constexpr Rgb kLightBg{1, 1, 1}, kDarkBg{0.2, 0.2, 0.2};

// Geometry of a 360 × 240 gauge: the height limits the radius.
constexpr double kR = 208 / 1.55, kCx = 180, kCy = 16 + kR, kT = 0.13 * kR;

double theta(double x) { return 5 * std::numbers::pi / 6 + x * 4 * std::numbers::pi / 3; }

// Paints `s` over an opaque background; `offset` shifts the gauge right so
// that a gauge spilling out of a tiny area stays on the surface.
class Canvas {
 public:
  Canvas(const MeterState& s, bool dark, double w = 360, double h = 240, int surface_w = 360,
         int surface_h = 240, double offset = 0)
      : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, surface_w, surface_h)) {
    cairo_t* cr = cairo_create(surface_);
    const Rgb bg = dark ? kDarkBg : kLightBg;
    cairo_set_source_rgb(cr, bg.r, bg.g, bg.b);
    cairo_paint(cr);
    cairo_translate(cr, offset, 0);
    trellan::paint_gauge(cr, w, h, s, dark);
    cairo_destroy(cr);
    cairo_surface_flush(surface_);
  }
  ~Canvas() { cairo_surface_destroy(surface_); }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  Rgb at(double x, double y) const {
    const unsigned char* row = cairo_image_surface_get_data(surface_) +
                               static_cast<int>(std::floor(y)) * cairo_image_surface_get_stride(surface_);
    std::uint32_t px;
    std::memcpy(&px, row + 4 * static_cast<int>(std::floor(x)), 4);
    return {((px >> 16) & 0xff) / 255.0, ((px >> 8) & 0xff) / 255.0, (px & 0xff) / 255.0};
  }
  // The pixel at fraction `x` of the dial, radius `rho`, on the 360 × 240 gauge.
  Rgb dial(double x, double rho) const {
    return at(kCx + rho * std::cos(theta(x)), kCy + rho * std::sin(theta(x)));
  }

 private:
  cairo_surface_t* surface_;
};

::testing::AssertionResult near(Rgb got, Rgb want, double tol = 0.02) {
  if (std::abs(got.r - want.r) <= tol && std::abs(got.g - want.g) <= tol &&
      std::abs(got.b - want.b) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << got.r << ", " << got.g << ", " << got.b
                                       << "), want (" << want.r << ", " << want.g << ", "
                                       << want.b << ")";
}

MeterState at_rest(double display, double peak = 0, double scale_max = 10) {
  MeterState s;
  s.target = s.display = display;
  s.peak = peak;
  s.scale_max = scale_max;
  return s;
}

const Rgb kLightTrack{0.92, 0.92, 0.92};           // 8 % black over white
const Rgb kDarkTrack{0.28, 0.28, 0.28};            // 10 % white over 0.2 grey
const Rgb kPeak{0.95, 0.35, 0.35};
const Rgb kLightFg{0.13, 0.15, 0.18};

}  // namespace

TEST(GaugePainting, TrackFollowsTheLightOrDarkPalette) {
  EXPECT_TRUE(near(Canvas(at_rest(0), false).dial(0.25, kR), kLightTrack, 0.008));
  EXPECT_TRUE(near(Canvas(at_rest(0), true).dial(0.25, kR), kDarkTrack, 0.008));
  EXPECT_TRUE(near(Canvas(at_rest(0), true).dial(0.25, kR + kT / 2 + 3), kDarkBg));
}

TEST(GaugePainting, ValueArcRunsFromGreenThroughAmberToRedUpToTheNeedle) {
  const Canvas full(at_rest(10), false);
  EXPECT_TRUE(near(full.dial(0.02, kR), {0.24, 0.78, 0.39}, 0.03));
  EXPECT_TRUE(near(full.dial(0.5, kR), {0.95, 0.77, 0.30}, 0.03));
  EXPECT_TRUE(near(full.dial(0.995, kR), {0.95, 0.31, 0.25}, 0.03));

  const Canvas part(at_rest(3), true);
  EXPECT_TRUE(near(part.dial(0.2, kR), {0.5, 0.78, 0.36}, 0.03));
  EXPECT_TRUE(near(part.dial(0.4, kR), kDarkTrack));
}

TEST(GaugePainting, NoValueArcUntilTheNeedleIsPastOneThousandth) {
  const MeterState at_limit = at_rest(0.001, 0, 1);
  EXPECT_TRUE(near(Canvas(at_limit, false).dial(0, kR), kLightTrack));
  const MeterState past = at_rest(0.0011, 0, 1);
  EXPECT_TRUE(near(Canvas(past, false).dial(0, kR), {0.2, 0.78, 0.4}));
}

TEST(GaugePainting, NeedlePointsAtTheDisplayAndStopsAtFullScale) {
  const Canvas mid(at_rest(3), false);
  const Rgb zone_03{0.65, 0.78, 0.34};
  EXPECT_TRUE(near(mid.dial(0.3, 0.55 * kR), zone_03));
  EXPECT_TRUE(near(mid.dial(0.3, -0.12 * kR), zone_03));  // the tail behind the hub
  EXPECT_TRUE(near(mid.dial(0.6, 0.55 * kR), kLightBg));

  const Canvas over(at_rest(25), false);
  EXPECT_TRUE(near(over.dial(1, 0.55 * kR), {0.95, 0.30, 0.25}));
  EXPECT_TRUE(near(over.dial(0.3, 0.55 * kR), kLightBg));
  EXPECT_TRUE(near(over.at(kCx, kCy), kLightFg));  // hub
}

TEST(GaugePainting, PeakMarkerCrossesTheTrackOnlyForAPositivePeak) {
  EXPECT_TRUE(near(Canvas(at_rest(0, 0), false).dial(0, kR), kLightTrack));
  EXPECT_TRUE(near(Canvas(at_rest(0, 1e-6), false).dial(0, kR), kPeak));
  const Canvas held(at_rest(2, 6), true);
  EXPECT_TRUE(near(held.dial(0.6, kR), kPeak));
  EXPECT_TRUE(near(held.dial(0.6, kR + 0.5 * kT), kPeak, 0.1));
  EXPECT_TRUE(near(Canvas(at_rest(0, 50), false).dial(1, kR), kPeak));
}

TEST(GaugePainting, LabelsShowTheNumbersOfTheScaleEndsAndMiddle) {
  using Labels = std::array<std::string, 3>;
  EXPECT_EQ(trellan::tick_labels(10), (Labels{"0", "5.0", "10.0"}));
  EXPECT_EQ(trellan::tick_labels(1500), (Labels{"0", "750.0", "1.50"}));
  EXPECT_EQ(trellan::tick_labels(2000), (Labels{"0", "1.00", "2.00"}));
  EXPECT_EQ(trellan::rate_text(0), "0 Kbit/s");

  // Ink is drawn around each label's point on the label radius (the needle
  // is moved off the left label).
  const Canvas idle(at_rest(3), false);
  const double rl = kR - kT / 2 - 32;
  for (double x : {0.0, 0.5, 1.0}) {
    int inked = 0;
    for (int dx = -6; dx <= 6; ++dx)
      for (int dy = -4; dy <= 4; ++dy)
        inked += idle.at(kCx + rl * std::cos(theta(x)) + dx, kCy + rl * std::sin(theta(x)) + dy).r < 0.8;
    EXPECT_GT(inked, 3) << "label at " << x;
  }
}

TEST(GaugePainting, TinyAreaKeepsRadiusFortyAndATopMarginOfSixteen) {
  // A 20 × 20 area, shifted 70 px right on a larger surface: centre (80, 56).
  const Canvas tiny(at_rest(0), false, 20, 20, 160, 130, 70);
  EXPECT_TRUE(near(tiny.at(80, 16), kLightTrack));   // top of the track: radius 40
  EXPECT_TRUE(near(tiny.at(40, 56), kLightTrack));   // left of the centre: radius 40
  EXPECT_TRUE(near(tiny.at(80, 9), kLightBg));       // track width 8: nothing above 12
  EXPECT_TRUE(near(tiny.at(80, 56), kLightFg));      // hub
}

namespace {

// One frame as GTK shows it: painted at `scale` device pixels per unit onto a
// transparent surface, directly or (`recorded`) through a recording surface
// replayed afterwards, as GTK's drawing areas do, shifted down by `replay_dy`
// and scaled by `replay_scale` as a widget's snapshot may be.
struct Frame {
  double w, h;
  int scale;
  bool dark, recorded;
  MeterState s;
  double replay_dy = 0, replay_scale = 1;
};

std::vector<std::uint32_t> render(const Frame& fr, trellan::GaugePainter* painter) {
  const int pw = static_cast<int>(std::ceil(fr.w * fr.scale));
  const int ph = static_cast<int>(std::ceil(fr.h * fr.scale));
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pw, ph);
  cairo_surface_set_device_scale(image, fr.scale, fr.scale);
  cairo_rectangle_t bounds{0, 0, fr.w, fr.h};
  cairo_surface_t* target =
      fr.recorded ? cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &bounds) : image;
  cairo_t* cr = cairo_create(target);
  if (painter) painter->paint(cr, fr.w, fr.h, fr.s, fr.dark, fr.scale);
  else trellan::paint_gauge(cr, fr.w, fr.h, fr.s, fr.dark);
  cairo_destroy(cr);
  if (fr.recorded) {
    cairo_t* replay = cairo_create(image);
    cairo_translate(replay, 0, fr.replay_dy);
    cairo_scale(replay, fr.replay_scale, fr.replay_scale);
    cairo_set_source_surface(replay, target, 0, 0);
    cairo_paint(replay);
    cairo_destroy(replay);
    cairo_surface_destroy(target);
  }
  cairo_surface_flush(image);
  std::vector<std::uint32_t> px(static_cast<std::size_t>(pw) * static_cast<std::size_t>(ph));
  const unsigned char* data = cairo_image_surface_get_data(image);
  for (int y = 0; y < ph; ++y)
    std::memcpy(&px[static_cast<std::size_t>(y) * static_cast<std::size_t>(pw)],
                data + y * cairo_image_surface_get_stride(image), 4 * static_cast<std::size_t>(pw));
  cairo_surface_destroy(image);
  return px;
}

// The largest difference of one channel between two premultiplied pixels.
int channel_difference(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift < 32; shift += 8)
    worst = std::max(worst, std::abs(static_cast<int>((a >> shift) & 0xff) -
                                     static_cast<int>((b >> shift) & 0xff)));
  return worst;
}

MeterState moving(double display, double peak, double scale_max) {
  MeterState s = at_rest(display, peak, scale_max);
  s.target = 2 * display;
  return s;
}

}  // namespace

// One frame painter for the whole sequence, so that its layers are kept,
// reused and painted anew as a widget's are when size, appearance, scale and
// labels change.
TEST(GaugePainting, CachedLayersGiveThePixelsOfThePlainPainter) {
  const Frame frames[] = {
      {360, 240, 1, false, false, at_rest(0)},
      {360, 240, 1, false, false, moving(870, 950, 2000)},
      {360, 240, 1, true, false, moving(870, 950, 2000)},
      {360, 240, 1, true, false, at_rest(2000, 2000, 2000)},
      {360, 240, 1, false, false, moving(1.25, 3, 10)},  // ends on a piece boundary
      {360, 240, 1, false, false, moving(300, 900, 1500)},
      {360, 240, 1, false, false, moving(3, 6, 1500)},   // labels 750.0 and 1.50
      {360, 240, 1, false, false, at_rest(0.0011, 0, 1)},
      {360, 240, 1, true, true, moving(870, 950, 2000)},
      {360, 240, 1, false, true, at_rest(9400, 9520, 20000)},
      {600, 500, 2, false, false, moving(870, 950, 2000)},
      {600, 500, 2, true, true, moving(640, 640, 1000)},
      {1280, 960, 1, false, false, at_rest(2000, 2000, 2000)},
      {20, 20, 1, false, false, moving(4, 9, 10)},
      {360, 240, 1, false, false, moving(900, 950, 2000)},
      {360, 240, 1, false, false, moving(120, 950, 2000)},  // the arc shrinks back
  };
  trellan::GaugePainter painter;
  for (std::size_t i = 0; i < std::size(frames); ++i) {
    const auto plain = render(frames[i], nullptr);
    const auto cached = render(frames[i], &painter);
    ASSERT_EQ(plain.size(), cached.size());
    int worst = 0;
    std::size_t differing = 0;
    for (std::size_t p = 0; p < plain.size(); ++p) {
      if (plain[p] == cached[p]) continue;
      ++differing;
      worst = std::max(worst, channel_difference(plain[p], cached[p]));
    }
    EXPECT_LE(worst, 1) << "frame " << i << ": " << differing << " pixels differ";
  }
}

// A widget's snapshot may be replayed off the device pixel grid (a window's
// snapshot scaled to fit its size, say), where the painter cannot see it:
// down the left of a large dial, across the rows where the layers' tiles
// meet, the track must stay as even as it is when painted the plain way, and
// the value arc over it as opaque.
TEST(GaugePainting, CachedLayersShowNoSeamsOffThePixelGrid) {
  // 900 × 700: radius 430.97 about (450, 446.97), track 26 wide, so that the
  // column at x = 19 runs inside the track from y = 367 to 527.
  auto column = [](const std::vector<std::uint32_t>& px, std::size_t y) { return px[y * 900 + 19]; };
  for (auto [dy, scale] : {std::pair{0.5, 1.0}, std::pair{0.0, 0.99}, std::pair{0.25, 1.0021}}) {
    SCOPED_TRACE(testing::Message() << "shifted " << dy << ", scaled " << scale);
    trellan::GaugePainter painter;
    const Frame track{900, 700, 1, false, true, at_rest(0), dy, scale};
    const auto plain = render(track, nullptr), cached = render(track, &painter);
    const Frame arc{900, 700, 1, true, true, at_rest(10, 10, 10), dy, scale};
    const auto full = render(arc, &painter);
    for (std::size_t y = 367; y <= 527; ++y) {
      EXPECT_LE(channel_difference(column(plain, y), column(cached, y)), 1)
          << "track, row " << y << ": " << std::hex << column(cached, y) << " against "
          << column(plain, y);
      EXPECT_EQ(column(full, y) >> 24, 0xffu) << "value arc, row " << y;
    }
  }
}
