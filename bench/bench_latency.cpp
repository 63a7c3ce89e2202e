// Cost of the latency for a day-long run: 864,000 probes (ten a second).
// Parsing a probe's line, keeping the run's figures as the probes come, and
// one frame of the latency plot at 1200 × 200. Prints figures; asserts
// nothing.
#include <cairo.h>

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/latency.hpp"
#include "core/ping_parser.hpp"
#include "ui/latency_plot.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kProbes = 864000;

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// A round-trip time that swells and shrinks as a queue would.
double rtt(int i) { return 3 + 10 * (1 + std::sin(i * 0.0007)) + 4 * std::fabs(std::sin(i * 0.37)); }

}  // namespace

int main() {
  // Lines as ping prints them, made before timing; one probe in 500 lost.
  std::vector<std::string> lines;
  lines.reserve(kProbes);
  char buf[128];
  for (int i = 1; i <= kProbes; ++i) {
    if (i % 500 == 0)
      std::snprintf(buf, sizeof buf, "no answer yet for icmp_seq=%d", i);
    else
      std::snprintf(buf, sizeof buf, "64 bytes from 10.78.0.2: icmp_seq=%d ttl=64 time=%.3f ms", i, rtt(i));
    lines.emplace_back(buf);
  }

  std::vector<trellan::PingEvent> events;
  events.reserve(kProbes);
  double cpu = cpu_ms();
  for (const auto& line : lines)
    if (auto ev = trellan::parse_ping_line(line)) events.push_back(std::move(*ev));
  double spent = cpu_ms() - cpu;
  std::printf("ping parser  %d lines   %7.1f ns/line of processor time (%.1f ms in all)\n", kProbes,
              spent * 1e6 / kProbes, spent);

  // The figures as a run keeps them: every probe, an interval closed every
  // second, the live line's median read at each close.
  trellan::LatencyMeter meter;
  meter.add(0.0, trellan::PingReply{0, 0.03, false});
  meter.start_load(0.05);
  cpu = cpu_ms();
  double sink = 0;
  for (int i = 0; i < kProbes; ++i) {
    const double t = 0.1 + 0.1 * i;
    meter.add(t, events[static_cast<std::size_t>(i)]);
    if (i % 10 == 9) {
      const double second = static_cast<double>(i / 10);
      meter.add_interval(t + 0.05, second, second + 1, false);
      sink += meter.recent_median(t + 0.05).value_or(0);
    }
  }
  meter.finish();
  const auto figures = meter.figures();
  spent = cpu_ms() - cpu;
  std::printf("figures      %d probes, 86400 intervals   %7.1f ns/probe of processor time (%.1f ms in all; "
              "median %.2f, p95 %.2f, max %.2f ms, %llu lost) [%g]\n",
              kProbes, spent * 1e6 / kProbes, spent, *figures.loaded_median_ms, *figures.loaded_p95_ms,
              *figures.loaded_max_ms, static_cast<unsigned long long>(figures.lost), sink > 0 ? 1.0 : 0.0);

  // The plot of all of them.
  trellan::LatencyPlotData data;
  data.idle_ms = 0.03;
  data.probes = meter.probes();
  for (const auto& p : data.probes)
    if (std::isfinite(p.rtt_ms)) data.rtt_max = std::max(data.rtt_max, static_cast<double>(p.rtt_ms));
  const auto intervals = meter.intervals();
  for (std::size_t i = 0; i < intervals.size(); ++i)
    data.medians.push_back({static_cast<double>(i), static_cast<double>(i + 1), intervals[i].median_ms.value_or(0)});
  for (double scale : {1.0, 2.0}) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(1200 * scale),
                                                          static_cast<int>(200 * scale));
    cairo_surface_set_device_scale(surface, scale, scale);
    const trellan::TimeAxis axis{60, 1178, 86400};
    auto frame = [&](bool dark) {
      cairo_t* cr = cairo_create(surface);
      trellan::paint_latency_plot(cr, 1200, 200, data, axis, dark, scale);
      cairo_destroy(cr);
      cairo_surface_flush(surface);
    };
    // The first frame at this width reduces the probes to its columns.
    double first = cpu_ms();
    frame(false);
    first = cpu_ms() - first;
    for (int i = 0; i < 3; ++i) frame(i % 2 == 1);
    const int frames = 50;
    cpu = cpu_ms();
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) frame(i % 2 == 1);
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
    std::printf("latency plot %zu probes  1200x200 at scale %.0f   first frame %6.3f ms, then %6.3f ms/frame of "
                "processor time (goal 2 ms), %6.3f ms on the clock\n",
                data.probes.size(), scale, first, (cpu_ms() - cpu) / frames, wall);
    cairo_surface_destroy(surface);
  }
}
