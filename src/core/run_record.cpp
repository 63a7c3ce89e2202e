#include "core/run_record.hpp"

#include <algorithm>
#include <utility>

namespace trellan {

std::uint64_t RunLog::begin(RunPage page, std::string far_end, std::string options_summary,
                            std::chrono::system_clock::time_point started, std::vector<std::string> command) {
  auto record = std::make_shared<RunRecord>();
  record->id = next_id_++;
  record->page = page;
  record->started = started;
  record->far_end = std::move(far_end);
  record->options_summary = std::move(options_summary);
  record->command = std::move(command);
  while (runs_.size() >= kMaxRuns) {
    const std::shared_ptr<RunRecord> oldest = runs_.front();
    runs_.pop_front();
    ++dropped_runs_;
    notify(Change::Removed, *oldest);
  }
  runs_.push_back(record);
  notify(Change::Added, *record);
  return record->id;
}

std::uint64_t RunLog::adopt(RunRecord record) {
  auto shared = std::make_shared<RunRecord>(std::move(record));
  shared->id = next_id_++;
  while (runs_.size() >= kMaxRuns) {
    const std::shared_ptr<RunRecord> oldest = runs_.front();
    runs_.pop_front();
    ++dropped_runs_;
    notify(Change::Removed, *oldest);
  }
  runs_.push_back(shared);
  notify(Change::Added, *shared);
  notify(Change::Ended, *shared);
  return shared->id;
}

void RunLog::add_interval(std::uint64_t id, IntervalRecord interval) {
  RunRecord* record = find_mutable(id);
  if (!record || record->end != RunEnd::Running) return;
  if (record->intervals.size() >= kMaxIntervals) {
    record->intervals.pop_front();
    ++record->dropped_intervals;
  }
  record->intervals.push_back(std::move(interval));
  notify(Change::Interval, *record);
}

void RunLog::end(std::uint64_t id, RunEnd how, std::string result_text, std::string details_text,
                 std::string error_text) {
  RunRecord* record = find_mutable(id);
  if (!record || record->end != RunEnd::Running || how == RunEnd::Running) return;
  record->end = how;
  record->result_text = std::move(result_text);
  record->details_text = std::move(details_text);
  record->error_text = std::move(error_text);
  notify(Change::Ended, *record);
}

void RunLog::amend_end(std::uint64_t id, RunEnd how, std::string details_text, std::string error_text) {
  RunRecord* record = find_mutable(id);
  if (!record || record->end == RunEnd::Running || how == RunEnd::Running) return;
  record->end = how;
  record->details_text = std::move(details_text);
  record->error_text = std::move(error_text);
  notify(Change::Ended, *record);
}

const RunRecord* RunLog::find(std::uint64_t id) const {
  // Ids grow with position, so the newest runs, the busy ones, come first.
  const auto it = std::find_if(runs_.rbegin(), runs_.rend(),
                               [id](const auto& r) { return r->id == id; });
  return it == runs_.rend() ? nullptr : it->get();
}

RunRecord* RunLog::find_mutable(std::uint64_t id) { return const_cast<RunRecord*>(find(id)); }

std::uint64_t RunLog::add_listener(Listener listener) {
  listeners_.emplace_back(next_token_, std::move(listener));
  return next_token_++;
}

void RunLog::remove_listener(std::uint64_t token) {
  std::erase_if(listeners_, [token](const auto& l) { return l.first == token; });
}

void RunLog::set_latency(std::uint64_t id, std::string text, std::optional<LatencyFigures> figures,
                         std::vector<IntervalLatency> intervals, std::vector<LatencyProbe> probes) {
  RunRecord* record = find_mutable(id);
  if (!record) return;
  record->latency_text = std::move(text);
  record->latency = figures;
  record->interval_latency = figures ? std::move(intervals) : std::vector<IntervalLatency>();
  record->probes = figures ? std::move(probes) : std::vector<LatencyProbe>();
  if (record->end != RunEnd::Running) notify(Change::Ended, *record);
}

std::vector<std::optional<IntervalLatency>> latency_of_records(const RunRecord& run) {
  std::vector<std::optional<IntervalLatency>> out(run.intervals.size());
  if (run.interval_latency.empty()) return out;
  // The records that follow one another with the same times are one
  // interval, as the latency counted them.
  std::vector<std::size_t> index(run.intervals.size());
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const auto& r = run.intervals[i];
    const bool same = i > 0 && run.intervals[i - 1].start == r.start && run.intervals[i - 1].end == r.end &&
                      run.intervals[i - 1].omitted == r.omitted;
    if (!same) ++distinct;
    index[i] = distinct - 1;
  }
  // The oldest records may be gone beyond the cap: the newest ones match.
  const std::size_t n = run.interval_latency.size();
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const std::size_t from_end = distinct - 1 - index[i];
    if (from_end < n) out[i] = run.interval_latency[n - 1 - from_end];
  }
  return out;
}

void RunLog::notify(Change change, const RunRecord& record) {
  // A listener may add or remove listeners while it is told.
  const auto listeners = listeners_;
  for (const auto& [token, listener] : listeners) listener(change, record);
}

}  // namespace trellan
