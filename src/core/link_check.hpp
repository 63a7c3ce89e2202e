// A link check: one click that measures a link both ways with latency under
// load. An idle baseline of ping probes, then three client tests, each with
// ping beside it: download (-R), upload, both ways (--bidir). This is the
// sequence as plain data: fed what each step ended with, it answers what to
// run next and what the page says. No GTK; the Client page drives it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/latency.hpp"

namespace trellan {

enum class LinkPhase { Idle, Download, Upload, Both };

// What one finished test phase measured, read from its run's record: the
// receiver's rates from iperf3's end lines (none where the phase has no such
// direction) and the latency figures of the ping beside it (none when latency
// was not measured, with the reason).
struct LinkPhaseResult {
  LinkPhase phase = LinkPhase::Download;
  std::optional<double> download_mbps;
  std::optional<double> upload_mbps;
  std::optional<std::uint64_t> retransmits;
  std::optional<LatencyFigures> latency;
  std::string no_latency_reason;
  std::chrono::system_clock::time_point started;  // when its run started
};

enum class LinkGrade { APlus, A, B, C, D, F };

// The grade of a mean added delay in milliseconds.
LinkGrade link_grade(double added_ms);
const char* grade_text(LinkGrade grade);     // "A+", "A", …
const char* grade_meaning(LinkGrade grade);  // one line for people

class LinkCheck {
 public:
  static constexpr double kIdleSeconds = 5.0;
  static constexpr double kRetrySeconds = 2.0;
  static constexpr unsigned kMaxRetries = 5;

  // What the page does next.
  struct Step {
    enum class Kind {
      None,      // nothing to do
      Run,       // start `phase`'s run (the download run carries the idle baseline)
      Wait,      // the server was busy: start `phase` again after kRetrySeconds
      Finished,  // the check is over: show the end texts
    };
    Kind kind = Kind::None;
    LinkPhase phase = LinkPhase::Download;
    bool operator==(const Step&) const = default;
  };

  enum class State { Ready, Running, Waiting, Done, Failed, Stopped };

  explicit LinkCheck(unsigned duration_s) : duration_s_(duration_s) {}

  Step start();
  // The idle baseline has lasted `elapsed_s` on the clock ping's probes are
  // timed by.
  void idle_clock(double elapsed_s);
  // The idle baseline is measured: the download test starts.
  void idle_done();
  // The current phase's test started; its clock (iperf3's) reads `elapsed_s`.
  void phase_clock(double elapsed_s);
  // The current phase's run ended with a result.
  Step phase_done(LinkPhaseResult result);
  // The current phase's run failed, in iperf3's or ping's words.
  Step phase_failed(const std::string& reason);
  // The server said it is busy.
  Step server_busy(const std::string& reason);
  // The wait after a busy answer is over.
  Step retry_due();
  // The user stopped the check.
  Step stop();

  State state() const { return state_; }
  bool running() const { return state_ == State::Running || state_ == State::Waiting; }
  LinkPhase phase() const { return phase_; }
  const std::vector<LinkPhaseResult>& results() const { return results_; }
  unsigned retries() const { return retries_; }

  // While it runs: "Link check: uploading (phase 2 of 3), 7 s left", or the
  // busy server's wait.
  std::string progress_text() const;
  // From 0 to 1, by seconds of the whole check.
  double progress_fraction() const;

  // At the end: the first line (the result, the failure or the stop), the
  // latency line (empty when no phase measured it) and the grade's line.
  std::string result_line() const;
  std::string latency_line() const;
  std::string grade_line() const;
  // The grade, when the check finished and latency allows one.
  std::optional<LinkGrade> grade() const;

 private:
  Step run(LinkPhase phase);
  Step next_after(LinkPhase phase);
  std::optional<std::string> no_grade_reason() const;
  const LinkPhaseResult* result_of(LinkPhase phase) const;

  unsigned duration_s_;
  State state_ = State::Ready;
  LinkPhase phase_ = LinkPhase::Idle;
  bool idle_done_ = false;
  double elapsed_s_ = 0;
  double idle_elapsed_s_ = 0;
  unsigned retries_ = 0;
  std::string failure_;
  std::vector<LinkPhaseResult> results_;
};

// The CSV of a link check: a header and one row per test phase measured.
std::string link_check_csv(const std::vector<LinkPhaseResult>& results);

// True when iperf3's error says the server is busy with another test.
bool is_server_busy(const std::string& error);

}  // namespace trellan
