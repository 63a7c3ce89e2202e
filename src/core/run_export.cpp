#include "core/run_export.hpp"

#include <array>
#include <charconv>
#include <ctime>
#include <vector>

#include "core/latency_text.hpp"
#include "core/result_text.hpp"

namespace trellan {
namespace {

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : " · ") + part;
  return out;
}

const char* direction_text(Direction d) { return d == Direction::Send ? "send" : "receive"; }

// "%.3f" of `value`, with a full stop whatever the locale.
std::string fixed3(double value) {
  std::array<char, 64> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 3);
  return r.ec == std::errc() ? std::string(buf.data(), r.ptr) : std::string("nan");
}

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

// How the run ended, in words, for the report.
std::vector<std::string> ending_lines(const RunRecord& run) {
  std::vector<std::string> lines;
  switch (run.end) {
    case RunEnd::Running: lines.emplace_back("Still running."); break;
    case RunEnd::Result:
      if (!run.result_text.empty()) lines.push_back(run.result_text);
      if (!run.details_text.empty()) lines.push_back(run.details_text);
      break;
    case RunEnd::Stopped: lines.emplace_back("Stopped."); break;
    case RunEnd::Error: lines.push_back("Error: " + run.error_text); break;
    case RunEnd::EndedEarly:
      lines.push_back("The client ended early" + (run.error_text.empty() ? "." : ": " + run.error_text));
      if (!run.details_text.empty()) lines.push_back(run.details_text);
      break;
  }
  return lines;
}

}  // namespace

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
  if (o.ip_version == IpVersion::V4) parts.emplace_back("IPv4");
  if (o.ip_version == IpVersion::V6) parts.emplace_back("IPv6");
  return join(parts);
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
  return run.page == RunPage::Client ? "Client — " + run.far_end : "Server — client " + run.far_end;
}

std::string start_time_text(const RunRecord& run) {
  const std::time_t t = std::chrono::system_clock::to_time_t(run.started);
  std::tm local{};
  if (!localtime_r(&t, &local)) return {};
  // Numbers only: the same in every locale.
  std::array<char, 64> buf;
  const std::size_t n = std::strftime(buf.data(), buf.size(), "%Y-%m-%d %H:%M:%S %z", &local);
  return std::string(buf.data(), n);
}

std::string intervals_csv(const RunRecord& run) {
  std::string out =
      "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
      "latency_ms,probes_lost\n";
  const auto latency = latency_of_records(run);
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const IntervalRecord& r = run.intervals[i];
    const auto& l = latency[i];
    out += csv_field(r.start) + ',' + csv_field(r.end) + ',' + direction_text(r.direction) + ',' +
           fixed3(r.mbps) + ',' + csv_field(r.transfer) + ',' + or_empty(r.retransmits) + ',' +
           csv_field(or_empty(r.jitter_ms)) + ',' + or_empty(r.lost) + ',' + or_empty(r.total) + ',' +
           (r.omitted ? "yes" : "no") + ',' + (l && l->median_ms ? fixed3(*l->median_ms) : "") + ',' +
           (l ? std::to_string(l->lost) : "") + '\n';
  }
  return out;
}

std::string run_report(const RunRecord& run) {
  std::string out = run_title(run) + "\n";
  out += "Started: " + start_time_text(run) + "\n";
  if (!run.options_summary.empty()) out += "Options: " + run.options_summary + "\n";
  for (const auto& line : ending_lines(run)) out += line + "\n";
  if (!run.latency_text.empty()) out += run.latency_text + "\n";
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
    columns.push_back({"Latency", true, {}});
    columns.push_back({"Lost probes", true, {}});
  }
  if (omitted) columns.push_back({"", false, {}});
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const IntervalRecord& r = run.intervals[i];
    const auto& l = latencies[i];
    std::size_t c = 0;
    columns[c++].cells.push_back(r.start + "-" + r.end + " s");
    columns[c++].cells.emplace_back(direction_text(r.direction));
    columns[c++].cells.push_back(rate_text(r.mbps));
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
