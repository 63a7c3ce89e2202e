#include "core/run_words.hpp"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/meter.hpp"
#include "core/text.hpp"

namespace trellan {
namespace {

std::string join(const std::vector<std::string>& parts, const char* separator = " · ") {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

// "jitter 0.013 ms, lost 23439 of 646767 (3.6 %)", for one direction of two.
std::string short_loss_text(const UdpLoss& l) {
  return "jitter " + l.jitter_ms + " ms, lost " + std::to_string(l.lost) + " of " +
         std::to_string(l.total) + " (" + l.percent + " %)";
}

// The rates of a served client's summary lines, of the directions measured.
std::vector<std::string> served_rates(const SummaryDetails& d) {
  std::vector<std::string> parts;
  const std::optional<double> send = d.tx.sender_mbps;
  const std::optional<double> receive = d.bidirectional ? d.rx.receiver_mbps : d.tx.receiver_mbps;
  if (send) parts.push_back("send: " + rate_text(*send));
  if (receive) parts.push_back("receive: " + rate_text(*receive));
  return parts;
}

}  // namespace

std::string rate_text(double mbps) {
  auto [number, unit] = format_rate(mbps);
  return number + " " + unit;
}

// The local time zone, read again only when TZ changes. GLib's own
// g_time_zone_new_local reads and parses the zone file at every call when
// TZ is not set (its cache compares the zone's name with the unset
// variable), which made each run's name on the Runs page cost three system
// calls and a file's parse. Any thread (copies are worded off the main one).
GTimeZone* ref_local_zone() {
  static std::mutex lock;
  static GTimeZone* zone = nullptr;
  static std::optional<std::string> zone_tz;
  const char* tz = g_getenv("TZ");
  const std::lock_guard<std::mutex> hold(lock);
  if (!zone || zone_tz != (tz ? std::optional<std::string>(tz) : std::nullopt)) {
    if (zone) g_time_zone_unref(zone);
    zone = g_time_zone_new_local();
    zone_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
  }
  return g_time_zone_ref(zone);
}

std::string local_time(std::chrono::system_clock::time_point t, const char* layout) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  GDateTime* utc = g_date_time_new_from_unix_utc(us / 1000000);
  if (!utc) return "";
  GTimeZone* zone = ref_local_zone();
  GDateTime* local = g_date_time_to_timezone(utc, zone);
  g_time_zone_unref(zone);
  g_date_time_unref(utc);
  gchar* text = local ? g_date_time_format(local, layout) : nullptr;
  std::string out = text ? text : "";
  g_free(text);
  if (local) g_date_time_unref(local);
  return out;
}

// ---- the pages ----------------------------------------------------------------

std::string listening_text(std::uint16_t port) { return "Listening on port " + std::to_string(port) + "…"; }

std::string measuring_text(double peak_mbps) { return "Measuring… peak " + rate_text(peak_mbps); }

std::string sent_result_text(double sender_mbps) { return "Result — send: " + rate_text(sender_mbps); }

std::string result_text(const Summary& s) {
  return "Result — send: " + rate_text(s.sender_mbps) + " · receive: " + rate_text(s.receiver_mbps);
}

std::string client_connected_text(const std::string& peer) {
  return "Client connected: " + shown_name(peer) + " — measuring…";
}

std::string no_answer_text(const std::string& server, std::uint16_t port, unsigned seconds) {
  return "No answer yet from " + shown_name(server) + ", port " + std::to_string(port) + " (" + std::to_string(seconds) +
         " s)";
}

std::string no_reading_text(unsigned seconds) {
  return "No reading for " + std::to_string(seconds) + " s";
}

std::string killed_text(int signal, const std::optional<std::string>& first_error) {
  return first_error ? "iperf3 error: " + *first_error
                     : "iperf3 ended unexpectedly (signal " + std::to_string(signal) + ").";
}

std::string exit_code_text(std::int32_t code, const std::optional<std::string>& first_error) {
  return first_error ? "iperf3 error: " + *first_error : "iperf3 terminated (code " + std::to_string(code) + ").";
}

std::string quality_text(const SummaryDetails& d) {
  std::vector<std::string> parts;
  if (!d.bidirectional) {
    if (d.tx.retransmits) parts.push_back("Retransmits: " + std::to_string(*d.tx.retransmits));
    if (const auto& l = d.tx.loss)
      parts.push_back("Jitter " + l->jitter_ms + " ms · lost " + std::to_string(l->lost) + " of " +
                      std::to_string(l->total) + " datagrams (" + l->percent + " %)");
    return join(parts);
  }
  std::vector<std::string> retransmits;
  if (d.tx.retransmits) retransmits.push_back("send " + std::to_string(*d.tx.retransmits));
  if (d.rx.retransmits) retransmits.push_back("receive " + std::to_string(*d.rx.retransmits));
  if (!retransmits.empty()) parts.push_back("Retransmits: " + join(retransmits));
  if (d.tx.loss) parts.push_back("Send: " + short_loss_text(*d.tx.loss));
  if (d.rx.loss) parts.push_back("Receive: " + short_loss_text(*d.rx.loss));
  return join(parts);
}

std::string served_result_text(const SummaryDetails& d) {
  const std::vector<std::string> rates = served_rates(d);
  return rates.empty() ? "" : "Result — " + join(rates);
}

std::string last_client_text(const std::string& peer, const std::optional<SummaryDetails>& d,
                             const std::optional<std::string>& ended_early) {
  std::vector<std::string> parts;
  if (d) {
    parts = served_rates(*d);
    if (std::string quality = quality_text(*d); !quality.empty()) parts.push_back(std::move(quality));
  }
  if (ended_early) parts.push_back("ended early (" + *ended_early + ")");
  if (parts.empty()) return "Last client: " + peer;
  return "Last client: " + peer + " — " + join(parts);
}

// ---- the record ---------------------------------------------------------------

std::string options_summary(const ClientOptions& o) {
  std::vector<std::string> parts;
  parts.emplace_back(o.udp ? "UDP" : "TCP");
  if (o.parallel >= 2) parts.push_back(std::to_string(o.parallel) + " streams");
  if (o.bidir)
    parts.emplace_back("bidirectional");
  else if (o.reverse)
    parts.emplace_back("reverse");
  if (!o.bitrate.empty()) parts.push_back("target " + o.bitrate);
  parts.push_back(std::to_string(o.duration) + " s");
  if (o.omit != 0) parts.push_back("omit first " + std::to_string(o.omit) + " s");
  if (!o.buffer_length.empty()) parts.push_back("buffer length " + o.buffer_length);
  if (!o.window.empty()) parts.push_back("window " + o.window);
  if (o.ip_version == IpVersion::V4) parts.emplace_back("IPv4");
  if (o.ip_version == IpVersion::V6) parts.emplace_back("IPv6");
  return join(parts);
}

RunFacts run_facts(const ClientOptions& o) {
  RunFacts facts;
  facts.protocol = o.udp ? "UDP" : "TCP";
  facts.streams = o.parallel;
  if (o.duration > 0) facts.duration_s = o.duration;
  facts.buffer_length = o.buffer_length;
  facts.window = o.window;
  return facts;
}

std::string options_summary(const ServerOptions& o) {
  std::vector<std::string> parts;
  parts.push_back("port " + std::to_string(o.port));
  if (!o.bind.empty()) parts.push_back("on " + o.bind);
  if (o.one_off) parts.emplace_back("one-off");
  return join(parts);
}

std::string far_end_of(const ClientOptions& o) { return o.server + ", port " + std::to_string(o.port); }

std::string run_title(const RunRecord& run) {
  // A refused client's file may not say where it went.
  if (run.far_end.empty()) return run.page == RunPage::Client ? "Client" : "Server";
  return run.page == RunPage::Client ? "Client — " + run.far_end : "Server — client " + run.far_end;
}

std::string start_time_text(const RunRecord& run) { return local_time(run.started, "%Y-%m-%d %H:%M:%S %z"); }

std::string run_ending_text(const RunRecord& run) {
  switch (run.end) {
    case RunEnd::Running: return "Running…";
    case RunEnd::Result: return run.result_text;
    case RunEnd::Stopped: return stopped_text(run);
    case RunEnd::Error: return run.error_text.empty() ? "Failed" : run.error_text;
    case RunEnd::EndedEarly:
      return run.error_text.empty() ? "Ended early" : "Ended early: " + run.error_text;
  }
  return "";
}

std::string stopped_text(const RunRecord& run) {
  if (run.intervals.empty()) return "Stopped";
  double reached = 0;
  double seconds[2] = {0, 0}, megabits[2] = {0, 0};  // send, receive
  for (const IntervalRecord& r : run.intervals) {
    reached = std::max(reached, r.end);
    const double length = r.end - r.start;
    if (r.omitted || length <= 0) continue;
    const int d = r.direction == Direction::Send ? 0 : 1;
    seconds[d] += length;
    megabits[d] += r.mbps * length;
  }
  char after[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(after, sizeof after, "%.1f", reached);
  std::vector<std::string> means;
  if (seconds[0] > 0) means.push_back("send: " + rate_text(megabits[0] / seconds[0]) + " mean");
  if (seconds[1] > 0) means.push_back("receive: " + rate_text(megabits[1] / seconds[1]) + " mean");
  std::string text = std::string("Stopped after ") + after + " s";
  return means.empty() ? text : text + " — " + join(means);
}

namespace {

std::string seconds_text(double s) {
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(text, sizeof text, "%.1f", s);
  return std::string(text) + " s";
}

// A test ends within a moment of its set length; a stopped process makes
// up the time it lost once it runs again, and ends long after.
bool ended_late(const RunRecord& run, double reached) {
  if (!run.facts.duration_s || *run.facts.duration_s <= 0 || run.end == RunEnd::Running) return false;
  const double set = *run.facts.duration_s;
  return reached - set > std::max(1.0, set / 10);
}

}  // namespace

std::optional<double> reached_s(const RunRecord& run) {
  std::optional<double> reached;
  for (const IntervalRecord& r : run.intervals)
    if (!r.omitted) reached = std::max(reached.value_or(r.end), r.end);
  return reached;
}

std::string stall_text(const RunRecord& run) {
  std::vector<std::string> stalls;
  for (const RunStall& s : run.stalls) {
    switch (s.end) {
      case RunStall::End::Resumed:
        stalls.push_back("from " + seconds_text(s.from_s) + " to " + seconds_text(s.to_s) + ", then resumed");
        break;
      case RunStall::End::RunEnded:
        stalls.push_back("at " + seconds_text(s.from_s) + ", until the run ended at " + seconds_text(s.to_s));
        break;
      case RunStall::End::Ongoing: stalls.push_back("at " + seconds_text(s.from_s) + ", none since"); break;
    }
  }
  std::string out;
  if (stalls.size() == 1) {
    out = "Readings stopped " + stalls.front();
  } else if (!stalls.empty()) {
    out = "Readings stopped " + std::to_string(stalls.size()) + " times: ";
    for (std::size_t i = 0; i < stalls.size(); ++i) out += (i ? "; " : "") + stalls[i];
  }
  if (const auto reached = reached_s(run); reached && ended_late(run, *reached)) {
    if (!out.empty()) out += ". ";
    const double set = *run.facts.duration_s;
    out += "It ended at " + seconds_text(*reached) + " of a " +
           (set == std::floor(set) ? std::to_string(static_cast<long long>(set)) + " s" : seconds_text(set)) +
           " test";
  }
  return out;
}

std::string run_row_name(const RunRecord& run) {
  return run_title(run) + ", " + local_time(run.started, "%H:%M:%S") + ", " + run_ending_text(run);
}

std::vector<std::string> report_ending_lines(const RunRecord& run) {
  std::vector<std::string> lines;
  switch (run.end) {
    case RunEnd::Running: lines.emplace_back("Still running."); break;
    case RunEnd::Result:
      if (!run.result_text.empty()) lines.push_back(run.result_text);
      if (!run.details_text.empty()) lines.push_back(run.details_text);
      break;
    case RunEnd::Stopped: lines.push_back(stopped_text(run) + "."); break;
    case RunEnd::Error: lines.push_back("Error: " + run.error_text); break;
    case RunEnd::EndedEarly:
      lines.push_back("The client ended early" + (run.error_text.empty() ? "." : ": " + run.error_text));
      if (!run.details_text.empty()) lines.push_back(run.details_text);
      break;
  }
  return lines;
}

std::string interval_cell(const IntervalRecord& r, int column) {
  static const std::string none = "—";
  switch (column) {
    case 0: return r.start_text + "–" + r.end_text + " s" + (r.omitted ? " (warm-up)" : "");
    case 1: return r.direction == Direction::Send ? "Send" : "Receive";
    case 2: return rate_text(r.mbps);
    case 3: return r.transfer;
    case 4: return r.retransmits ? std::to_string(*r.retransmits) : none;
    case 5: return r.jitter_ms ? *r.jitter_ms + " ms" : none;
    case 6:
      if (!r.lost) return none;
      return std::to_string(*r.lost) + " of " + (r.total ? std::to_string(*r.total) : none);
  }
  return "";
}

std::string interval_row_name(const IntervalRecord& r) {
  std::string out = interval_cell(r, 0) + ", " + interval_cell(r, 1) + ", " + interval_cell(r, 2) + ", " +
                    interval_cell(r, 3);
  if (r.retransmits) out += ", retransmits " + interval_cell(r, 4);
  if (r.jitter_ms) out += ", jitter " + interval_cell(r, 5);
  if (r.lost) out += ", loss " + interval_cell(r, 6);
  return out;
}

std::string dropped_runs_text(std::uint64_t measured, std::uint64_t opened) {
  const std::string cap = std::to_string(RunLog::kMaxRuns);
  const auto runs = [](std::uint64_t n) { return std::to_string(n) + (n == 1 ? " run" : " runs"); };
  if (opened == 0) {
    if (measured == 0) return "";
    return std::to_string(measured) + (measured == 1 ? " older run was removed" : " older runs were removed") +
           ": the window keeps the last " + cap + ".";
  }
  const std::string files = runs(opened) + " from files";
  if (measured == 0)
    return files + (opened == 1 ? " was" : " were") + " left out: the window keeps " + cap +
           " runs, and those measured here stay.";
  return "Older runs were removed, " + std::to_string(measured) + " measured here and " + files +
         ": the window keeps the last " + cap + ".";
}

std::string interval_times_fault(double start, double end) {
  if (!(start >= 0) || !(end >= 0)) return "has a negative time";
  if (start > kLongestTestSeconds || end > kLongestTestSeconds) return "ends after more than three years";
  if (end < start) return "ends before it starts";
  return "";
}

std::string could_not_open_text(const std::string& name, const std::string& reason) {
  return "Could not open “" + name + "”: " + reason;
}

std::string opening_text(const std::string& name, bool adding, std::size_t waiting) {
  std::string out = (adding ? "Adding the runs of “" : "Opening “") + name + "”…";
  if (waiting > 0)
    out += " (" + std::to_string(waiting) + (waiting == 1 ? " more file waiting)" : " more files waiting)");
  return out;
}

std::string open_cancelled_text(const std::string& adding_name, std::size_t runs_not_added,
                                const std::vector<std::string>& files_not_opened) {
  std::vector<std::string> parts;
  if (runs_not_added > 0)
    parts.push_back(std::to_string(runs_not_added) + (runs_not_added == 1 ? " run of “" : " runs of “") +
                    adding_name + (runs_not_added == 1 ? "” was not added" : "” were not added"));
  if (!files_not_opened.empty()) {
    std::string files = "“" + files_not_opened.front() + "”";
    const std::size_t more = files_not_opened.size() - 1;
    if (more == 1) files += " and “" + files_not_opened[1] + "” were";
    else if (more > 1) files += " and " + std::to_string(more) + " more files were";
    else files += " was";
    parts.push_back(files + " not opened");
  }
  if (parts.empty()) return "";
  std::string out = "Cancelled: " + parts.front();
  if (parts.size() > 1) out += "; " + parts[1];
  return out + ".";
}

std::optional<FailureNotice> failure_notice(const RunRecord& run) {
  if (!run.intervals.empty()) return std::nullopt;
  const bool client = run.page == RunPage::Client;
  switch (run.end) {
    case RunEnd::Running: return std::nullopt;  // its first reading is still to come
    case RunEnd::Error:
      return FailureNotice{client ? "The test failed" : "Serving the client failed",
                           run.error_text.empty() ? "iperf3 gave no reason." : run.error_text};
    case RunEnd::Stopped:
      return FailureNotice{"Stopped before the first reading",
                           client ? "The test was stopped before iperf3 measured an interval."
                                  : "Serving was stopped before iperf3 measured an interval.",
                           false};
    case RunEnd::EndedEarly:
      return FailureNotice{"Ended before the first reading",
                           run.error_text.empty() ? "iperf3 ended before it measured an interval." : run.error_text};
    case RunEnd::Result:
      return FailureNotice{"No readings", "iperf3 gave its result without measuring intervals.", false};
  }
  return std::nullopt;
}

std::string csv_file_name(const RunRecord& run) {
  return "trellan-" + local_time(run.started, "%Y%m%d-%H%M%S") + ".csv";
}

// ---- texts of any length on screen -------------------------------------------

namespace {

// GTK measures a label that wraps at any character in time that grows
// with the square of its longest paragraph (300 characters without a
// break take 20 to 70 ms here, 1,000 characters ten times that): what a
// page shows is kept to sizes that take a frame or a few. A DNS name has
// up to 253 characters, ", port 65535" 12 more.
constexpr std::size_t kNameChars = 300;
constexpr std::size_t kLineChars = 300;
constexpr std::size_t kLines = 40;

// The length in bytes of the line break at `s`'s start, or 0: "\n", "\r",
// "\r\n", U+2028 or U+2029, all of which Pango breaks lines at.
std::size_t line_break_length(std::string_view s) {
  if (s.empty()) return 0;
  if (s[0] == '\n') return 1;
  if (s[0] == '\r') return s.size() > 1 && s[1] == '\n' ? 2 : 1;
  return s.starts_with("\xE2\x80\xA8") || s.starts_with("\xE2\x80\xA9") ? 3 : 0;
}

}  // namespace

std::string shown_name(std::string_view name) {
  // The cut keeps at most kNameChars characters of 4 bytes at either end:
  // the rest is never looked at.
  const std::size_t span = 4 * kNameChars;
  std::string line;
  for (std::string_view part : {name.substr(0, 2 * span), name.size() > 2 * span
                                                               ? name.substr(std::max(2 * span, name.size() - span))
                                                               : std::string_view()}) {
    for (std::size_t i = 0; i < part.size(); ++i) {
      const auto c = static_cast<unsigned char>(part[i]);
      if (const std::size_t n = line_break_length(part.substr(i)); n > 0) {
        line += ' ';
        i += n - 1;
      } else {
        line += c < 0x20 || c == 0x7f ? ' ' : part[i];
      }
    }
  }
  return cut_middle(line, kNameChars);
}

std::string shown_run_title(const RunRecord& run) {
  if (run.far_end.empty()) return run_title(run);
  const std::string far_end = shown_name(run.far_end);
  return run.page == RunPage::Client ? "Client — " + far_end : "Server — client " + far_end;
}

std::string shown_text(std::string_view text) {
  std::vector<std::string> lines(1);
  bool dropped = false;  // lines in the middle, left out
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t n = line_break_length(text.substr(i));
    if (n == 0) {
      // A long line keeps, as it grows, only what its cut will show.
      std::string& line = lines.back();
      line += text[i];
      if (line.size() > 16 * kLineChars) line = cut_middle(line, kLineChars);
      continue;
    }
    i += n - 1;
    if (lines.size() >= 4 * kLines) {
      lines.erase(lines.begin() + kLines / 2, lines.end() - kLines / 2);
      dropped = true;
    }
    lines.emplace_back();
  }
  if (dropped || lines.size() > kLines) {
    lines.erase(lines.begin() + kLines / 2, lines.end() - (kLines - 1) / 2);
    lines.insert(lines.begin() + kLines / 2, "…");
  }
  std::string out;
  for (std::size_t k = 0; k < lines.size(); ++k) out += (k ? "\n" : "") + cut_middle(lines[k], kLineChars);
  return out;
}

}  // namespace trellan
