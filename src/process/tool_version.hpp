// The version of the iperf3 that runs are started with, for their reports:
// `iperf3 --version` is asked once per process, on a thread of its own, so
// that the main thread never waits for it and a run's own command line stays
// as the user chose it.
#pragma once

#include <optional>
#include <string>

namespace trellan {

// Starts asking, unless that has begun already; returns at once.
void ask_iperf_version();

// "3.12" once known; "unknown" before that, or when it could not be read.
std::string iperf_version();

// Runs `program --version` (found through PATH), waits for it and returns the
// version it names: "3.18" of "iperf 3.18 (cJSON 1.7.18)". Nothing when the
// program is missing, fails or names none. Blocks; not for the main thread.
std::optional<std::string> read_tool_version(const std::string& program);

}  // namespace trellan
