#include "ui/run_recording.hpp"

#include <chrono>
#include <utility>

namespace trellan {

void begin_record(RunSlot& slot, RunPage page, std::string far_end, std::string options_summary,
                  std::vector<std::string> command) {
  if (!slot.run_log) return;
  end_record(slot, RunEnd::EndedEarly);
  slot.record_id = slot.run_log->begin(page, std::move(far_end), std::move(options_summary),
                                       std::chrono::system_clock::now(), std::move(command));
}

void add_reading(RunSlot& slot, IntervalRecord record) {
  if (has_open_record(slot)) slot.run_log->add_interval(slot.record_id, std::move(record));
}

void end_record(RunSlot& slot, RunEnd how, std::string result_text, std::string details_text,
                std::string error_text) {
  if (!has_open_record(slot)) return;
  slot.run_log->end(std::exchange(slot.record_id, 0), how, std::move(result_text), std::move(details_text),
                    std::move(error_text));
}

bool has_open_record(const RunSlot& slot) { return slot.run_log && slot.record_id != 0; }

}  // namespace trellan
