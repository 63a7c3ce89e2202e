// Cost of one gauge frame: the frame painter (GaugePainter, with its cached
// layers) and the plain painter (paint_gauge) on an image surface at the
// requested size and at 4K, and the animation step. Prints figures; asserts
// nothing.
#include <cairo.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "ui/gauge_painter.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFrameUs = 1e6 / 60.0;

struct Scene {
  const char* name;
  double display, peak, scale_max;
};

// Idle (track only), a run in progress (value arc to 0.435, peak marker, all
// labels) and a needle at full scale (all 64 arc pieces).
const Scene kScenes[] = {
    {"idle", 0, 0, 10},
    {"870 of 2000", 870, 950, 2000},
    {"full scale", 2000, 2000, 2000},
};

// `cached`: the frame painter the widget uses; otherwise paint_gauge.
void bench_paint(int width, int height, const Scene& scene, int frames, bool cached) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  trellan::MeterState s;
  s.target = s.display = scene.display;
  s.peak = scene.peak;
  s.scale_max = scene.scale_max;
  // Painting over the previous frame costs the same as over a cleared one,
  // so only the painter is timed. Both appearances alternate, as when the
  // frame painter's layers are fresh: one painter per appearance.
  trellan::GaugePainter painters[2];
  auto frame = [&](bool dark) {
    cairo_t* cr = cairo_create(surface);
    if (cached) painters[dark].paint(cr, width, height, s, dark);
    else trellan::paint_gauge(cr, width, height, s, dark);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
  };
  for (int i = 0; i < 5; ++i) frame(i % 2 == 1);  // font caches, surface pages
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) frame(i % 2 == 1);
  const double us =
      std::chrono::duration<double, std::micro>(Clock::now() - start).count() / frames;
  std::printf("%-12s %4dx%-4d %-12s %8.1f us/frame  (%5.2f %% of a 16.7 ms frame)\n",
              cached ? "gauge frame" : "paint_gauge", width, height, scene.name, us,
              100.0 * us / kFrameUs);
  cairo_surface_destroy(surface);
}

void bench_tick(int steps) {
  trellan::MeterState s;
  std::int64_t now = 1'000'000;
  const auto start = Clock::now();
  for (int i = 0; i < steps; ++i) {
    if (i % 600 == 0) s.set_value((i / 600) % 2 == 0 ? 940.0 : 87.0);  // a new reading every 10 s
    s.tick(now += 16'667);
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / steps;
  std::printf("tick step                          %8.1f ns/frame  (display %.1f, to keep the loop alive)\n", ns,
              s.display);
}

}  // namespace

int main() {
  for (bool cached : {true, false}) {
    for (const Scene& scene : kScenes) bench_paint(360, 240, scene, 2000, cached);
    for (const Scene& scene : kScenes) bench_paint(3840, 2160, scene, 100, cached);
  }
  bench_tick(10'000'000);
  return 0;
}
