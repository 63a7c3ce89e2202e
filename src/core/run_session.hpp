// One run as its page follows it: fed the run's events, the user's Stop, the
// connect notice's seconds and the faults that end a run early, it answers
// after each what the page shows and what becomes of the run's record. Plain
// data, no GTK: the window applies the answers (ui/run_watch.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/events.hpp"
#include "core/latency_run.hpp"
#include "core/meter.hpp"
#include "core/run_record.hpp"

namespace trellan {

// What a status text is. Progress texts are dimmed; a result or a message
// the user must read is shown at full contrast, an error also in red.
enum class StatusKind { Progress, Plain, Error };

// A start button's label and the style class it trades for another.
struct Look {
  const char* label;
  const char* remove;
  const char* add;
};

inline constexpr Look kClientIdle{"Start test", "destructive-action", "suggested-action"};
inline constexpr Look kClientRunning{"Stop", "suggested-action", "destructive-action"};
inline constexpr Look kServerIdle{"Start server", "destructive-action", "suggested-action"};
inline constexpr Look kServerRunning{"Stop server", "suggested-action", "destructive-action"};

struct StatusLine {
  std::string text;
  StatusKind kind = StatusKind::Progress;
  bool operator==(const StatusLine&) const = default;
};

// The details line below the status: hidden while empty, dimmed unless it
// holds a run's figures.
struct DetailsLine {
  std::string text;
  bool figures = false;
  bool operator==(const DetailsLine&) const = default;
};

// What becomes of the record of the page's run in the run log. The Client
// page has one record per test; the Server page one per served client.
struct RecordStep {
  enum class Kind {
    Begin,    // a new record: `page`, `far_end`, `options_summary`, `command`
    Add,      // an interval for the open record: `interval`
    End,      // the open record ends: `how` and the three texts
    Amend,    // the last record that ended ends otherwise: `how`, details, error
    Latency,  // the open record's latency so far, or at its end: `latency`
    Stall,    // the open record's readings stopped, or their stall ended: `stall`
  };
  Kind kind = Kind::Add;
  RunPage page = RunPage::Client;
  std::string far_end;
  std::string options_summary;
  std::vector<std::string> command;
  RunFacts facts;
  // With Begin: when the run started, where that is known otherwise than
  // by the clock (a run read from a file); none means now.
  std::optional<std::chrono::system_clock::time_point> started;
  IntervalRecord interval;
  RunEnd how = RunEnd::Running;
  std::string result_text;
  std::string details_text;
  std::string error_text;
  std::optional<SummaryDetails> summary;  // with End: the figures behind its result
  // With End: the record's latency closes later, in a Latency step that is
  // `late`, once the probes still in flight were answered.
  bool latency_follows = false;
  RunLatency latency;
  bool late = false;  // with Latency: for the record that ended before it
  RunStall stall;
};

// A page's part in the window's run log: the record of what the page runs
// now (the client test, or the client being served), kept by the steps its
// sessions answer. Main thread only, like the log.
struct RunRecording {
  std::shared_ptr<RunLog> log;  // none: the page keeps no records
  std::uint64_t open_id = 0;    // 0: no record open
  std::uint64_t ended_id = 0;   // the last record that ended, for Amend
  std::uint64_t latency_id = 0; // a record that ended before its latency

  // A Begin while a record is open ends that one early first.
  void apply(const RecordStep& step);
};

// What the page does after one input. Empty fields leave things as they are.
struct PageAnswer {
  std::optional<StatusLine> status;
  std::optional<DetailsLine> details;
  const Look* look = nullptr;  // the start button's new look
  enum class Gauge { Keep, Set, Reset } gauge = Gauge::Keep;
  double gauge_mbps = 0;  // with Gauge::Set
  bool stop_run = false;       // the child is stopped and the page's slot emptied
  bool stop_notice = false;    // the connect notice's clock stops for good
  bool over = false;           // the session takes no more input
  std::vector<RecordStep> record;
  // Client page: the latency line's new text; whether the idle second is
  // over and iperf3 may start; whether ping is no longer needed.
  std::optional<std::string> latency_line;
  bool start_test = false;
  bool stop_ping = false;
  // The test ended with probes in flight: ping goes on (stop_run leaves it)
  // and the latency closes as their replies come, or after this many
  // seconds at most (settle_latency()).
  std::optional<double> settle_latency_s;
  // The reading clock (see RunSession::reading_tick): it counts again from
  // now, or stops for good.
  enum class ReadingClock { Keep, Restart, Stop } reading_clock = ReadingClock::Keep;
  // The gauge shows that nothing is being measured (true), or measures again.
  std::optional<bool> gauge_stalled;
};

// How a run is set up when its session starts.
struct RunSetup {
  bool is_server = false;
  std::string far_end;          // Client page: "127.0.0.1, port 5201"
  std::string options_summary;  // the client test's, or every served client's
  std::vector<std::string> command;  // the iperf3 command line, "iperf3" first
  RunFacts facts;                    // the client test's; a served client's where known
  std::uint16_t port = 5201;    // Server page: where it listens
  // Client page: where it connects, for the notice shown while no answer
  // comes. Without it there is no notice.
  std::optional<std::string> connect_server;
  std::uint16_t connect_port = 0;
  // Client page: the latency probes have an idle second of their own before
  // iperf3 starts (see launched()).
  bool idle_latency = false;
  double idle_seconds = LatencyRun::kIdleSeconds;  // how long that idle phase lasts
};

// What ends a run before its Exited event arrived.
enum class RunFault {
  EventNotApplied,  // applying one of its events failed
  EventsLost,       // its events stopped arriving
};

class RunSession {
 public:
  explicit RunSession(RunSetup setup);

  // The run starts: the page shows it running and the Client page's record
  // begins.
  PageAnswer start();
  // iperf3 starts, after the idle second of a run that measures latency.
  PageAnswer launched();
  // One event of the run, read at `at_s` (seconds on the monotonic clock
  // that ping's events are stamped on). `gauge` is the gauge as it stands
  // before the event: the peak it shows falls back over time, which only it
  // knows.
  PageAnswer on_event(const IperfEvent& event, const MeterState& gauge, double at_s = 0);

  // Latency (with `idle_latency`): ping started at `t`.
  PageAnswer ping_started(double t);
  // One event of ping's, read at `t`.
  PageAnswer on_ping(double t, const PingRunEvent& event);
  // The clock says `t`: the idle second may be over.
  PageAnswer idle_tick(double t);
  // The test ended and its latency waits for the replies to probes in
  // flight (see PageAnswer::settle_latency_s).
  bool latency_settling() const { return settling_; }
  // The wait is over: the latency closes, its probes still unanswered lost.
  PageAnswer settle_latency();
  // The user stopped the run.
  PageAnswer stop();
  // One more second without any event since the start, while the notice's
  // clock runs.
  PageAnswer notice_tick();
  // One more second since the last reading, while the reading clock runs:
  // it starts with the first reading and counts again from each. Past twice
  // the reporting interval (iperf3's -i), the status says that readings
  // stopped and counts on; the next event puts it back.
  PageAnswer reading_tick();
  // The run ended without its Exited event.
  PageAnswer fault(RunFault why);

  // True once the page was put back to idle.
  bool finished() const { return finished_; }
  // What the page shows now.
  const StatusLine& status() const { return status_; }
  const DetailsLine& details() const { return details_; }
  bool notice_running() const { return notice_running_; }
  bool reading_clock_running() const { return reading_clock_; }

 private:
  void set_status(PageAnswer& a, std::string text, StatusKind kind = StatusKind::Progress);
  void set_details(PageAnswer& a, std::string text, bool figures = false);
  void stop_notice(PageAnswer& a, bool clear_text);
  void end_run(PageAnswer& a);
  void finish(PageAnswer& a, const Exited& e);
  void end_record(PageAnswer& a, RunEnd how, std::string result = {}, std::string details = {},
                  std::string error = {});
  void end_served_client(PageAnswer& a);
  void end_run_record(PageAnswer& a);
  void write_client_line(PageAnswer& a);
  void end_idle(PageAnswer& a, double t);
  void latency_step(PageAnswer& a, std::size_t interval);
  bool end_latency(PageAnswer& a);
  void close_latency(PageAnswer& a);
  void watch_readings(PageAnswer& a, bool reading);
  void end_stall(PageAnswer& a, bool resumed, const IntervalRecord* reading, double at_s);

  RunSetup setup_;
  StatusLine status_;
  DetailsLine details_;
  bool record_open_ = false;
  bool finished_ = false;
  std::optional<std::string> last_error_;  // the run's first error
  // Client page: the status still shows "Connecting…" or the peak, no result.
  bool awaiting_result_;
  std::string peer_;         // Server page: the client the summary lines are about
  bool has_client_ = false;  // Server page: a client has connected
  std::optional<SummaryDetails> client_figures_;   // the served client's figures so far, or the test's
  std::optional<std::string> client_ended_early_;  // why it ended early, if it did
  // What the page showed of the test, or of the client being served.
  bool result_shown_ = false;   // the status shows its "Result — …" line
  bool details_shown_ = false;  // the details show its figures
  bool notice_running_ = false;
  bool notice_shown_ = false;
  unsigned waited_s_ = 0;
  // Client page: the ping beside the test, and the interval of each record
  // the test's record was given.
  std::optional<LatencyRun> latency_;
  bool load_started_ = false;  // the idle second is over
  bool settling_ = false;      // the test ended; replies to its probes may come
  std::vector<std::size_t> record_intervals_;
  // Readings that stopped: seconds since the last one, and what the status
  // said before it told so.
  double reporting_interval_s_ = 1.0;
  bool reading_clock_ = false;
  unsigned since_reading_s_ = 0;
  std::optional<StatusLine> before_stall_;
  // The record's stall: where the last reading ended on the test's clock,
  // and when it was read on the monotonic one (0: not known).
  double last_reading_end_s_ = 0;
  double last_reading_at_s_ = 0;
  std::optional<RunStall> stall_;
};

}  // namespace trellan
