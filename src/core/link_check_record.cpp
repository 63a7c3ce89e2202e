#include "core/link_check_record.hpp"

#include <utility>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {

LinkPhaseResult link_phase_result(const RunRecord& run, LinkPhase phase) {
  LinkPhaseResult r;
  r.phase = phase;
  r.started = run.started;
  if (run.summary) {
    const SummaryDetails& s = *run.summary;
    if (phase == LinkPhase::Download) r.download_mbps = s.tx.receiver_mbps;
    if (phase == LinkPhase::Upload) r.upload_mbps = s.tx.receiver_mbps;
    if (phase == LinkPhase::Both) {
      r.upload_mbps = s.tx.receiver_mbps;
      r.download_mbps = s.rx.receiver_mbps;
    }
    if (s.tx.retransmits || s.rx.retransmits) r.retransmits = s.tx.retransmits.value_or(0) + s.rx.retransmits.value_or(0);
  }
  r.latency = run.latency;
  if (!run.latency) {
    const std::string not_measured = latency_not_measured_text("");
    r.no_latency_reason = run.latency_text.starts_with(not_measured) ? run.latency_text.substr(not_measured.size())
                                                                     : std::string("latency was not measured");
  }
  return r;
}

std::vector<const RunRecord*> LinkCheckRuns::phases() const {
  std::vector<const RunRecord*> out;
  for (const RunRecord* r : {download, upload, both})
    if (r) out.push_back(r);
  return out;
}

const RunRecord* LinkCheckRuns::of(LinkPhase phase) const {
  switch (phase) {
    case LinkPhase::Download: return download;
    case LinkPhase::Upload: return upload;
    case LinkPhase::Both: return both;
    case LinkPhase::Idle: break;
  }
  return nullptr;
}

namespace {

bool measured(const LinkPhaseResult& r) {
  return (r.phase == LinkPhase::Upload || r.download_mbps) && (r.phase == LinkPhase::Download || r.upload_mbps);
}

}  // namespace

// Each phase's run is fed to the check as the Client page fed it.
LinkCheck link_check_of(const LinkCheckRuns& runs) {
  LinkCheck check(0);
  check.start();
  for (LinkPhase phase : {LinkPhase::Download, LinkPhase::Upload, LinkPhase::Both}) {
    const RunRecord* run = runs.of(phase);
    if (!run || run->end == RunEnd::Running || !check.running()) break;
    // The idle baseline was over once the download test had begun.
    if (phase == LinkPhase::Download && (!run->intervals.empty() || run->summary || run->end == RunEnd::Result))
      check.idle_done();
    switch (run->end) {
      case RunEnd::Result: {
        LinkPhaseResult result = link_phase_result(*run, phase);
        if (measured(result)) check.phase_done(std::move(result));
        else check.phase_failed(words::kNoResult);
        break;
      }
      case RunEnd::Stopped: check.stop(); break;
      case RunEnd::Error: check.phase_failed(run->error_text); break;
      default: check.phase_failed(run->error_text.empty() ? words::kNoResult : run->error_text); break;
    }
  }
  return check;
}

std::vector<LinkPhaseResult> link_check_results(const LinkCheckRuns& runs) { return link_check_of(runs).results(); }

std::string link_check_title(const RunRecord& run) { return "Link check — " + run.far_end; }

std::string link_check_text(const LinkCheckRuns& runs) {
  if (!runs.first) return {};
  const LinkCheck check = link_check_of(runs);
  std::string text = link_check_title(*runs.first) + "\nStarted " + start_time_text(*runs.first) + "\n";
  for (const std::string& line : {check.result_line(), check.latency_line(), check.grade_line()})
    if (!line.empty()) text += line + "\n";
  for (const RunRecord* run : runs.phases()) {
    const LinkPhase phase = run->facts.link_check->phase;
    std::string name = link_phase_name(phase);
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    text += name + " (" + start_time_text(*run) + "): " + run_ending_text(*run) + "\n";
  }
  return text;
}

std::string link_check_outcome(const LinkCheckRuns& runs) {
  const LinkCheck check = link_check_of(runs);
  if (check.running()) return "Running…";
  std::string line = check.result_line();
  // The name is the row's or the summary's heading already.
  static constexpr std::string_view kName = "Link check — ";
  if (line.starts_with(kName)) line.erase(0, kName.size());
  return line;
}

LinkCheckFigures link_check_figures(const LinkCheckRuns& runs) {
  LinkCheckFigures f;
  if (runs.first) f.grade = runs.first->facts.link_check->grade;
  const LinkPhase phases[] = {LinkPhase::Download, LinkPhase::Upload, LinkPhase::Both};
  for (std::size_t i = 0; i < 3; ++i) {
    const RunRecord* run = runs.of(phases[i]);
    if (!run) continue;
    const LinkPhaseResult r = link_phase_result(*run, phases[i]);
    if (phases[i] == LinkPhase::Download) f.download_mbps = r.download_mbps;
    if (phases[i] == LinkPhase::Upload) f.upload_mbps = r.upload_mbps;
    if (!r.latency) continue;
    if (phases[i] == LinkPhase::Download && r.latency->idle_replied) f.idle_ms = r.latency->idle_ms;
    f.loaded_ms[i] = r.latency->loaded_median_ms;
  }
  return f;
}

std::string link_check_description(const LinkCheckFigures& f) {
  auto rate = [](const std::optional<double>& v) { return v ? rate_text(*v) : std::string("not measured"); };
  auto ms = [](const std::optional<double>& v) { return v ? ms_text(*v) + " ms" : std::string("not measured"); };
  std::string text = "Download " + rate(f.download_mbps) + ", upload " + rate(f.upload_mbps) + ". Latency " +
                     ms(f.idle_ms) + " idle, " + ms(f.loaded_ms[0]) + " downloading, " + ms(f.loaded_ms[1]) +
                     " uploading, " + ms(f.loaded_ms[2]) + " both ways.";
  if (f.grade)
    text += std::string(" Bufferbloat grade ") + grade_text(*f.grade) + ": " + grade_meaning(*f.grade) + ".";
  else
    text += " No grade.";
  return text;
}

}  // namespace trellan
