// Opening iperf3's -J output of a long run: Trellan's reader against
// Python's json.load of the same file, side by side. Writes two files in
// iperf3 3.12's layout (cJSON's formatted print, modelled on the captures in
// tests/captures): an hour at one reading a second with one stream, and a
// day with four streams. Prints the time and the peak growth of resident
// memory of each, and their ratios.
//
//   bench-run-file [DIR]     files go to DIR (default: a new folder in /tmp)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/run_file.hpp"
#include "lib/iperf_json_writer.hpp"
#include "lib/python_json.hpp"
#include "lib/resident.hpp"

namespace {

struct Figures {
  double seconds = 0;
  double growth_mb = 0;  // peak resident growth
};

Figures ours(const std::string& path) {
  Figures best{1e9, 0};
  for (int i = 0; i < 5; ++i) {
    reset_peak();
    const std::uint64_t before = status_kb("VmRSS:");
    const auto t0 = std::chrono::steady_clock::now();
    trellan::OpenedFile f = trellan::open_run_file(path, "bench.json");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::uint64_t peak = status_kb("VmHWM:");
    if (!f.error.empty() || f.runs.size() != 1) {
      std::fprintf(stderr, "open_run_file failed: %s\n", f.error.c_str());
      std::exit(1);
    }
    best.seconds = std::min(best.seconds, s);
    best.growth_mb = std::max(best.growth_mb, static_cast<double>(peak - before) / 1024.0);
  }
  return best;
}

void measure(const std::string& path, const char* label) {
  struct stat st {};
  stat(path.c_str(), &st);
  const double mb = static_cast<double>(st.st_size) / (1024.0 * 1024.0);
  const Figures mine = ours(path);
  // The same command, with its json.load timed from inside: the
  // interpreter's start is no part of the parse.
  const ChildFigures start = python_start();
  const ChildFigures py = python_json_load(path);
  const double py_growth = py.peak_mb - start.peak_mb;
  std::printf("run-file %s: %.1f MB\n", label, mb);
  std::printf("  open_run_file:     %.3f s, peak resident growth %.1f MB (%.2f x the file)\n", mine.seconds,
              mine.growth_mb, mine.growth_mb / mb);
  std::printf("  python3 json.load: %.3f s (the whole command %.3f s), peak resident growth %.1f MB (%.2f x the file)\n",
              py.printed, py.seconds, py_growth, py_growth / mb);
  std::printf("  parse time ratio (open_run_file / json.load): %.2f (goal <= 1.0)\n", mine.seconds / py.printed);
  std::printf("  peak resident growth / file size: %.2f (goal <= 1.5)\n", mine.growth_mb / mb);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    char tmpl[] = "/tmp/trellan-bench-run-file-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  const std::string hour = dir + "/hour-P1.json", day = dir + "/day-P4.json";
  write_iperf_json(hour, 3600, 1);
  write_iperf_json(day, 86400, 4);
  measure(hour, "3,600 intervals -P 1");
  measure(day, "86,400 intervals -P 4");
  if (argc <= 1) {
    unlink(hour.c_str());
    unlink(day.c_str());
    rmdir(dir.c_str());
  }
  return 0;
}
