#include "core/run_export.hpp"

#include <array>
#include <charconv>
#include <vector>

#include "core/run_words.hpp"

namespace trellan {
namespace {

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

}  // namespace

std::string intervals_csv(const RunRecord& run) {
  std::string out = "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted\n";
  for (const IntervalRecord& r : run.intervals) {
    out += csv_field(r.start_text) + ',' + csv_field(r.end_text) + ',' + direction_text(r.direction) + ',' +
           fixed3(r.mbps) + ',' + csv_field(r.transfer) + ',' + or_empty(r.retransmits) + ',' +
           csv_field(or_empty(r.jitter_ms)) + ',' + or_empty(r.lost) + ',' + or_empty(r.total) + ',' +
           (r.omitted ? "yes" : "no") + '\n';
  }
  return out;
}

std::string run_report(const RunRecord& run) {
  std::string out = run_title(run) + "\n";
  out += "Started: " + start_time_text(run) + "\n";
  if (!run.options_summary.empty()) out += "Options: " + run.options_summary + "\n";
  for (const auto& line : report_ending_lines(run)) out += line + "\n";
  out += "\n";
  if (run.intervals.empty()) return out + "No intervals.\n";
  if (run.dropped_intervals != 0)
    out += "The first " + std::to_string(run.dropped_intervals) + " intervals are no longer kept.\n";

  // Columns that no record fills are left out.
  bool retr = false, jitter = false, lost = false, total = false, omitted = false;
  for (const auto& r : run.intervals) {
    retr |= r.retransmits.has_value();
    jitter |= r.jitter_ms.has_value();
    lost |= r.lost.has_value();
    total |= r.total.has_value();
    omitted |= r.omitted;
  }
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
  if (omitted) columns.push_back({"", false, {}});
  for (const auto& r : run.intervals) {
    std::size_t c = 0;
    columns[c++].cells.push_back(r.start_text + "-" + r.end_text + " s");
    columns[c++].cells.emplace_back(direction_text(r.direction));
    columns[c++].cells.push_back(rate_text(r.mbps));
    columns[c++].cells.push_back(r.transfer);
    if (retr) columns[c++].cells.push_back(or_empty(r.retransmits));
    if (jitter) columns[c++].cells.push_back(r.jitter_ms ? *r.jitter_ms + " ms" : "");
    if (lost) columns[c++].cells.push_back(or_empty(r.lost));
    if (total) columns[c++].cells.push_back(or_empty(r.total));
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
