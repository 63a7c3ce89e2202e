// This process's resident memory, as /proc tells it, for the benchmarks
// that measure how much opening a file costs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:"), or 0.
inline std::uint64_t status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::string(field).size(), nullptr, 10);
  return 0;
}

// Resets the peak of resident memory (VmHWM) to what is resident now.
inline void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }
