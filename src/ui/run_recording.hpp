// A page's part in the window's run log: the record of the run the page's
// slot holds. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "core/run_record.hpp"
#include "ui/page.hpp"

namespace trellan {

// Begins the slot's record of a run of `command`; one still open ends first
// as `EndedEarly`.
void begin_record(RunSlot& slot, RunPage page, std::string far_end, std::string options_summary,
                  std::vector<std::string> command);

// Adds to the slot's open record, if there is one.
void add_reading(RunSlot& slot, IntervalRecord record);

// Ends the slot's open record, if there is one, and forgets it.
void end_record(RunSlot& slot, RunEnd how, std::string result_text = {}, std::string details_text = {},
                std::string error_text = {});

bool has_open_record(const RunSlot& slot);

}  // namespace trellan
