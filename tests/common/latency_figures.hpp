// A run's latency figures as its report gives them, for tests that need a
// run that measured latency: the idle median, then under load the median,
// the 95th percentile and the maximum, and the probes lost of those sent.
#pragma once

#include <cstdint>

#include "core/latency.hpp"

namespace trellan::testing {

inline LatencyFigures loaded_latency(double idle_ms, double median_ms, double p95_ms, double max_ms,
                                     std::uint64_t lost, std::uint64_t sent) {
  LatencyFigures f;
  f.idle_ms = idle_ms;
  f.loaded_median_ms = median_ms;
  f.loaded_p95_ms = p95_ms;
  f.loaded_max_ms = max_ms;
  f.lost = lost;
  f.sent = sent;
  return f;
}

}  // namespace trellan::testing
