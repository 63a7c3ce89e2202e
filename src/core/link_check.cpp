#include "core/link_check.hpp"

#include <algorithm>
#include <cmath>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {

LinkGrade link_grade(double added_ms) {
  if (added_ms < 5) return LinkGrade::APlus;
  if (added_ms < 30) return LinkGrade::A;
  if (added_ms < 60) return LinkGrade::B;
  if (added_ms < 200) return LinkGrade::C;
  if (added_ms < 400) return LinkGrade::D;
  return LinkGrade::F;
}

const char* grade_text(LinkGrade grade) {
  switch (grade) {
    case LinkGrade::APlus: return "A+";
    case LinkGrade::A: return "A";
    case LinkGrade::B: return "B";
    case LinkGrade::C: return "C";
    case LinkGrade::D: return "D";
    case LinkGrade::F: return "F";
  }
  return "";
}

const char* grade_meaning(LinkGrade grade) {
  switch (grade) {
    case LinkGrade::APlus: return "latency barely grows while the link is busy";
    case LinkGrade::A: return "calls and games stay smooth while the link is busy";
    case LinkGrade::B: return "calls and games may falter now and then while the link is busy";
    case LinkGrade::C: return "calls and games will stutter while the link is busy";
    case LinkGrade::D: return "calls and games will break up while the link is busy";
    case LinkGrade::F: return "calls and games are unusable while the link is busy";
  }
  return "";
}

namespace {

// The added delay as the latency line shows it, in milliseconds: the grade
// follows the shown figures ("no increase" is none).
std::string added_text(double idle_ms, const LatencyFigures& f) {
  return added_delay_text(idle_ms, *f.loaded_median_ms, f.idle_jitter_ms);
}

double added_value(const std::string& text) {
  if (!text.starts_with("+")) return 0;
  const std::string_view number = std::string_view(text).substr(1, text.find(' ') - 1);
  return parse_double(number).value_or(0);
}

}  // namespace

LinkCheck::Step LinkCheck::start() {
  if (state_ != State::Ready) return {};
  state_ = State::Running;
  phase_ = LinkPhase::Idle;
  return {Step::Kind::Run, LinkPhase::Download};
}

void LinkCheck::idle_clock(double elapsed_s) {
  if (state_ == State::Running && phase_ == LinkPhase::Idle)
    idle_elapsed_s_ = std::clamp(elapsed_s, idle_elapsed_s_, kIdleSeconds);
}

void LinkCheck::idle_done() {
  if (state_ != State::Running || phase_ != LinkPhase::Idle) return;
  idle_done_ = true;
  phase_ = LinkPhase::Download;
  elapsed_s_ = 0;
}

void LinkCheck::phase_clock(double elapsed_s) {
  if (state_ == State::Running && phase_ != LinkPhase::Idle) elapsed_s_ = std::max(elapsed_s_, elapsed_s);
}

LinkCheck::Step LinkCheck::run(LinkPhase phase) {
  state_ = State::Running;
  phase_ = phase;
  elapsed_s_ = 0;
  retries_ = 0;
  return {Step::Kind::Run, phase};
}

LinkCheck::Step LinkCheck::phase_done(LinkPhaseResult result) {
  if (state_ != State::Running) return {};
  if (phase_ == LinkPhase::Idle) {
    // The download run ended before its test started: nothing was measured.
    return phase_failed("the download test ended before it started");
  }
  result.phase = phase_;
  results_.push_back(std::move(result));
  switch (phase_) {
    case LinkPhase::Download: return run(LinkPhase::Upload);
    case LinkPhase::Upload: return run(LinkPhase::Both);
    default: break;
  }
  state_ = State::Done;
  return {Step::Kind::Finished, phase_};
}

LinkCheck::Step LinkCheck::phase_failed(const std::string& reason) {
  if (state_ != State::Running && state_ != State::Waiting) return {};
  state_ = State::Failed;
  failure_ = reason;
  return {Step::Kind::Finished, phase_};
}

LinkCheck::Step LinkCheck::server_busy(const std::string& reason) {
  if (state_ != State::Running) return {};
  if (retries_ >= kMaxRetries) return phase_failed(reason);
  ++retries_;
  state_ = State::Waiting;
  return {Step::Kind::Wait, phase_ == LinkPhase::Idle ? LinkPhase::Download : phase_};
}

LinkCheck::Step LinkCheck::retry_due() {
  if (state_ != State::Waiting) return {};
  state_ = State::Running;
  // A retried download measures its idle baseline again.
  if (phase_ == LinkPhase::Download && results_.empty()) {
    phase_ = LinkPhase::Idle;
    idle_done_ = false;
    idle_elapsed_s_ = 0;
  }
  elapsed_s_ = 0;
  return {Step::Kind::Run, phase_ == LinkPhase::Idle ? LinkPhase::Download : phase_};
}

LinkCheck::Step LinkCheck::stop() {
  if (!running()) return {};
  state_ = State::Stopped;
  return {Step::Kind::Finished, phase_};
}

std::string LinkCheck::progress_text() const {
  if (state_ == State::Waiting)
    return link_busy_text(retries_, kMaxRetries, static_cast<unsigned>(kRetrySeconds));
  if (phase_ == LinkPhase::Idle)
    return link_progress_text(phase_, static_cast<unsigned>(std::ceil(kIdleSeconds - idle_elapsed_s_)));
  const double left = std::max(0.0, static_cast<double>(duration_s_) - elapsed_s_);
  return link_progress_text(phase_, static_cast<unsigned>(std::ceil(left)));
}

double LinkCheck::progress_fraction() const {
  const double total = kIdleSeconds + 3.0 * duration_s_;
  double done = 0;
  if (state_ == State::Done) return 1;
  done += idle_done_ ? kIdleSeconds : idle_elapsed_s_;
  done += static_cast<double>(results_.size()) * duration_s_;
  if (phase_ != LinkPhase::Idle) done += std::min(elapsed_s_, static_cast<double>(duration_s_));
  return std::clamp(done / total, 0.0, 1.0);
}

const LinkPhaseResult* LinkCheck::result_of(LinkPhase phase) const {
  for (const LinkPhaseResult& r : results_)
    if (r.phase == phase) return &r;
  return nullptr;
}

// The baseline: the idle probes before the download test.
std::optional<std::string> LinkCheck::no_grade_reason() const {
  const LinkPhaseResult* down = result_of(LinkPhase::Download);
  const LinkPhaseResult* up = result_of(LinkPhase::Upload);
  for (const LinkPhaseResult* r : {down, up}) {
    if (!r) return std::string("not every phase was measured");
    if (!r->latency) return r->no_latency_reason.empty() ? "latency was not measured" : r->no_latency_reason;
  }
  if (!down->latency->idle_replied) return std::string("no reply to ping while idle");
  for (const LinkPhaseResult* r : {down, up})
    if (!r->latency->loaded_median_ms) return std::string("no reply to ping under load");
  return std::nullopt;
}

std::optional<LinkGrade> LinkCheck::grade() const {
  if (state_ != State::Done || no_grade_reason()) return std::nullopt;
  const double idle = result_of(LinkPhase::Download)->latency->idle_ms;
  const double down = added_value(added_text(idle, *result_of(LinkPhase::Download)->latency));
  const double up = added_value(added_text(idle, *result_of(LinkPhase::Upload)->latency));
  return link_grade((down + up) / 2);
}

std::string LinkCheck::result_line() const {
  if (state_ == State::Failed) return link_failed_text(failure_);
  if (state_ == State::Stopped) {
    std::optional<LinkPhase> last;
    if (!results_.empty())
      last = results_.back().phase;
    else if (idle_done_)
      last = LinkPhase::Idle;
    return link_stopped_text(last, phase_);
  }
  if (state_ != State::Done) return {};
  const LinkPhaseResult* down = result_of(LinkPhase::Download);
  const LinkPhaseResult* up = result_of(LinkPhase::Upload);
  if (!down || !down->download_mbps || !up || !up->upload_mbps)
    return link_failed_text("iperf3 gave no receiver figures");
  const std::optional<LinkGrade> g = grade();
  const std::string graded =
      g ? std::string("bufferbloat grade ") + grade_text(*g) : "no grade: " + *no_grade_reason();
  return link_result_text(*down->download_mbps, *up->upload_mbps, graded);
}

std::string LinkCheck::latency_line() const {
  const LinkPhaseResult* down = result_of(LinkPhase::Download);
  if (!down || !down->latency || !down->latency->idle_replied) return {};
  const double idle = down->latency->idle_ms;
  std::vector<LinkLatencyPart> parts;
  std::uint64_t lost = 0, sent = 0;
  for (const LinkPhaseResult& r : results_) {
    if (!r.latency) continue;
    lost += r.latency->lost;
    sent += r.latency->sent;
    parts.push_back({r.phase, r.latency->loaded_median_ms ? added_text(idle, *r.latency) : "no reply"});
  }
  return link_latency_text(idle, parts, lost, sent);
}

std::string LinkCheck::grade_line() const {
  const std::optional<LinkGrade> g = grade();
  return g ? link_grade_text(grade_text(*g), grade_meaning(*g)) : std::string();
}

std::string link_check_csv(const std::vector<LinkPhaseResult>& results) {
  std::string out = std::string(kLinkCsvHeader) + "\n";
  const LinkPhaseResult* first = results.empty() ? nullptr : &results.front();
  const bool has_idle = first && first->phase == LinkPhase::Download && first->latency &&
                        first->latency->idle_replied;
  const double idle = has_idle ? first->latency->idle_ms : 0;
  auto rate = [](std::optional<double> v) { return v ? fixed_text(*v, 2) : std::string(); };
  for (const LinkPhaseResult& r : results) {
    std::string row = std::string(link_phase_csv_name(r.phase)) + ",";
    row += local_time(r.started, "%Y-%m-%dT%H:%M:%S%:z") + ",";
    row += rate(r.download_mbps) + "," + rate(r.upload_mbps) + ",";
    row += (r.retransmits ? std::to_string(*r.retransmits) : std::string()) + ",";
    row += (has_idle ? ms_text(idle) : std::string()) + ",";
    const bool loaded = r.latency && r.latency->loaded_median_ms;
    row += (loaded ? ms_text(*r.latency->loaded_median_ms) : std::string()) + ",";
    std::string added;
    if (loaded && has_idle) {
      const std::string shown = added_text(idle, *r.latency);  // "+5.9 ms" or "no increase"
      added = shown.starts_with("+") ? shown.substr(1, shown.find(' ') - 1) : "0";
    }
    row += added + ",";
    row += (r.latency ? std::to_string(r.latency->sent) : std::string()) + ",";
    row += r.latency ? std::to_string(r.latency->lost) : std::string();
    out += row + "\n";
  }
  return out;
}

bool is_server_busy(const std::string& error) {
  return error.find("the server is busy") != std::string::npos;
}

}  // namespace trellan
