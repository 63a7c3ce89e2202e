// Start/stop soak of the runner: many runs of a stand-in iperf3 started with
// start_iperf and stopped after a random delay, each drained to its end.
// Prints the process's descriptors, threads, zombie and live children and
// resident memory before the first cycle and after the last, and whether
// every run ended with exactly one Exited event, last.
//
//   bench-soak [CYCLES] [MAX_DELAY_US]     (defaults: 10000 and 5000)
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <variant>

#include "process/iperf.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Snapshot {
  int fds = 0;
  int threads = 0;
  int zombies = 0;
  int children = 0;  // live ones
  long rss_kb = 0;
};

long status_field(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(name) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n - 1;  // the descriptor opendir itself holds
}

Snapshot snapshot() {
  Snapshot s;
  s.fds = count_entries("/proc/self/fd");
  s.threads = static_cast<int>(status_field("Threads"));
  s.rss_kb = status_field("VmRSS");
  const pid_t self = getpid();
  if (DIR* d = opendir("/proc")) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const auto close = text.rfind(')');
      if (close == std::string::npos || close + 4 >= text.size()) continue;
      char state = 0;
      long ppid = 0;
      if (std::sscanf(text.c_str() + close + 2, "%c %ld", &state, &ppid) != 2) continue;
      if (ppid != self) continue;
      if (state == 'Z') ++s.zombies;
      else ++s.children;
    }
    closedir(d);
  }
  return s;
}

void print(const char* when, const Snapshot& s) {
  std::printf("%-5s fds=%d threads=%d zombies=%d children=%d rss_kb=%ld\n", when, s.fds, s.threads,
              s.zombies, s.children, s.rss_kb);
}

// A stand-in iperf3 that says something on both streams and then waits to be
// killed. `exec` keeps the pid the runner knows.
std::string make_fake_tool() {
  char dir_template[] = "/tmp/trellan-soak-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) return {};
  const std::string path = std::string(dir) + "/iperf3";
  std::ofstream out(path);
  out << "#!/bin/sh\n"
         "echo '[  5]   0.00-1.00   sec   112 MBytes   941 Mbits/sec'\n"
         "echo 'iperf3: error - the soak says hello' >&2\n"
         "exec sleep 30\n";
  out.close();
  chmod(path.c_str(), 0755);
  return dir;
}

}  // namespace

int main(int argc, char** argv) {
  using trellan::start_iperf;
  const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
  const long max_delay_us = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 5000;
  const std::string dir = make_fake_tool();
  if (dir.empty()) return 1;
  const char* old_path = std::getenv("PATH");
  setenv("PATH", (dir + ":" + (old_path ? old_path : "/usr/bin:/bin")).c_str(), 1);

  std::mt19937 rng(12345);
  std::uniform_int_distribution<long> delay(0, max_delay_us);

  // One warm-up run so that lazily created process state (thread stacks,
  // allocator arenas) is in the baseline.
  {
    auto [handle, rx] = start_iperf({"-c", "127.0.0.1"}, false);
    handle.stop();
    while (rx.recv()) {
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Snapshot before = snapshot();
  print("start", before);

  long bad_endings = 0, events = 0;
  const auto started = Clock::now();
  for (long i = 0; i < cycles; ++i) {
    auto [handle, rx] = start_iperf({"-c", "127.0.0.1"}, false);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
    handle.stop();
    int exited = 0;
    bool exited_last = false;
    while (auto ev = rx.recv()) {
      ++events;
      exited_last = std::holds_alternative<trellan::Exited>(*ev);
      if (exited_last) ++exited;
    }
    if (exited != 1 || !exited_last) ++bad_endings;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  // Runs' threads end just after their last event: give them a moment.
  Snapshot after = snapshot();
  for (int i = 0; i < 50 && (after.threads > before.threads || after.zombies > 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    after = snapshot();
  }
  print("end", after);
  std::printf("cycles=%ld seconds=%.1f rate=%.0f/s events=%ld bad_endings=%ld\n", cycles, seconds,
              static_cast<double>(cycles) / seconds, events, bad_endings);

  std::remove((dir + "/iperf3").c_str());
  rmdir(dir.c_str());
  const bool clean = after.fds <= before.fds && after.threads <= before.threads &&
                     after.zombies == 0 && after.children == 0 && bad_endings == 0;
  return clean ? 0 : 1;
}
