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

namespace {

// The figures of some probes' round-trip times, in the order they were
// sent (< 0: no reply).
struct Spread {
  std::optional<double> median, p95, max, jitter;
  std::uint64_t sent = 0, lost = 0;
};

Spread spread_of(const std::vector<double>& rtts) {
  Spread s;
  std::vector<double> replies;
  double jumps = 0;
  std::optional<double> previous;
  for (double v : rtts) {
    ++s.sent;
    if (v < 0) {
      ++s.lost;
      continue;
    }
    replies.push_back(v);
    if (previous) jumps += std::fabs(v - *previous);
    previous = v;
  }
  if (replies.empty()) return s;
  if (replies.size() > 1) s.jitter = jumps / static_cast<double>(replies.size() - 1);
  std::sort(replies.begin(), replies.end());
  const std::size_t n = replies.size();
  s.median = n % 2 ? replies[n / 2] : (replies[n / 2 - 1] + replies[n / 2]) / 2;
  s.p95 = replies[(95 * n + 99) / 100 - 1];  // nearest rank: ceil(0.95 n)
  s.max = replies.back();
  return s;
}

}  // namespace

// ping's sequence numbers are 16 bits wide and wrap; counted on from the
// highest seen so far.
std::uint64_t LatencyMeter::unwrap(std::uint64_t seq) {
  const std::uint64_t base = highest_seq_ & ~std::uint64_t{0xffff};
  std::uint64_t full = base + (seq & 0xffff);
  if (full + 0x8000 < highest_seq_) full += 0x10000;
  else if (full > highest_seq_ + 0x8000 && full >= 0x10000) full -= 0x10000;
  highest_seq_ = std::max(highest_seq_, full);
  return full;
}

LatencyMeter::Probe& LatencyMeter::probe(std::uint64_t seq) {
  if (seq >= probes_.size()) probes_.resize(seq + 1);
  return probes_[seq];
}

void LatencyMeter::add(double t, const PingEvent& event) {
  if (const auto* r = std::get_if<PingReply>(&event)) {
    const std::uint64_t seq = unwrap(r->seq);
    if (r->duplicate) return;  // the probe was counted with its first reply
    Probe& p = probe(seq);
    if (p.rtt_ms >= 0) return;
    p.rtt_ms = r->rtt_ms;
    max_rtt_ms_ = std::max(max_rtt_ms_.value_or(0), r->rtt_ms);
    if (!p.known) p.sent = t - r->rtt_ms / 1000;
    p.known = true;
    recent_.push_back({t, r->rtt_ms});
    while (!recent_.empty() && recent_.front().t < t - 1.0) recent_.pop_front();
    last_reply_ = t;
    place(seq);
  } else if (const auto* u = std::get_if<PingUnanswered>(&event)) {
    const std::uint64_t seq = unwrap(u->seq);
    Probe& p = probe(seq);
    // "no answer yet" comes as the next probe leaves: this one left a gap
    // earlier. ping repeats it while it waits; the first time counts.
    if (!p.known) p.sent = u->reason.empty() ? t - kProbeGap : t;
    p.known = true;
    if (!u->reason.empty()) unanswered_reason_ = u->reason;
    place(seq);
  }
}

void LatencyMeter::place(std::uint64_t seq) {
  Probe& p = probes_[seq];
  if (p.slot != kUnplaced || !p.known) return;
  if (!loaded_ || p.sent < load_start_) {
    p.slot = kIdle;
    idle_.push_back(seq);
    return;
  }
  if (!anchor_ || slots_.empty()) {
    unplaced_.push_back(seq);
    return;
  }
  const double rel = p.sent - *anchor_;
  if (rel < slots_.front().start) {
    p.slot = kOutside;
    return;
  }
  const auto it = std::upper_bound(slots_.begin(), slots_.end(), rel,
                                   [](double v, const Slot& s) { return v < s.end; });
  if (it == slots_.end()) {
    if (finished_)
      p.slot = kOutside;
    else
      unplaced_.push_back(seq);
    return;
  }
  p.slot = static_cast<int>(it - slots_.begin());
  it->probes.push_back(seq);
}

void LatencyMeter::start_load(double t) {
  if (loaded_) return;
  loaded_ = true;
  load_start_ = t;
  // Probes already spoken of were sent in the idle second.
}

std::size_t LatencyMeter::add_interval(double first_line_t, double start_s, double end_s, bool omitted) {
  // After a warm-up (-O), iperf3's clock may start again from 0: it goes on
  // from the warm-up's end instead, as on the chart.
  if (omitted) {
    warmup_end_ = std::max(warmup_end_, end_s);
  } else if (!counted_seen_) {
    counted_seen_ = true;
    if (start_s < warmup_end_ - 1e-6) shift_ = warmup_end_;
  }
  if (!omitted) {
    start_s += shift_;
    end_s += shift_;
  }
  // iperf3 prints an interval's first line as it ends; its "[SUM]" line may
  // come a second later, with the next one. The earliest reading is the best.
  const double anchor = first_line_t - end_s;
  if (!anchor_ || anchor < *anchor_) anchor_ = anchor;
  if (!slots_.empty()) {
    const Slot& last = slots_.back();
    if (last.start == start_s && last.end == end_s && last.omitted == omitted) return slots_.size() - 1;
  }
  slots_.push_back({start_s, end_s, omitted, {}});
  std::vector<std::uint64_t> waiting;
  waiting.swap(unplaced_);
  for (std::uint64_t seq : waiting) place(seq);
  return slots_.size() - 1;
}

void LatencyMeter::finish() {
  if (finished_) return;
  finished_ = true;
  std::vector<std::uint64_t> waiting;
  waiting.swap(unplaced_);
  for (std::uint64_t seq : waiting) {
    if (!anchor_) probes_[seq].slot = kOutside;
    else place(seq);
  }
}

std::size_t LatencyMeter::in_flight() const {
  std::size_t n = 0;
  for (const Slot& slot : slots_)
    for (std::uint64_t seq : slot.probes) n += probes_[seq].rtt_ms < 0;
  return n;
}

std::optional<double> LatencyMeter::idle_median() const {
  std::vector<double> values;
  for (std::uint64_t seq : idle_)
    if (probes_[seq].rtt_ms >= 0) values.push_back(probes_[seq].rtt_ms);
  return median_of(values);
}

std::size_t LatencyMeter::idle_replies() const {
  std::size_t n = 0;
  for (std::uint64_t seq : idle_) n += probes_[seq].rtt_ms >= 0;
  return n;
}

std::optional<double> LatencyMeter::recent_median(double t) const {
  std::vector<double> values;
  for (const auto& r : recent_)
    if (r.t >= t - 1.0 && r.t <= t) values.push_back(r.rtt_ms);
  return median_of(values);
}

std::vector<IntervalLatency> LatencyMeter::intervals(std::size_t from) const {
  std::vector<IntervalLatency> out;
  for (std::size_t i = from; i < slots_.size(); ++i) {
    std::vector<double> rtts;
    IntervalLatency l;
    for (std::uint64_t seq : slots_[i].probes) {
      if (probes_[seq].rtt_ms >= 0)
        rtts.push_back(probes_[seq].rtt_ms);
      else
        ++l.lost;
    }
    l.median_ms = median_of(rtts);
    out.push_back(l);
  }
  return out;
}

LatencyFigures LatencyMeter::figures() const {
  std::vector<double> idle, loaded;
  for (const Probe& p : probes_) {
    if (p.slot == kIdle) idle.push_back(p.rtt_ms);
    if (p.slot >= 0 && !slots_[static_cast<std::size_t>(p.slot)].omitted) loaded.push_back(p.rtt_ms);
  }
  const Spread i = spread_of(idle), l = spread_of(loaded);
  LatencyFigures f;
  f.idle_replied = i.median.has_value();
  f.idle_ms = i.median.value_or(0);
  f.idle_sent = i.sent;
  f.idle_lost = i.lost;
  f.idle_jitter_ms = i.jitter;
  f.loaded_median_ms = l.median;
  f.loaded_p95_ms = l.p95;
  f.loaded_max_ms = l.max;
  f.jitter_ms = l.jitter;
  f.sent = l.sent;
  f.lost = l.lost;
  return f;
}

std::vector<LatencyProbe> LatencyMeter::probes() const {
  std::vector<LatencyProbe> out;
  if (!anchor_) return out;
  for (const Probe& p : probes_)
    if (p.slot >= 0)
      out.push_back({static_cast<float>(p.sent - *anchor_),
                     p.rtt_ms >= 0 ? static_cast<float>(p.rtt_ms) : std::numeric_limits<float>::quiet_NaN()});
  return out;
}

}  // namespace trellan
