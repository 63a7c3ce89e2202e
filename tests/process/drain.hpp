// Reading a run's events to the end, and checking that nothing of it is
// left, for the runner's tests.
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>
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

// True when this process has no child at all, running or unreaped. Children
// of earlier cases (whose receivers were dropped) may still be on their way
// out, so they get a moment; a leaked child or zombie stays. WNOWAIT: the
// check itself must not reap a zombie the runner left behind.
inline bool no_children() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  siginfo_t info{};
  while (!(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace trellan::testing
