#include "core/latency.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trellan {

void RunningQuantile::add(double v) {
  if (!low_.empty() && v <= low_.top())
    low_.push(v);
  else
    high_.push(v);
  // Keep exactly k = ceil(q·n) values in the lower half.
  const std::size_t n = count();
  const auto k = static_cast<std::size_t>(std::max(1.0, std::ceil(q_ * static_cast<double>(n) - 1e-9)));
  while (low_.size() > k) {
    high_.push(low_.top());
    low_.pop();
  }
  while (low_.size() < k) {
    low_.push(high_.top());
    high_.pop();
  }
}

std::optional<double> RunningQuantile::value() const {
  if (low_.empty()) return std::nullopt;
  // The median of an even count: the mean of the two middle values.
  if (q_ == 0.5 && count() % 2 == 0 && !high_.empty()) return (low_.top() + high_.top()) / 2;
  return low_.top();
}

std::optional<double> median_of(std::vector<double>& values) {
  if (values.empty()) return std::nullopt;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

void LatencyMeter::add(double t, const PingEvent& event) {
  if (const auto* r = std::get_if<PingReply>(&event)) {
    highest_seq_ = std::max(highest_seq_, r->seq);
    if (r->duplicate) return;  // the probe was counted with its first reply
    unanswered_.erase(r->seq);
    recent_.push_back({t, r->rtt_ms});
    while (!recent_.empty() && recent_.front().t < t - 1.0) recent_.pop_front();
    if (loaded_) {
      pending_.push_back(r->rtt_ms);
      loaded_replies_.push_back({static_cast<float>(t - load_start_), static_cast<float>(r->rtt_ms)});
    }
    else
      idle_.push_back(r->rtt_ms);
  } else if (const auto* u = std::get_if<PingUnanswered>(&event)) {
    highest_seq_ = std::max(highest_seq_, u->seq);
    // "no answer yet" comes as the next probe leaves: this one left a gap
    // earlier. ping repeats it while it waits; the first time counts.
    unanswered_.try_emplace(u->seq, u->reason.empty() ? t - kProbeGap : t);
    if (!u->reason.empty()) unanswered_reason_ = u->reason;
  }
}

void LatencyMeter::start_load(double t) {
  if (loaded_) return;
  loaded_ = true;
  load_start_ = t;
  std::vector<double> idle = idle_;
  idle_median_ = median_of(idle);
}

void LatencyMeter::close_interval(double t, bool omitted) {
  IntervalLatency closed;
  closed.median_ms = median_of(pending_);
  if (!omitted) {
    for (double v : pending_) {
      median_.add(v);
      p95_.add(v);
      max_ = std::max(max_.value_or(v), v);
    }
  }
  pending_.clear();
  closed_.push_back(closed);
  interval_ends_.push_back(t);
}

std::optional<double> LatencyMeter::recent_median(double t) const {
  std::vector<double> values;
  for (const auto& r : recent_)
    if (r.t >= t - 1.0 && r.t <= t) values.push_back(r.rtt_ms);
  return median_of(values);
}

std::vector<IntervalLatency> LatencyMeter::intervals() const {
  std::vector<IntervalLatency> out = closed_;
  for (const auto& [seq, sent] : unanswered_) {
    if (!loaded_ || sent <= load_start_) continue;
    const auto it = std::lower_bound(interval_ends_.begin(), interval_ends_.end(), sent);
    if (it != interval_ends_.end()) ++out[static_cast<std::size_t>(it - interval_ends_.begin())].lost;
  }
  return out;
}

std::vector<LatencyProbe> LatencyMeter::probes() const {
  std::vector<LatencyProbe> out = loaded_replies_;
  for (const auto& [seq, sent] : unanswered_)
    if (loaded_ && sent > load_start_)
      out.push_back({static_cast<float>(sent - load_start_), std::numeric_limits<float>::quiet_NaN()});
  return out;
}

std::optional<LatencyFigures> LatencyMeter::figures() const {
  if (!idle_median_) return std::nullopt;
  LatencyFigures f;
  f.idle_ms = *idle_median_;
  f.loaded_median_ms = median_.value();
  f.loaded_p95_ms = p95_.value();
  f.loaded_max_ms = max_;
  f.lost = unanswered_.size();
  f.sent = highest_seq_;
  return f;
}

}  // namespace trellan
