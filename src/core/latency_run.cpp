#include "core/latency_run.hpp"

#include "core/latency_text.hpp"

namespace trellan {

void LatencyRun::on_ping(double t, const PingEvent& event) {
  if (const auto* f = std::get_if<PingFailure>(&event)) {
    on_ping_failure(f->reason);
    return;
  }
  meter_.add(t, event);
}

void LatencyRun::on_ping_failure(const std::string& reason) {
  if (!failure_) failure_ = reason;
}

void LatencyRun::on_ping_exit(int code) {
  ping_ended_ = true;
  if (!failure_ && meter_.idle_replies() == 0 && !load_started_)
    failure_ = "ping ended (code " + std::to_string(code) + ")";
}

bool LatencyRun::idle_over(double t) const {
  return failure_.has_value() || ping_ended_ || t - start_ >= kIdleSeconds;
}

bool LatencyRun::start_load(double t) {
  if (load_started_) return measured_;
  load_started_ = true;
  meter_.start_load(t);
  if (meter_.idle_replies() > 0 && !(ping_ended_ && failure_)) {
    measured_ = true;
    line_.clear();
  } else {
    std::string reason;
    if (failure_)
      reason = *failure_;
    else if (!meter_.unanswered_reason().empty())
      reason = meter_.unanswered_reason();
    else
      reason = "no reply to ping within a second";
    line_ = latency_not_measured_text(reason);
  }
  return measured_;
}

void LatencyRun::on_interval(double t, const IntervalRecord& record) {
  if (!measured_) return;
  Key key{record.start_text, record.end_text, record.omitted};
  if (last_interval_ == key) return;
  last_interval_ = std::move(key);
  meter_.close_interval(t, record.omitted);
  const auto idle = meter_.idle_median();
  if (const auto now = meter_.recent_median(t); now && idle) line_ = latency_live_text(*now, *idle);
}

void LatencyRun::finish() {
  if (!measured_) return;
  if (const auto f = figures()) line_ = latency_end_text(*f);
}

std::optional<LatencyFigures> LatencyRun::figures() const {
  if (!measured_) return std::nullopt;
  return meter_.figures();
}

}  // namespace trellan
