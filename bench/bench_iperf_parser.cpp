// Throughput of the output parser and the standard-error filter on real
// iperf3 output (the files given on the command line: client-*, server-* and
// stderr-* captures). With `--passes N` first it parses the captures exactly
// N times and prints only the line and event counts: a fixed amount of work
// for counting instructions (valgrind --tool=callgrind), where the timed
// loop's amount of work depends on how fast the machine happens to be.
#include "core/output_parser.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Capture {
  bool server;
  std::vector<std::string> lines;
  std::size_t bytes = 0;
};

using Clock = std::chrono::steady_clock;

// One pass: one run per capture, each with a fresh parser. Returns the
// number of events.
std::size_t parse_once(const std::vector<Capture>& captures) {
  std::size_t events = 0;
  for (const auto& cap : captures) {
    trellan::OutputParser parser(cap.server);
    for (const auto& line : cap.lines) events += parser.feed_line(line).size();
  }
  return events;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Capture> stdout_captures;
  Capture stderr_capture{false, {}, 0};
  int first_file = 1;
  long fixed_passes = 0;
  if (argc > 2 && std::string_view(argv[1]) == "--passes") {
    fixed_passes = std::atol(argv[2]);
    first_file = 3;
  }
  for (int i = first_file; i < argc; ++i) {
    const std::string path = argv[i];
    const std::string name = path.substr(path.find_last_of('/') + 1);
    std::ifstream in(path);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    Capture cap{name.starts_with("server-"), {}, 0};
    for (std::string line; std::getline(in, line);) {
      cap.bytes += line.size() + 1;
      cap.lines.push_back(line);
    }
    if (name.starts_with("stderr-")) {
      stderr_capture.lines.insert(stderr_capture.lines.end(), cap.lines.begin(), cap.lines.end());
      stderr_capture.bytes += cap.bytes;
    } else {
      stdout_captures.push_back(std::move(cap));
    }
  }
  if (stdout_captures.empty()) {
    std::fprintf(stderr, "usage: %s [--passes N] CAPTURE...\n", argv[0]);
    return 1;
  }

  // One pass is one run per capture, each with a fresh parser.
  std::size_t lines_per_pass = 0, bytes_per_pass = 0;
  for (const auto& cap : stdout_captures) {
    lines_per_pass += cap.lines.size();
    bytes_per_pass += cap.bytes;
  }
  std::size_t passes = 0, events = 0;
  if (fixed_passes > 0) {
    for (long k = 0; k < fixed_passes; ++k) events += parse_once(stdout_captures);
    std::printf("parser: %zu lines parsed, %zu events\n",
                static_cast<std::size_t>(fixed_passes) * lines_per_pass, events);
    return 0;
  }
  const auto t0 = Clock::now();
  auto elapsed = Clock::duration::zero();
  while (elapsed < std::chrono::seconds(2)) {
    for (int k = 0; k < 100; ++k, ++passes) events += parse_once(stdout_captures);
    elapsed = Clock::now() - t0;
  }
  const double secs = std::chrono::duration<double>(elapsed).count();
  const double lines = static_cast<double>(passes * lines_per_pass);
  std::printf("parser: %zu lines of real output (%zu bytes), %zu passes in %.2f s\n", lines_per_pass,
              bytes_per_pass, passes, secs);
  std::printf("parser: %.2f M lines/s, %.1f MB/s, %.1f ns/line (%zu events)\n", lines / secs / 1e6,
              static_cast<double>(passes * bytes_per_pass) / secs / 1e6, secs * 1e9 / lines, events);

  if (!stderr_capture.lines.empty()) {
    std::size_t stderr_passes = 0, messages = 0;
    const auto s0 = Clock::now();
    auto stderr_elapsed = Clock::duration::zero();
    while (stderr_elapsed < std::chrono::seconds(1)) {
      for (int k = 0; k < 1000; ++k, ++stderr_passes)
        for (const auto& line : stderr_capture.lines) messages += trellan::stderr_message(line).has_value();
      stderr_elapsed = Clock::now() - s0;
    }
    const double s = std::chrono::duration<double>(stderr_elapsed).count();
    const double n = static_cast<double>(stderr_passes * stderr_capture.lines.size());
    std::printf("stderr filter: %.2f M lines/s, %.1f MB/s (%zu messages)\n", n / s / 1e6,
                static_cast<double>(stderr_passes * stderr_capture.bytes) / s / 1e6, messages);
  }
  return 0;
}
