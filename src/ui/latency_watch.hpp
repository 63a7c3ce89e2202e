// The latency beside a client test: ping starts first, an idle second of
// probes, then the test; ping goes on until the run ends. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/run_record.hpp"
#include "ui/run_controls.hpp"

namespace trellan {

// Starts ping for the slot's current run `run_id` and calls `start_test`
// once the idle second is over, or at once when ping cannot measure (not
// installed, no socket, no name, no answer). Nothing happens once the run is
// no longer the slot's current one.
void begin_latency(const std::shared_ptr<RunSlot>& slot, std::uint64_t run_id,
                   std::vector<std::string> ping_args, std::function<void()> start_test);

// The slot has no latency for its next run; its line is emptied.
void clear_latency(RunSlot& slot);

// An interval record of the test came: the live line follows.
void latency_on_interval(RunSlot& slot, const IntervalRecord& record);

// The run ends: the line becomes the end line, and the slot's open record
// takes the latency figures. Call before the record ends.
void latency_on_end(RunSlot& slot);

}  // namespace trellan
