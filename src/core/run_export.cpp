#include "core/run_export.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <vector>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {
namespace {

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : " · ") + part;
  return out;
}

const char* direction_text(Direction d) { return d == Direction::Send ? "send" : "receive"; }

// "%.3f" of `value`, with a full stop whatever the locale.
std::string fixed3(double value) { return fixed_text(value, 3); }

// A CSV field: quoted only when it has to be.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

template <typename T>
std::string or_empty(const std::optional<T>& v) {
  if (!v) return {};
  if constexpr (std::is_same_v<T, std::string>)
    return *v;
  else
    return std::to_string(*v);
}

// Characters, not bytes, for aligning UTF-8 text.
std::size_t width(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

std::string intervals_csv(const RunRecord& run) {
  std::string out =
      "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
      "latency_rtt_median_ms,probes_lost\n";
  const auto latency = latency_of_records(run);
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const IntervalRecord& r = run.intervals[i];
    const auto& l = latency[i];
    out += csv_field(r.start_text) + ',' + csv_field(r.end_text) + ',' + direction_text(r.direction) + ',' +
           fixed3(r.mbps) + ',' + csv_field(r.transfer) + ',' + or_empty(r.retransmits) + ',' +
           csv_field(or_empty(r.jitter_ms)) + ',' + or_empty(r.lost) + ',' + or_empty(r.total) + ',' +
           (r.omitted ? "yes" : "no") + ',' +
           // Written as the report, the comparison and the page write it.
           (l && l->median_ms ? ms_text(*l->median_ms) : "") + ',' +
           (l ? std::to_string(l->lost) : "") + '\n';
  }
  return out;
}

std::string command_line_text(const std::vector<std::string>& command) {
  static constexpr std::string_view kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@%+=:,./_-";
  std::string out;
  for (const std::string& arg : command) {
    if (!out.empty()) out += ' ';
    if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) {
      out += arg;
      continue;
    }
    out += '\'';
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    out += '\'';
  }
  return out;
}

std::string options_in_words(const std::vector<std::string>& command) {
  const bool server = std::find(command.begin(), command.end(), "-s") != command.end();
  const bool udp = std::find(command.begin(), command.end(), "-u") != command.end();
  std::vector<std::string> parts;
  parts.emplace_back(server ? "server" : udp ? "UDP" : "TCP");
  for (std::size_t i = 1; i < command.size(); ++i) {
    const std::string& a = command[i];
    const bool has_value = i + 1 < command.size();
    const std::string value = has_value ? command[i + 1] : std::string();
    auto with_value = [&](std::string words) {
      if (!has_value) return parts.push_back(a);
      parts.push_back(std::move(words));
      ++i;
    };
    if (a == "-c") with_value({});  // the title names the server
    else if (a == "-p") with_value(server ? "port " + value : std::string());
    else if (a == "-t") with_value(value + " s");
    else if (a == "-i") with_value("a reading every " + value + " s");
    else if (a == "-P") with_value(value + " streams");
    else if (a == "-b") with_value(value == "0" ? "no bitrate limit" : "target bitrate " + value);
    else if (a == "-O") with_value("first " + value + " s left out as warm-up");
    else if (a == "-B") with_value("bound to " + value);
    else if (a == "-w") with_value("window " + value);
    else if (a == "-l") with_value("buffer length " + value);
    else if (a == "-M") with_value("MSS " + value);
    else if (a == "-C") with_value("congestion control " + value);
    else if (a == "--bidir") parts.emplace_back("bidirectional");
    else if (a == "-R") parts.emplace_back("reverse (the server sends)");
    else if (a == "-4") parts.emplace_back("IPv4 only");
    else if (a == "-6") parts.emplace_back("IPv6 only");
    else if (a == "-N") parts.emplace_back("no delay");
    else if (a == "-Z") parts.emplace_back("zero-copy");
    else if (a == "-1") parts.emplace_back("one client, then exit");
    else if (a == "-s" || a == "-u" || a == "--forceflush") continue;  // said above, or how output flows
    else parts.push_back(a);
  }
  std::erase(parts, std::string());
  return join(parts);
}

std::string iperf_version_text(std::string_view line) {
  if (line.starts_with("iperf ")) line.remove_prefix(6);
  return std::string(line.substr(0, line.find(' ')));
}

std::string run_report(const RunRecord& run, const std::string& iperf_version) {
  std::string out = run_title(run) + "\n";
  out += "Started: " + start_time_text(run) + "\n";
  if (!run.facts.title.empty()) out += "Title: " + run.facts.title + "\n";
  if (!run.command.empty()) out += "Command: " + command_line_text(run.command) + "\n";
  out += "iperf3 version: " + iperf_version_text(iperf_version) + "\n";
  const std::string options = run.command.empty() ? run.options_summary : options_in_words(run.command);
  if (!options.empty()) out += "Options: " + options + "\n";
  for (const auto& line : report_ending_lines(run)) out += line + "\n";
  if (const std::string stalls = stall_text(run); !stalls.empty()) out += stalls + ".\n";
  if (!run.latency_text.empty()) out += run.latency_text + "\n";
  if (run.latency) out += latency_spread_text(*run.latency) + "\n";
  out += "\n";
  if (run.intervals.empty()) return out + "No intervals.\n";
  if (run.dropped_intervals != 0)
    out += "The first " + std::to_string(run.dropped_intervals) + " intervals are no longer kept.\n";

  // Columns that no record fills are left out.
  const auto latencies = latency_of_records(run);
  bool retr = false, jitter = false, lost = false, total = false, omitted = false, latency = false;
  for (const auto& r : run.intervals) {
    retr |= r.retransmits.has_value();
    jitter |= r.jitter_ms.has_value();
    lost |= r.lost.has_value();
    total |= r.total.has_value();
    omitted |= r.omitted;
  }
  for (const auto& l : latencies) latency |= l.has_value();
  struct Column {
    std::string title;
    bool right;  // numbers align right
    std::vector<std::string> cells;
  };
  std::vector<Column> columns = {{"Interval", false, {}}, {"Direction", false, {}},
                                 {"Bitrate", true, {}},   {"Transfer", true, {}}};
  if (retr) columns.push_back({"Retransmits", true, {}});
  if (jitter) columns.push_back({"Jitter", true, {}});
  if (lost) columns.push_back({"Lost", true, {}});
  if (total) columns.push_back({"Datagrams", true, {}});
  if (latency) {
    columns.push_back({"RTT median", true, {}});
    columns.push_back({"Lost probes", true, {}});
  }
  if (omitted) columns.push_back({"", false, {}});
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const IntervalRecord& r = run.intervals[i];
    const auto& l = latencies[i];
    std::size_t c = 0;
    columns[c++].cells.push_back(r.start_text + "-" + r.end_text + " s");
    columns[c++].cells.emplace_back(direction_text(r.direction));
    columns[c++].cells.push_back(r.bitrate.empty() ? rate_text(r.mbps) : r.bitrate);
    columns[c++].cells.push_back(r.transfer);
    if (retr) columns[c++].cells.push_back(or_empty(r.retransmits));
    if (jitter) columns[c++].cells.push_back(r.jitter_ms ? *r.jitter_ms + " ms" : "");
    if (lost) columns[c++].cells.push_back(or_empty(r.lost));
    if (total) columns[c++].cells.push_back(or_empty(r.total));
    if (latency) {
      columns[c++].cells.push_back(l && l->median_ms ? ms_text(*l->median_ms) + " ms" : "");
      columns[c++].cells.push_back(l ? std::to_string(l->lost) : "");
    }
    if (omitted) columns[c++].cells.emplace_back(r.omitted ? "(omitted)" : "");
  }

  std::vector<std::size_t> widths;
  for (const auto& col : columns) {
    std::size_t w = width(col.title);
    for (const auto& cell : col.cells) w = std::max(w, width(cell));
    widths.push_back(w);
  }
  const auto row = [&](auto cell_of) {
    std::string line;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::string cell = cell_of(c);
      const std::string pad(widths[c] - width(cell), ' ');
      if (c) line += "  ";
      line += columns[c].right ? pad + cell : cell + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
  };
  out += row([&](std::size_t c) { return columns[c].title; });
  for (std::size_t i = 0; i < run.intervals.size(); ++i)
    out += row([&](std::size_t c) { return columns[c].cells[i]; });
  return out;
}

}  // namespace trellan
