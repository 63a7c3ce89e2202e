#include "core/latency_run.hpp"

#include <algorithm>
#include <cmath>

#include "core/latency_text.hpp"

namespace trellan {

bool LatencyRun::on_ping(double t, const PingRunEvent& event) {
  if (const auto* f = std::get_if<PingFailure>(&event)) {
    if (!failure_) failure_ = f->reason;
  } else if (const auto* e = std::get_if<PingEnded>(&event)) {
    ping_ended_ = true;
    if (!failure_ && !meter_.any_reply()) failure_ = "ping ended (code " + std::to_string(e->code) + ")";
  } else if (const auto* r = std::get_if<PingReply>(&event)) {
    meter_.add(t, *r);
  } else if (const auto* u = std::get_if<PingUnanswered>(&event)) {
    meter_.add(t, *u);
  }
  if (!load_started_ || test_ended_ || finished_ || gave_up_ || !measured_) return false;
  // Nothing answered yet and ping said why, or ended: nothing more will come.
  if (!meter_.any_reply() && (failure_ || ping_ended_ || !meter_.unanswered_reason().empty())) {
    give_up(silent_reason());
    return true;
  }
  return update_live_line(t);
}

std::string LatencyRun::silent_reason() const {
  if (!meter_.unanswered_reason().empty()) return meter_.unanswered_reason();
  if (failure_) return *failure_;
  return "no reply to ping";
}

void LatencyRun::give_up(const std::string& reason) {
  measured_ = false;
  gave_up_ = true;
  line_ = latency_not_measured_text(reason);
}

// The live line: the last second's median, or how long no reply came.
bool LatencyRun::update_live_line(double t) {
  const double since = meter_.last_reply().value_or(load_start_);
  std::string line;
  if (t - since >= 1.0)
    line = latency_silent_text(static_cast<unsigned>(std::floor(t - since)), meter_.idle_median());
  else if (line_.starts_with("Latency: no reply"))
    // Replies came back: show them at once rather than at the next interval.
    if (const auto now = meter_.recent_median(t)) line = latency_live_text(*now, meter_.idle_median());
  if (line.empty() || line == line_) return false;
  line_ = std::move(line);
  return true;
}

bool LatencyRun::idle_over(double t) const {
  return failure_.has_value() || ping_ended_ || t - start_ >= idle_s_;
}

bool LatencyRun::start_load(double t) {
  if (load_started_) return measured_;
  load_started_ = true;
  load_start_ = t;
  meter_.start_load(t);
  line_.clear();
  if (meter_.any_reply() || (!failure_ && !ping_ended_ && meter_.unanswered_reason().empty())) {
    // No idle reply yet is no reason to give up: later ones are measured.
    measured_ = true;
  } else {
    gave_up_ = true;
    line_ = latency_not_measured_text(silent_reason());
  }
  return measured_;
}

void LatencyRun::on_test_line(double t) {
  if (!first_line_) first_line_ = t;
}

std::size_t LatencyRun::on_interval(double t, const IntervalRecord& record) {
  const std::size_t index = meter_.add_interval(first_line_.value_or(t), record.start, record.end, record.omitted);
  first_line_.reset();
  if (measured_ && meter_.any_reply())
    if (const auto now = meter_.recent_median(t)) line_ = latency_live_text(*now, meter_.idle_median());
  return index;
}

double LatencyRun::end_test() {
  if (!test_ended_) {
    test_ended_ = true;
    meter_.finish();
  }
  if (finished_ || settled()) return 0;
  // A reply as slow as the slowest so far, to a probe sent as the test
  // ended, and a probe's gap to spare.
  const double rtt_s = meter_.max_rtt_ms().value_or(0) / 1000;
  return std::min(kSettleSeconds, rtt_s * 1.25 + LatencyMeter::kProbeGap);
}

void LatencyRun::finish() {
  if (finished_) return;
  end_test();
  finished_ = true;
  if (!measured_) return;
  if (!meter_.any_reply()) {
    give_up(silent_reason());
    return;
  }
  line_ = latency_end_text(meter_.figures());
}

std::optional<LatencyFigures> LatencyRun::figures() const {
  if (!measured_ || !meter_.any_reply()) return std::nullopt;
  return meter_.figures();
}

}  // namespace trellan
