#include "core/run_record.hpp"

#include <algorithm>
#include <utility>

namespace trellan {

std::uint64_t RunLog::begin(RunPage page, std::string far_end, std::string options_summary,
                            std::chrono::system_clock::time_point started, std::vector<std::string> command,
                            RunFacts facts) {
  auto record = std::make_shared<RunRecord>();
  record->page = page;
  record->started = started;
  record->far_end = std::move(far_end);
  record->options_summary = std::move(options_summary);
  record->command = std::move(command);
  record->facts = std::move(facts);
  return keep(std::move(record), false);
}

std::uint64_t RunLog::adopt(RunRecord record) {
  const bool ended = record.end != RunEnd::Running;
  const std::uint64_t id = keep(std::make_shared<RunRecord>(std::move(record)), true);
  if (id != 0 && ended) notify(Change::Ended, *runs_.back());
  return id;
}

std::uint64_t RunLog::keep(std::shared_ptr<RunRecord> record, bool opened) {
  while (runs_.size() >= kMaxRuns) {
    // The oldest opened run goes first; a measured one only for a newer
    // measured one.
    auto oldest = runs_.begin();
    if (!adopted_.empty()) {
      oldest = std::find_if(runs_.begin(), runs_.end(), [&](const auto& r) { return r->id == adopted_.front(); });
      adopted_.erase(adopted_.begin());
      ++dropped_opened_;
    } else if (opened) {
      ++dropped_opened_;
      return 0;
    } else {
      ++dropped_measured_;
    }
    const std::shared_ptr<RunRecord> gone = *oldest;
    runs_.erase(oldest);
    notify(Change::Removed, *gone);
  }
  record->id = next_id_++;
  // Known as adopted before its listeners hear of it.
  if (opened) adopted_.push_back(record->id);
  runs_.push_back(record);
  notify(Change::Added, *record);
  return record->id;
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
                 std::string error_text, std::optional<SummaryDetails> summary) {
  RunRecord* record = find_mutable(id);
  if (!record || record->end != RunEnd::Running || how == RunEnd::Running) return;
  record->end = how;
  record->summary = std::move(summary);
  record->result_text = std::move(result_text);
  record->details_text = std::move(details_text);
  record->error_text = std::move(error_text);
  notify(Change::Ended, *record);
}

void RunLog::note_stall(std::uint64_t id, const RunStall& stall) {
  RunRecord* record = find_mutable(id);
  if (!record || record->end != RunEnd::Running) return;
  if (!record->stalls.empty() && record->stalls.back().end == RunStall::End::Ongoing)
    record->stalls.back() = stall;
  else
    record->stalls.push_back(stall);
  notify(Change::Stall, *record);
}

void RunLog::amend_end(std::uint64_t id, RunEnd how, std::string details_text, std::string error_text) {
  if (unchanging(id)) return;
  RunRecord* record = find_mutable(id);
  if (!record || record->end == RunEnd::Running || how == RunEnd::Running) return;
  record->end = how;
  record->details_text = std::move(details_text);
  record->error_text = std::move(error_text);
  notify(Change::Ended, *record);
}

void RunLog::mark_link_check(std::uint64_t id, LinkCheckMark mark) {
  if (unchanging(id)) return;
  RunRecord* record = find_mutable(id);
  if (!record || record->end == RunEnd::Running) return;
  record->facts.link_check = std::move(mark);
  notify(Change::Ended, *record);
}

const RunRecord* RunLog::find(std::uint64_t id) const {
  // Ids grow with position, so the newest runs, the busy ones, come first.
  const auto it = std::find_if(runs_.rbegin(), runs_.rend(),
                               [id](const auto& r) { return r->id == id; });
  return it == runs_.rend() ? nullptr : it->get();
}

RunRecord* RunLog::find_mutable(std::uint64_t id) { return const_cast<RunRecord*>(find(id)); }

std::shared_ptr<const RunRecord> RunLog::unchanging(std::uint64_t id) const {
  if (!std::binary_search(adopted_.begin(), adopted_.end(), id)) return nullptr;
  const auto it = std::find_if(runs_.rbegin(), runs_.rend(), [id](const auto& r) { return r->id == id; });
  return it == runs_.rend() ? nullptr : *it;
}

std::uint64_t RunLog::add_listener(Listener listener) {
  listeners_.emplace_back(next_token_, std::move(listener));
  return next_token_++;
}

void RunLog::remove_listener(std::uint64_t token) {
  std::erase_if(listeners_, [token](const auto& l) { return l.first == token; });
}

void RunLog::update_latency(std::uint64_t id, const RunLatency& latency) {
  if (unchanging(id)) return;
  RunRecord* record = find_mutable(id);
  if (!record) return;
  auto& values = record->interval_latency;
  if (values.size() < latency.first_record + latency.records.size())
    values.resize(latency.first_record + latency.records.size());
  std::copy(latency.records.begin(), latency.records.end(),
            values.begin() + static_cast<std::ptrdiff_t>(latency.first_record));
  if (latency.ended) {
    record->latency_text = latency.text;
    record->latency = latency.figures;
    record->probes = latency.figures ? latency.probes : std::vector<LatencyProbe>();
    if (!latency.figures) values.clear();
  }
  // While the run goes, its listeners read the latency with its next
  // interval or its end.
  if (record->end != RunEnd::Running) notify(Change::Ended, *record);
}

std::vector<std::optional<IntervalLatency>> latency_of_records(const RunRecord& run) {
  std::vector<std::optional<IntervalLatency>> out(run.intervals.size());
  // The oldest records may be gone beyond the cap.
  const auto first = static_cast<std::size_t>(run.dropped_intervals);
  for (std::size_t i = 0; i < run.intervals.size() && first + i < run.interval_latency.size(); ++i)
    out[i] = run.interval_latency[first + i];
  return out;
}

void NewestRuns::push(RunRecord run) {
  runs_.push_back(std::move(run));
  // Trimmed now and then rather than at every run: at most twice the cap
  // is ever held.
  if (runs_.size() >= 2 * RunLog::kMaxRuns) {
    const std::size_t extra = runs_.size() - RunLog::kMaxRuns;
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(extra));
    left_out_ += extra;
  }
}

std::vector<RunRecord> NewestRuns::take() {
  if (runs_.size() > RunLog::kMaxRuns) {
    const std::size_t extra = runs_.size() - RunLog::kMaxRuns;
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(extra));
    left_out_ += extra;
  }
  return std::exchange(runs_, {});
}

void RunLog::notify(Change change, const RunRecord& record) {
  // A listener may add or remove listeners while it is told.
  const auto listeners = listeners_;
  for (const auto& [token, listener] : listeners) listener(change, record);
}

}  // namespace trellan
