// A link check as its runs' records keep it: each phase's run carries the
// check's mark (RunFacts::link_check), and the check is read back from them,
// measured here or opened from a run file alike. No GTK.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/link_check.hpp"
#include "core/run_record.hpp"

namespace trellan {

// What one phase's run measured, from its record: the receiver's figures of
// iperf3's end lines and the latency of the ping beside it.
LinkPhaseResult link_phase_result(const RunRecord& run, LinkPhase phase);

// The phases of one check, by phase: a phase tried again after a busy
// server is the last try. Empty where no run of the check is in `runs`.
struct LinkCheckRuns {
  const RunRecord* download = nullptr;
  const RunRecord* upload = nullptr;
  const RunRecord* both = nullptr;
  const RunRecord* first = nullptr;  // the check's first run, whatever its phase
  std::vector<const RunRecord*> phases() const;  // those there, in order
  const RunRecord* of(LinkPhase phase) const;
};
template <typename Runs>
LinkCheckRuns link_check_runs(const Runs& runs, const std::string& check) {
  LinkCheckRuns out;
  for (const auto& r : runs) {
    const auto& mark = r->facts.link_check;
    if (!mark || mark->check != check) continue;
    if (!out.first) out.first = &*r;
    (mark->phase == LinkPhase::Download ? out.download : mark->phase == LinkPhase::Upload ? out.upload : out.both) = &*r;
  }
  return out;
}

// What saving `run` keeps: the run, or where it is a phase of a link check,
// every run of the check (its tries too), in the order of `runs`.
template <typename Runs>
std::vector<const RunRecord*> runs_kept_with(const Runs& runs, const RunRecord& run) {
  std::vector<const RunRecord*> out;
  const auto& mark = run.facts.link_check;
  for (const auto& r : runs)
    if (&*r == &run || (mark && r->facts.link_check && r->facts.link_check->check == mark->check))
      out.push_back(&*r);
  return out;
}

// The check as it ended (or stands), told again from its runs: its lines
// and grade are the ones the Client page showed.
LinkCheck link_check_of(const LinkCheckRuns& runs);

// What the phases measured, for the CSV and the summary.
std::vector<LinkPhaseResult> link_check_results(const LinkCheckRuns& runs);

// The check's name in the runs list: "Link check — 127.0.0.1, port 5201".
std::string link_check_title(const RunRecord& run);
// The check as text: its name and start, its lines, and each phase's end.
std::string link_check_text(const LinkCheckRuns& runs);

// How the check ended, without its name, for its row and its summary:
// "download 18.9 Mbit/s, upload 19.1 Mbit/s; bufferbloat grade D", or
// "Link check stopped after download", or "Running…" while it runs.
std::string link_check_outcome(const LinkCheckRuns& runs);

// What the summary draws: the two rates, and the latency idle and in each
// phase (loaded medians) on one scale, with the grade its runs were given.
struct LinkCheckFigures {
  std::optional<double> download_mbps, upload_mbps;
  std::optional<double> idle_ms;
  std::array<std::optional<double>, 3> loaded_ms;  // download, upload, both ways
  std::optional<LinkGrade> grade;
};
LinkCheckFigures link_check_figures(const LinkCheckRuns& runs);
// The same in words, for a screen reader.
std::string link_check_description(const LinkCheckFigures& figures);

}  // namespace trellan
