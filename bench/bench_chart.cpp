// Cost of one chart frame for a day-long run: 86,400 one-second intervals at
// 1200 × 400, at scale 1 and 2. Prints figures; asserts nothing.
#include <cairo.h>

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "ui/chart.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.00", i);
  return buf;
}

// A TCP send interval as the parser gives it, with some retransmits.
trellan::IntervalRecord interval(int i) {
  trellan::IntervalRecord r;
  r.start = i;
  r.end = i + 1;
  r.start_text = seconds(i);
  r.end_text = seconds(i + 1);
  r.direction = trellan::Direction::Send;
  r.mbps = 9400 + 3000 * std::sin(i * 0.001) + 500 * std::sin(i * 0.7);
  r.transfer = "1.09 GBytes";
  r.retransmits = i % 997 == 0 ? 3 : 0;
  r.omitted = i < 3;
  return r;
}

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void bench_frame(int width, int height, double scale, const trellan::ChartData& data, int frames) {
  cairo_surface_t* surface = cairo_image_surface_create(
      CAIRO_FORMAT_ARGB32, static_cast<int>(width * scale), static_cast<int>(height * scale));
  cairo_surface_set_device_scale(surface, scale, scale);
  auto frame = [&](bool dark) {
    cairo_t* cr = cairo_create(surface);
    trellan::paint_chart(cr, width, height, data, dark, scale);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
  };
  for (int i = 0; i < 3; ++i) frame(i % 2 == 1);  // font caches, surface pages
  // The processor time of this process, which other loads on a shared
  // machine do not inflate, and the time on the clock beside it.
  const double cpu_start = cpu_ms();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) frame(i % 2 == 1);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
  const double cpu = (cpu_ms() - cpu_start) / frames;
  std::printf("chart frame  %zu readings  %dx%d at scale %.0f   %6.3f ms/frame of processor time (goal 2 ms), %6.3f ms on the clock\n",
              data.size(), width, height, scale, cpu, ms);
  cairo_surface_destroy(surface);
}

}  // namespace

int main() {
  trellan::ChartData day;
  const auto fill_start = Clock::now();
  for (int i = 0; i < 86400; ++i) day.add(interval(i));
  const double fill_ms = std::chrono::duration<double, std::milli>(Clock::now() - fill_start).count();
  std::printf("chart data   86400 readings added one by one   %6.1f ms in all\n", fill_ms);
  bench_frame(1200, 400, 1, day, 200);
  bench_frame(1200, 400, 2, day, 100);
}
