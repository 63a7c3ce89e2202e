// Event delivery latency (a line written by the child to its event dispatched
// on the GLib main loop) and the start/stop cycle rate, with a fake tool: this
// program itself, reached through PATH as "iperf3".
#include "process/iperf.hpp"

#include <glib.h>
#include <glib/gstdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double now_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// --- the fake tool ----------------------------------------------------------

// "lines N PACE_US": N interval lines whose rate is the time of writing in
// microseconds, PACE_US apart. "sleep": nothing, until killed. "hello-sleep":
// one line, then nothing until killed.
int fake_tool(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "lines" && argc > 3) {
    const long n = std::atol(argv[2]);
    const long pace_us = std::atol(argv[3]);
    char line[128];
    for (long i = 0; i < n; ++i) {
      const int len = std::snprintf(line, sizeof line, "[  5] %ld.00-%ld.50 sec 1 MBytes %.3f Mbits/sec\n",
                                    i, i, now_us());
      if (::write(STDOUT_FILENO, line, static_cast<std::size_t>(len)) != len) return 1;
      if (pace_us > 0) {
        const timespec pause{0, pace_us * 1000};
        ::nanosleep(&pause, nullptr);
      }
    }
    return 0;
  }
  if (mode == "hello-sleep") {
    const char line[] = "[  5] 0.00-1.00 sec 1 MBytes 1 Mbits/sec\n";
    if (::write(STDOUT_FILENO, line, sizeof line - 1) < 0) return 1;
  }
  if (mode == "sleep" || mode == "hello-sleep") {
    for (;;) ::pause();
  }
  return 2;
}

// --- measurements -----------------------------------------------------------

struct Percentiles {
  double p50, p99, max;
};

Percentiles percentiles(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))]; };
  return {at(0.50), at(0.99), v.back()};
}

// Runs the fake tool with `lines` lines and returns each line's latency.
std::vector<double> delivery(long lines, long pace_us) {
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(lines));
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto [run, rx] = trellan::start_iperf({"lines", std::to_string(lines), std::to_string(pace_us)}, false);
  trellan::watch_events(std::move(rx), [&](std::optional<trellan::IperfEvent> ev) {
    if (!ev) {
      g_main_loop_quit(loop);
      return false;
    }
    if (auto* i = std::get_if<trellan::Interval>(&*ev)) latencies.push_back(now_us() - i->mbps);
    return true;
  });
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  return latencies;
}

void report_delivery(const char* what, long lines, long pace_us) {
  const auto latencies = delivery(lines, pace_us);
  if (latencies.size() != static_cast<std::size_t>(lines)) {
    std::printf("delivery (%s): only %zu of %ld events arrived\n", what, latencies.size(), lines);
    return;
  }
  const auto p = percentiles(latencies);
  std::printf("delivery (%s, %ld lines): p50 %.1f us, p99 %.1f us, max %.1f us\n", what, lines, p.p50,
              p.p99, p.max);
}

void report_cycles(const char* what, const char* mode, bool wait_for_first_event, int cycles) {
  const auto t0 = std::chrono::steady_clock::now();
  int bad = 0;
  for (int i = 0; i < cycles; ++i) {
    auto [run, rx] = trellan::start_iperf({mode}, false);
    if (wait_for_first_event) rx.recv();
    run.stop();
    std::optional<trellan::IperfEvent> last;
    while (auto ev = rx.recv()) last = std::move(ev);
    if (!last || !std::holds_alternative<trellan::Exited>(*last)) ++bad;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("start/stop (%s): %d cycles in %.2f s, %.0f cycles/s, %.2f ms/cycle%s\n", what, cycles, secs,
              cycles / secs, secs * 1e3 / cycles, bad ? " (some runs did not end with Exited!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = std::strrchr(argv[0], '/');
  if (std::strcmp(base ? base + 1 : argv[0], "iperf3") == 0) return fake_tool(argc, argv);

  // This program, first on PATH under the tool's name.
  GError* error = nullptr;
  char* dir = g_dir_make_tmp("trellan-bench-XXXXXX", &error);
  if (!dir) {
    std::fprintf(stderr, "%s\n", error->message);
    return 1;
  }
  char* self = g_file_read_link("/proc/self/exe", nullptr);
  const std::string link = std::string(dir) + "/iperf3";
  if (!self || ::symlink(self, link.c_str()) != 0) {
    std::fprintf(stderr, "cannot link the fake tool\n");
    return 1;
  }
  const char* path = std::getenv("PATH");
  setenv("PATH", (std::string(dir) + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

  report_delivery("one line every 200 us", 10000, 200);
  report_delivery("burst", 20000, 0);
  report_cycles("stop at once", "sleep", false, 300);
  report_cycles("stop after the first event", "hello-sleep", true, 300);

  g_remove(link.c_str());
  g_rmdir(dir);
  g_free(self);
  g_free(dir);
  return 0;
}
