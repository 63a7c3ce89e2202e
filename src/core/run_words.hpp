// A run's words: every text a page, the Runs page and the exports say of a
// run, from the status line to the CSV file's name. No GTK; numbers are
// written the same in every locale.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/events.hpp"
#include "core/link_check.hpp"
#include "core/options.hpp"
#include "core/run_record.hpp"

namespace trellan {

// ---- rates and times ---------------------------------------------------------

// A rate as one text, number and unit joined by a space: "9.41 Gbit/s". Every
// place that shows a rate shows it this way.
std::string rate_text(double mbps);

// The local time of `t` in a g_date_time_format layout ("%H:%M:%S").
std::string local_time(std::chrono::system_clock::time_point t, const char* layout);

// ---- what the Client and Server pages say ------------------------------------

namespace words {
inline constexpr const char* kReady = "Ready.";
inline constexpr const char* kServerStopped = "Stopped.";
inline constexpr const char* kTestStopped = "Test stopped.";
inline constexpr const char* kNoServer = "Specify a server (host or IP).";
inline constexpr const char* kConnecting = "Connecting…";
inline constexpr const char* kWaitingForClients = "Waiting for client connections…";
inline constexpr const char* kNoResult = "iperf3 ended without a result.";
inline constexpr const char* kExitUnknown = "iperf3 ended; its exit status could not be read.";
// How a run that never delivered its Exited event is shown to have ended.
inline constexpr const char* kDeliveryFailed = "The run was stopped: one of its events could not be shown.";
inline constexpr const char* kEventsLost = "The run was stopped: its events stopped arriving.";
}  // namespace words

// "Listening on port 5201…"
std::string listening_text(std::uint16_t port);
// "Measuring… peak 942.0 Mbit/s"
std::string measuring_text(double peak_mbps);
// "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s"
std::string result_text(const Summary& summary);
// A client's result when only its sending side's figure came (a client
// stopped with Ctrl-C never hears the server's): "Result — send: 17.33 Gbit/s".
std::string sent_result_text(double sender_mbps);
// "Client connected: 127.0.0.1 — measuring…"
std::string client_connected_text(const std::string& peer);
// "No answer yet from example.net, port 5201 (5 s)"
std::string no_answer_text(const std::string& server, std::uint16_t port, unsigned seconds);
// A running test whose readings stopped, seconds since its last reading:
// "No reading for 6 s"
std::string no_reading_text(unsigned seconds);
// What the gauge says to assistive technology while readings have stopped.
inline constexpr const char* kNoReadingValue = "No reading";
// How a run that iperf3 ended badly ended: its first error if it said one,
// else the signal or the exit code.
std::string killed_text(int signal, const std::optional<std::string>& first_error);
std::string exit_code_text(std::int32_t code, const std::optional<std::string>& first_error);

// What the summary lines say beyond the rates; empty when they say nothing
// more. Numbers appear exactly as iperf3 printed them.
std::string quality_text(const SummaryDetails& d);

// A served client's result from its own summary lines: the rates of the
// directions the server measured, "Result — send: 9.98 Gbit/s · receive:
// 11.70 Gbit/s"; empty when it measured none.
std::string served_result_text(const SummaryDetails& d);

// The Server page's line about its last client: the figures of its summary
// lines, if any came, and why it ended early, if it did.
std::string last_client_text(const std::string& peer, const std::optional<SummaryDetails>& d,
                             const std::optional<std::string>& ended_early = std::nullopt);

// ---- what a run's record says -------------------------------------------------

// "TCP · 4 streams · reverse · 10 s", in the form's own terms.
std::string options_summary(const ClientOptions& options);
// A served client's record: the Server page's options, "port 5201 · one-off".
std::string options_summary(const ServerOptions& options);
// What the client test asked for is what its record says it was; an
// unbounded test (-t 0) has no set length.
RunFacts run_facts(const ClientOptions& options);

// Where a client test goes: "127.0.0.1, port 5201".
std::string far_end_of(const ClientOptions& options);

// What and where, as one line: "Client — 127.0.0.1, port 5201",
// "Server — client 192.0.2.7".
std::string run_title(const RunRecord& run);

// The run's start in local time: "2026-12-07 16:40:12 +0100".
std::string start_time_text(const RunRecord& run);

// How a run ended, in the words of its row: "Running…", the result text,
// the stopped text below, the error, "Ended early: " and iperf3's reason.
std::string run_ending_text(const RunRecord& run);
// A run stopped by the user, with what its readings measured: how far it
// got and each direction's mean rate over its readings (warm-up left out,
// each reading weighing as long as it lasted), "Stopped after 4.2 s — send:
// 95.30 Mbit/s mean"; "Stopped" without readings.
std::string stopped_text(const RunRecord& run);
// What became of the run's readings beyond its end, in seconds of the
// test's clock: each time they stopped ("Readings stopped from 3.0 s to
// 63.0 s, then resumed"; "… at 3.0 s, until the run ended at 13.0 s"; "… at
// 3.0 s, none since" while it lasts), and an end long past the test's set
// length ("It ended at 63.0 s of a 30 s test"). Empty when neither.
std::string stall_text(const RunRecord& run);
// Where the test's clock reached: the end of its last reading that counts
// (warm-up left out); none without one.
std::optional<double> reached_s(const RunRecord& run);
// What a screen reader says of a run's row: which run it is and how it
// ended, "Client — 127.0.0.1, port 5201, 14:02:09, Stopped".
std::string run_row_name(const RunRecord& run);

// How the run ended, as the lines of its text report: the result and
// details texts as the page showed them, or what ended it instead.
std::vector<std::string> report_ending_lines(const RunRecord& run);

// One cell of the interval table: 0 interval, 1 direction, 2 bitrate,
// 3 transfer, 4 retransmits, 5 jitter, 6 loss.
std::string interval_cell(const IntervalRecord& interval, int column);
// What a screen reader says of a table row: its filled cells, the optional
// ones with their column's name, "1.00–2.00 s, Receive, 1.1 Mbit/s,
// 128 KBytes, jitter 0.013 ms, loss 3 of 91".
std::string interval_row_name(const IntervalRecord& interval);

// The file name proposed for a run's CSV: "trellan-YYYYMMDD-HHMMSS.csv",
// from its local start time.
std::string csv_file_name(const RunRecord& run);

// What the Runs page says once the window has let runs go, `measured` of
// them measured here and `opened` opened from files (or never kept):
// "3 older runs were removed: the window keeps the last 100."; empty for none.
std::string dropped_runs_text(std::uint64_t measured, std::uint64_t opened);

// ---- opening files -----------------------------------------------------------

// What cannot be right about an interval's times, in seconds from the
// test's start, as a file's reason goes on after "interval 3 ": "ends
// before it starts", "ends after more than three years"; empty when they
// can be right (an interval of no time can: iperf3 3.18 ends a run that was
// stopped past its length with one).
std::string interval_times_fault(double start, double end);
// The longest a test's clock can run in a file that is believed: over three
// years, past any test iperf3 would run.
inline constexpr double kLongestTestSeconds = 1e8;

// "Could not open “x.json”: The file is empty".
std::string could_not_open_text(const std::string& name, const std::string& reason);
// The progress of an open: "Opening “x.json”…", then "Adding the runs of
// “x.json”…", each with "(2 more files waiting)" when others wait.
std::string opening_text(const std::string& name, bool adding, std::size_t waiting);
// What a cancelled open left undone: the runs of the file being added that
// were not, and the files not read ("Cancelled: “a.json” and 2 more files
// were not opened."). Empty when nothing was left.
std::string open_cancelled_text(const std::string& adding_name, std::size_t runs_not_added,
                                const std::vector<std::string>& files_not_opened);

// What stands where the chart and the table would be for a run that ended
// without an interval: a title and what happened (for a failed run, its
// error). Nothing for a run with readings or one still waiting for them.
struct FailureNotice {
  std::string title, description;
  bool error = true;  // a fault, rather than a run stopped or one without intervals
};
std::optional<FailureNotice> failure_notice(const RunRecord& run);

// ---- texts of any length on screen -------------------------------------------

// A name as a page shows it: a host, a far end, a file's name. On one line
// (control characters and line separators as spaces) and, longer than any
// DNS name with its port, cut in its middle: "dev-…example.net, port 5201".
// Whatever is shown this way is kept whole in the record and its copies.
std::string shown_name(std::string_view name);
// The run's title with its far end as shown_name shows it.
std::string shown_run_title(const RunRecord& run);
// A text of a run (its result, an error, its options) as a page shows it:
// every line break as "\n", each line cut in its middle past a few hundred
// characters, and the lines beyond a few dozen left out in the middle, with
// a line "…" in their place.
std::string shown_text(std::string_view text);


// ---- a link check (core/link_check_words.cpp) ----------------------------------

// The phase as the page names it: "idle latency", "download", "upload",
// "both ways"; and as a CSV row names it: "idle", "download", "upload", "both".
const char* link_phase_name(LinkPhase phase);
const char* link_phase_csv_name(LinkPhase phase);
// "Link check: measuring idle latency, 4 s left"; "Link check: uploading
// (phase 2 of 3), 7 s left".
std::string link_progress_text(LinkPhase phase, unsigned seconds_left);
// "The server is busy; trying again in 2 s (2 of 5)".
std::string link_busy_text(unsigned retry, unsigned max_retries, unsigned wait_s);
// "Link check — download 94.1 Mbit/s, upload 18.9 Mbit/s; bufferbloat grade
// B", or with "no grade: {reason}" in place of the grade.
std::string link_result_text(double download_mbps, double upload_mbps, const std::string& grade_or_no_grade);
std::string link_failed_text(const std::string& reason);
// The finished phase it stopped after; while none has: "during {phase}".
std::string link_stopped_text(std::optional<LinkPhase> last_finished, LinkPhase running);
// "Latency: 0.050 ms idle; +21 ms downloading, no increase uploading, +35 ms
// both ways; 3 of 290 probes lost", of the phases given.
struct LinkLatencyPart {
  LinkPhase phase;
  std::string added;  // "+21 ms", "no increase", or why it was not measured
};
std::string link_latency_text(double idle_ms, const std::vector<LinkLatencyPart>& parts, std::uint64_t lost,
                              std::uint64_t sent);
// "Grade C: calls and games will stutter while the link is busy (from ICMP
// ping probes)."
std::string link_grade_text(const char* grade, const char* meaning);
inline constexpr const char* kLinkCheckNote =
    "A link check always uses TCP in both directions: the Download mode, Bidirectional and UDP switches "
    "do not apply.";
inline constexpr const char* kLinkCsvHeader =
    "phase,started,download_mbit_s,upload_mbit_s,retransmits,latency_idle_ms,latency_loaded_ms,added_ms,"
    "probes_sent,probes_lost";

}  // namespace trellan
