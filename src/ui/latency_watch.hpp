// The ping beside a client test: it starts first, and its events go to the
// run's session, which says when the idle second is over and the test may
// start, and what the latency line shows. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/run_controls.hpp"

namespace trellan {

// Starts ping for the slot's current run `run_id` and calls `start_test`
// once the run's session says the idle second is over (at once when ping
// cannot measure). Nothing happens once the run is no longer the slot's
// current one.
void begin_latency(const std::shared_ptr<RunSlot>& slot, std::uint64_t run_id, const PageWidgets& page,
                   std::vector<std::string> ping_args, std::function<void()> start_test,
                   double idle_seconds = LatencyRun::kIdleSeconds);

// The slot has no latency for its next run; its line is emptied.
void clear_latency(RunSlot& slot);

}  // namespace trellan
