// What a window's run log costs in memory: 100 runs of 3,600 interval
// records each (an hour at one reading a second), made by the parser from
// lines as iperf3 prints them, against the size of those lines.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "core/output_parser.hpp"
#include "core/run_record.hpp"

namespace {

constexpr int kRuns = 100;
constexpr int kIntervals = 3600;

std::size_t heap_in_use() { return mallinfo2().uordblks; }

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// One second of a single-stream TCP client, as iperf3 3.12 prints it.
std::string interval_line(int second) {
  char line[160];
  std::snprintf(line, sizeof line,
                "[  5] %6d.00-%d.00   sec  1.06 GBytes  9.%02d Gbits/sec   %2d   1.12 MBytes       ", second,
                second + 1, second % 100, second % 17);
  return line;
}

}  // namespace

int main() {
  trellan::RunLog log;
  std::size_t text_bytes = 0, records = 0;
  const std::size_t heap_before = heap_in_use(), resident_before = resident_bytes();
  const auto start = std::chrono::steady_clock::now();
  for (int run = 0; run < kRuns; ++run) {
    trellan::OutputParser parser(false);
    parser.feed_line("[  5] local 127.0.0.1 port 43730 connected to 127.0.0.1 port 5201");
    parser.feed_line("[ ID] Interval           Transfer     Bitrate         Retr  Cwnd");
    const auto id = log.begin(trellan::RunPage::Client, "127.0.0.1, port 5201", "TCP · 3600 s");
    for (int s = 0; s < kIntervals; ++s) {
      const std::string line = interval_line(s);
      text_bytes += line.size() + 1;
      for (auto& ev : parser.feed_line(line)) {
        auto* interval = std::get_if<trellan::Interval>(&ev);
        if (interval && interval->record) {
          log.add_interval(id, std::move(*interval->record));
          ++records;
        }
      }
    }
    log.end(id, trellan::RunEnd::Result, "Result — send: 9.41 Gbit/s · receive: 9.40 Gbit/s", "Retransmits: 3");
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::size_t heap = heap_in_use() - heap_before;
  const std::size_t resident = resident_bytes() - resident_before;
  if (records != static_cast<std::size_t>(kRuns) * kIntervals) {
    std::fprintf(stderr, "run log: expected %d records, got %zu\n", kRuns * kIntervals, records);
    return 1;
  }
  std::printf("run log: %d runs x %d intervals: %.1f MB on the heap (%.0f B per interval), "
              "resident +%.1f MB; iperf3 printed %.1f MB of lines for them; filled in %.0f ms\n",
              kRuns, kIntervals, heap / 1e6, static_cast<double>(heap) / static_cast<double>(records),
              resident / 1e6, text_bytes / 1e6, ms);
  std::printf("run log: sizeof(IntervalRecord) %zu B\n", sizeof(trellan::IntervalRecord));
  return 0;
}
