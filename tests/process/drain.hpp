// Reading a run's events to the end, for the runner's tests.
#pragma once

#include <utility>
#include <vector>

#include "process/iperf.hpp"

namespace trellan::testing {

// Every event of a run, up to the closing of its channel.
inline std::vector<IperfEvent> drain(EventReceiver& rx) {
  std::vector<IperfEvent> out;
  while (auto ev = rx.recv()) out.push_back(std::move(*ev));
  return out;
}

}  // namespace trellan::testing
