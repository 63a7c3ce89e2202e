// What a window remembers of its runs: each run's interval records and how
// it ended, the last 100 runs at most. Plain data, no GTK; lives on the main
// thread and with the window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/latency.hpp"
#include "core/link_check.hpp"

namespace trellan {

// From this machine's point of view.
enum class Direction { Send, Receive };

// One interval of one direction, parsed once from its line: its times in
// seconds from the test's start and its rate in Mbit/s as numbers, and the
// texts as iperf3 printed them ("0.00", "2.98 GBytes", jitter "0.013") for
// the table and the exports.
struct IntervalRecord {
  double start = 0;
  double end = 0;
  std::string start_text;
  std::string end_text;
  Direction direction = Direction::Send;
  double mbps = 0;
  std::string transfer;
  std::optional<std::uint64_t> retransmits;  // TCP, sending side
  std::optional<std::string> jitter_ms;      // UDP, receiving side
  std::optional<std::uint64_t> lost;         // UDP, receiving side
  std::optional<std::uint64_t> total;        // UDP: datagrams received, or sent
  bool omitted = false;
  std::string bitrate;  // the rate as printed: "4.98 Gbits/sec"

  bool operator==(const IntervalRecord&) const = default;
};

// The loss figures of a UDP summary line, numbers as iperf3 printed them:
// "0.013 ms  23439/646767 (3.6%)".
struct UdpLoss {
  std::string jitter_ms;
  std::uint64_t lost = 0;
  std::uint64_t total = 0;
  std::string percent;
  // iperf3's percentage unrounded, where it gave one (its JSON): its count
  // of datagrams sent, not `total`, is what it divides by.
  std::optional<double> exact_percent;
  bool operator==(const UdpLoss&) const = default;
};

// What the summary lines of one flow have said so far. Each value comes from
// the line the rates came from: the retransmits (TCP) from the sender line
// that gave `sender_mbps`, the loss (UDP) from the receiver line that gave
// `receiver_mbps`.
struct FlowFigures {
  std::optional<double> sender_mbps;
  std::optional<std::uint64_t> retransmits;
  std::optional<double> receiver_mbps;
  std::optional<UdpLoss> loss;
  bool operator==(const FlowFigures&) const = default;
};

// Sent after every summary line (sender or receiver): the end figures of the
// test known so far. In a bidirectional test `tx` is this machine's outgoing
// flow and `rx` its incoming one; otherwise `tx` holds the test's only flow
// and `rx` stays empty.
struct SummaryDetails {
  bool bidirectional = false;
  FlowFigures tx;
  FlowFigures rx;
  bool operator==(const SummaryDetails&) const = default;
};

enum class RunPage { Client, Server };

// A run that is one phase of a link check: the check's runs share `check`.
// The check's idle baseline and grade come once it is over (none where it
// failed, was stopped or had no latency to grade).
struct LinkCheckMark {
  std::string check;
  LinkPhase phase = LinkPhase::Download;
  std::optional<double> idle_ms;
  std::optional<LinkGrade> grade;
  bool operator==(const LinkCheckMark&) const = default;
};

// What a test was set up to be, as iperf3 stated it at its start or the form
// asked for it: the comparison and the words read these, never the command
// line, which a run opened from iperf3's JSON does not have.
struct RunFacts {
  std::string protocol;             // "TCP", "UDP"; empty where nothing said
  std::optional<unsigned> streams;  // parallel streams (-P)
  // The iperf3 that made the run: its version line from the file ("iperf
  // 3.12 (cJSON 1.7.15)"), or the version asked of the one run here ("3.12");
  // empty where that was not known (see iperf_version_text).
  std::string iperf_version;
  // How long the test was set to last (-t), in seconds; none where it was
  // not said or the test was bounded otherwise (by bytes or blocks).
  std::optional<double> duration_s;
  // iperf3's title (-T), and the buffer length (-l) and socket buffer
  // (-w) asked for, in iperf3's own form ("128K"); empty where not said.
  std::string title;
  std::string buffer_length;
  std::string window;
  std::optional<LinkCheckMark> link_check = std::nullopt;  // a phase of a link check
  bool operator==(const RunFacts&) const = default;
};

// How a run ended, as its page showed it.
enum class RunEnd {
  Running,     // not yet ended
  Result,      // the page showed a result: `result_text` and `details_text`
  Stopped,     // the user stopped it
  Error,       // `error_text` says what went wrong
  EndedEarly,  // a served client that went before its test was over
};

// A time the readings stopped while the run went on, in seconds of the
// test's own clock (iperf3's interval times): from the end of the last
// reading before it to the end of the reading that came after it. Where
// none came, it lasted until the run ended, as this machine's clock
// measured the time since that last reading.
struct RunStall {
  enum class End {
    Ongoing,   // no reading yet: `to_s` is as far as it is known
    Resumed,   // a reading came
    RunEnded,  // the run ended first
  };
  double from_s = 0;
  double to_s = 0;
  End end = End::Ongoing;
  bool operator==(const RunStall&) const = default;
};

struct RunRecord {
  std::uint64_t id = 0;  // unique within its log, counting from 1
  RunPage page = RunPage::Client;
  std::chrono::system_clock::time_point started;
  std::string far_end;          // "127.0.0.1, port 5201"; a served client's address
  std::string options_summary;  // "TCP · 4 streams · reverse · 10 s"
  std::vector<std::string> command;  // the iperf3 command line it ran, "iperf3" first
  RunFacts facts;
  std::deque<IntervalRecord> intervals;
  std::uint64_t dropped_intervals = 0;  // the oldest, gone beyond the cap
  RunEnd end = RunEnd::Running;
  std::string result_text;   // the status text at the end, exactly as shown
  std::string details_text;  // the details text at the end, exactly as shown
  std::string error_text;    // with RunEnd::Error or RunEnd::EndedEarly
  // The latency line at the end ("Latency: … under load …", or why it was
  // not measured; empty when latency was off), and the figures behind it.
  std::string latency_text;
  std::optional<LatencyFigures> latency;
  // Each interval record's latency, in the order the records came, counting
  // the ones dropped beyond the cap (the two records of a bidirectional
  // interval carry the same); see latency_of_records. Filled as the run goes.
  std::vector<IntervalLatency> interval_latency;
  std::vector<LatencyProbe> probes;  // sent while the test ran, for plotting
  // The end figures its summary lines gave, behind the result text; none
  // where iperf3 printed no summary.
  std::optional<SummaryDetails> summary;
  // The file the run was opened from, as the user's file manager names it;
  // empty for a run measured in this window.
  std::string source_file;
  // The times its readings stopped, oldest first.
  std::vector<RunStall> stalls;
};

// What a run's session hands its record of the latency: the records'
// latency from record `first_record` on (counting from the run's first
// record), and at the end the line, the figures and the probes.
struct RunLatency {
  std::size_t first_record = 0;
  std::vector<IntervalLatency> records;
  bool ended = false;  // with the three below
  std::string text;
  std::optional<LatencyFigures> figures;
  std::vector<LatencyProbe> probes;
};

// The latency of each of `run.intervals`, in their order: none where
// latency was not measured.
std::vector<std::optional<IntervalLatency>> latency_of_records(const RunRecord& run);

// The runs of one window, oldest first. Listeners hear of every change, on
// the thread that made it (the main thread).
class RunLog {
 public:
  static constexpr std::size_t kMaxRuns = 100;
  static constexpr std::size_t kMaxIntervals = 100000;

  enum class Change { Added, Interval, Ended, Removed, Stall };
  using Listener = std::function<void(Change, const RunRecord&)>;

  // Starts a record and returns its id.
  std::uint64_t begin(RunPage page, std::string far_end, std::string options_summary,
                      std::chrono::system_clock::time_point started = std::chrono::system_clock::now(),
                      std::vector<std::string> command = {}, RunFacts facts = {});
  // Adds a whole, already ended record (its id is the log's to give), and
  // returns that id; listeners hear Added, then Ended. Runs opened from
  // files give way first when the log is full: a run measured here can't
  // be measured again. So a full log of measured runs keeps none: it counts
  // `record` as left out and returns 0.
  std::uint64_t adopt(RunRecord record);
  // Counts `n` runs of a file that never reached the log (a reader keeps
  // only as many as the log could).
  void count_left_out(std::uint64_t n) { dropped_opened_ += n; }
  // Both do nothing for a run that is no longer kept.
  void add_interval(std::uint64_t id, IntervalRecord record);
  void end(std::uint64_t id, RunEnd how, std::string result_text = {}, std::string details_text = {},
           std::string error_text = {}, std::optional<SummaryDetails> summary = std::nullopt);

  // The run's latency so far, or at its end (listeners hear of it with the
  // run's next interval or its end). Does nothing for a run no longer kept.
  void update_latency(std::uint64_t id, const RunLatency& latency);

  // A stall of a running run's readings began, or what is known of it
  // changed: it takes the place of its last stall while that one is
  // ongoing. Listeners hear Stall. Does nothing for a run ended or no
  // longer kept.
  void note_stall(std::uint64_t id, const RunStall& stall);

  // Rewrites how an ended run ended, keeping its result text: for word of
  // its end that comes after it (a served client's early end reported after
  // its summary). Does nothing for a run still going or no longer kept.
  void amend_end(std::uint64_t id, RunEnd how, std::string details_text, std::string error_text);

  // Gives an ended run measured here its link check's mark, once the check
  // is over; listeners hear Ended again. Does nothing for any other run.
  void mark_link_check(std::uint64_t id, LinkCheckMark mark);

  const RunRecord* find(std::uint64_t id) const;
  // The record itself, shared, when it can no longer change (a run adopted
  // whole, from a file): other threads may read it as long as they hold it.
  // None for a run measured here, whose record may change after its end.
  std::shared_ptr<const RunRecord> unchanging(std::uint64_t id) const;
  const std::deque<std::shared_ptr<RunRecord>>& runs() const { return runs_; }
  // The runs let go for newer ones: all of them, those measured here, and
  // those opened from files (counting the ones never kept).
  std::uint64_t dropped_runs() const { return dropped_measured_ + dropped_opened_; }
  std::uint64_t dropped_measured() const { return dropped_measured_; }
  std::uint64_t dropped_opened() const { return dropped_opened_; }

  // Returns a token for remove_listener.
  std::uint64_t add_listener(Listener listener);
  void remove_listener(std::uint64_t token);

 private:
  RunRecord* find_mutable(std::uint64_t id);
  // Gives `record` the next id and keeps it as the newest run, making room
  // for it; 0 when an opened record finds no room.
  std::uint64_t keep(std::shared_ptr<RunRecord> record, bool opened);
  void notify(Change change, const RunRecord& record);

  std::deque<std::shared_ptr<RunRecord>> runs_;
  std::vector<std::uint64_t> adopted_;  // the ids of the kept runs adopted whole, in order
  std::uint64_t next_id_ = 1;
  std::uint64_t dropped_measured_ = 0, dropped_opened_ = 0;
  std::vector<std::pair<std::uint64_t, Listener>> listeners_;
  std::uint64_t next_token_ = 1;
};

// The runs a file holds, as a reader gathers them: only the newest that a
// window keeps (RunLog::kMaxRuns), so that a log of a quarter of a million
// tests costs what a hundred do; the older ones are only counted.
class NewestRuns {
 public:
  void push(RunRecord run);
  std::vector<RunRecord> take();  // oldest first
  std::uint64_t left_out() const { return left_out_; }

 private:
  std::vector<RunRecord> runs_;
  std::uint64_t left_out_ = 0;
};

}  // namespace trellan
