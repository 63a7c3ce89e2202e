#include "core/compare.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {
namespace {

constexpr double kShortest = 0.1;  // seconds: an interval shorter is a scrap
constexpr const char* kNoReply = "no reply";

// `value` with `decimals` decimals and a full stop whatever the locale.
std::string fixed(double value, int decimals) { return fixed_text(value, decimals); }

std::string field(const std::optional<double>& v, int decimals) { return v ? fixed(*v, decimals) : ""; }
std::string field(const std::optional<std::uint64_t>& v) { return v ? std::to_string(*v) : ""; }
std::string field(const std::optional<unsigned>& v) { return v ? std::to_string(*v) : ""; }

// A round-trip time as every copy writes it (see ms_text).
std::string latency_field(const std::optional<double>& ms) { return ms ? ms_text(*ms) : ""; }

// A CSV field: quoted only when it has to be.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Characters, not bytes, for aligning UTF-8 text.
std::size_t width(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

bool has(const std::vector<std::string>& command, std::string_view arg) {
  return std::find(command.begin(), command.end(), arg) != command.end();
}

// The value after `option` on the command line.
std::optional<unsigned> count_after(const std::vector<std::string>& command, std::string_view option) {
  auto it = std::find(command.begin(), command.end(), option);
  if (it == command.end() || ++it == command.end()) return std::nullopt;
  unsigned n = 0;
  const auto r = std::from_chars(it->data(), it->data() + it->size(), n);
  if (r.ec != std::errc() || r.ptr != it->data() + it->size() || n == 0) return std::nullopt;
  return n;
}

// The intervals the figures count: those past the warm-up, or all of them
// where the run ended within it.
std::vector<const IntervalRecord*> counted(const RunRecord& run) {
  std::vector<const IntervalRecord*> out;
  for (const auto& r : run.intervals)
    if (!r.omitted) out.push_back(&r);
  if (out.empty())
    for (const auto& r : run.intervals) out.push_back(&r);
  return out;
}

std::optional<double> mean_rate(const std::vector<const IntervalRecord*>& intervals, Direction d) {
  double weighted = 0, seconds = 0;
  bool any = false;
  for (const IntervalRecord* r : intervals) {
    if (r->direction != d || !std::isfinite(r->mbps)) continue;
    any = true;
    const double s = std::max(0.0, r->end - r->start);
    weighted += r->mbps * s;
    seconds += s;
  }
  if (!any) return std::nullopt;
  return seconds > 0 ? weighted / seconds : 0.0;
}

std::string protocol_of(const RunRecord& run) {
  if (!run.facts.protocol.empty()) return run.facts.protocol;
  // Records kept before runs stated their facts: what their command line
  // asked for.
  const bool server = has(run.command, "-s");
  if (!run.command.empty() && !server) return has(run.command, "-u") ? "UDP" : "TCP";
  // A served client's protocol shows only in what its intervals hold.
  for (const auto& r : run.intervals) {
    if (r.jitter_ms || r.lost) return "UDP";
    if (r.retransmits) return "TCP";
  }
  return "";
}

std::optional<double> change(const std::optional<double>& now, const std::optional<double>& then) {
  if (!now || !then || !(*then > 0)) return std::nullopt;
  return (*now - *then) / *then * 100.0;
}

// The rates, retransmits and loss of the run's result, as iperf3's summary
// lines gave them: "send" is the sending side's rate and "receive" the
// receiving side's (in a bidirectional test, this machine's outgoing and
// incoming flows), as the result line tells them.
ComparedRun with_summary(ComparedRun c, const SummaryDetails& d) {
  c.send_mbps = d.tx.sender_mbps;
  c.receive_mbps = d.bidirectional ? d.rx.receiver_mbps : d.tx.receiver_mbps;
  for (const FlowFigures* f : {&d.tx, &d.rx})
    if (f->retransmits) c.retransmits = c.retransmits.value_or(0) + *f->retransmits;
  std::uint64_t lost = 0, total = 0;
  const UdpLoss* only = nullptr;
  int flows = 0;
  for (const FlowFigures* f : {&d.tx, &d.rx}) {
    if (!f->loss) continue;
    lost += f->loss->lost;
    total += f->loss->total;
    only = &*f->loss;
    ++flows;
  }
  // One flow's is iperf3's own figure: in full where its JSON gave it, else
  // as its text printed it.
  double percent = 0;
  const std::string& p = only ? only->percent : std::string();
  if (flows == 1 && only->exact_percent && std::isfinite(*only->exact_percent))
    c.lost_percent = *only->exact_percent;
  else if (flows == 1 && std::from_chars(p.data(), p.data() + p.size(), percent).ec == std::errc() &&
           std::isfinite(percent))
    c.lost_percent = percent;
  else if (flows > 0 && total > 0)
    c.lost_percent = 100.0 * static_cast<double>(lost) / static_cast<double>(total);
  return c;
}

ComparedRun figures_of(const RunRecord& run, const char* time_layout) {
  ComparedRun c;
  c.name = run_title(run) + " · " + local_time(run.started, time_layout);
  c.shown = shown_run_title(run) + " · " + local_time(run.started, time_layout);
  c.started = local_time(run.started, "%Y-%m-%dT%H:%M:%S%:z");
  c.protocol = protocol_of(run);
  const bool client = !run.command.empty() && !has(run.command, "-s");
  if (run.facts.streams) c.streams = run.facts.streams;
  else if (client) c.streams = count_after(run.command, "-P").value_or(1);

  const auto intervals = counted(run);
  if (!intervals.empty()) {
    double first = intervals.front()->start, last = intervals.front()->end;
    for (const IntervalRecord* r : intervals) {
      first = std::min(first, r->start);
      last = std::max(last, r->end);
    }
    c.duration_s = std::max(0.0, last - first);
  }
  if (run.latency) {
    c.latency_measured = true;
    if (run.latency->idle_replied) c.latency_idle_ms = run.latency->idle_ms;
    c.latency_loaded_ms = run.latency->loaded_median_ms;
  }
  if (run.summary) return with_summary(c, *run.summary);
  c.send_mbps = mean_rate(intervals, Direction::Send);
  c.receive_mbps = mean_rate(intervals, Direction::Receive);
  std::uint64_t lost = 0, total = 0;
  bool any_loss = false;
  for (const IntervalRecord* r : intervals) {
    if (r->retransmits) c.retransmits = c.retransmits.value_or(0) + *r->retransmits;
    if (r->lost && r->total) {
      any_loss = true;
      lost += *r->lost;
      total += *r->total;
    }
  }
  if (any_loss && total > 0) c.lost_percent = 100.0 * static_cast<double>(lost) / static_cast<double>(total);
  return c;
}

// "2.4 % more than run 1", "12.5 % less than run 1", "the same as run 1".
std::string change_words(double percent, std::size_t reference) {
  const std::string against = " run " + std::to_string(reference + 1);
  const std::string amount = fixed(std::fabs(percent), 1);
  if (amount == "0.0") return "the same as" + against;
  return amount + (percent > 0 ? " % more than" : " % less than") + against;
}

// "+2.4 %", "−12.5 %"
std::string change_text(const std::optional<double>& percent) {
  if (!percent) return "";
  const std::string amount = fixed(std::fabs(*percent), 1);
  if (amount == "0.0") return "±0.0 %";
  return (*percent > 0 ? "+" : "−") + amount + " %";
}

std::string count_words(unsigned n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<ComparedRun> compare_runs(const std::vector<const RunRecord*>& runs) {
  std::vector<ComparedRun> out;
  if (runs.empty()) return out;
  // The time of day tells runs of one day apart; runs of several days need
  // their dates.
  const std::string day = local_time(runs.front()->started, "%Y-%m-%d");
  const bool one_day = std::all_of(runs.begin(), runs.end(),
                                   [&](const RunRecord* r) { return local_time(r->started, "%Y-%m-%d") == day; });
  std::size_t oldest = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    out.push_back(figures_of(*runs[i], one_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M"));
    if (started_earlier(*runs[i], *runs[oldest])) oldest = i;
  }
  out[oldest].reference = true;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i == oldest) continue;
    out[i].send_change_percent = change(out[i].send_mbps, out[oldest].send_mbps);
    out[i].receive_change_percent = change(out[i].receive_mbps, out[oldest].receive_mbps);
  }
  return out;
}

bool started_earlier(const RunRecord& a, const RunRecord& b) {
  if (a.started != b.started) return a.started < b.started;
  return a.id < b.id;
}

void sort_oldest_first(std::vector<std::uint64_t>& ids, const RunLog& log) {
  std::stable_sort(ids.begin(), ids.end(), [&log](std::uint64_t a, std::uint64_t b) {
    const RunRecord* x = log.find(a);
    const RunRecord* y = log.find(b);
    if (x && y) return started_earlier(*x, *y);
    return a < b;
  });
}

std::string comparison_heading(std::size_t runs) {
  return "Comparing " + std::to_string(runs) + (runs == 1 ? " run" : " runs");
}

std::string comparison_csv(const std::vector<const RunRecord*>& runs) {
  std::string out =
      "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
      "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n";
  for (const ComparedRun& c : compare_runs(runs)) {
    out += csv_field(c.name) + ',' + c.started + ',' + c.protocol + ',' + field(c.streams) + ',' +
           field(c.duration_s, 2) + ',' + field(c.send_mbps, 3) + ',' + field(c.receive_mbps, 3) + ',' +
           field(c.retransmits) + ',' + field(c.lost_percent, 2) + ',' + latency_field(c.latency_idle_ms) + ',' +
           latency_field(c.latency_loaded_ms) + ',' + field(c.send_change_percent, 1) + ',' +
           field(c.receive_change_percent, 1) + '\n';
  }
  return out;
}

ComparisonTable comparison_table(const std::vector<const RunRecord*>& runs) {
  const auto compared = compare_runs(runs);
  struct Column {
    std::string title;
    bool numeric;
    std::vector<std::string> cells;
  };
  std::vector<Column> columns = {{"Run", true, {}},     {"Protocol", false, {}},   {"Streams", true, {}},
                                 {"Duration", true, {}}, {"Send", true, {}},        {"Change", true, {}},
                                 {"Receive", true, {}},  {"Change", true, {}},      {"Retransmits", true, {}},
                                 {"Lost", true, {}},     {"Idle latency", true, {}}, {"Loaded latency", true, {}}};
  // Latency measured without a reply is said so, never given a figure.
  const auto ms = [](const ComparedRun& c, const std::optional<double>& v) {
    return v ? ms_text(*v) + " ms" : c.latency_measured ? std::string(kNoReply) : std::string();
  };
  for (std::size_t i = 0; i < compared.size(); ++i) {
    const ComparedRun& c = compared[i];
    std::size_t k = 0;
    columns[k++].cells.push_back(std::to_string(i + 1));
    columns[k++].cells.push_back(c.protocol);
    columns[k++].cells.push_back(field(c.streams));
    columns[k++].cells.push_back(c.duration_s ? fixed(*c.duration_s, 2) + " s" : "");
    columns[k++].cells.push_back(c.send_mbps ? rate_text(*c.send_mbps) : "");
    columns[k++].cells.push_back(change_text(c.send_change_percent));
    columns[k++].cells.push_back(c.receive_mbps ? rate_text(*c.receive_mbps) : "");
    columns[k++].cells.push_back(change_text(c.receive_change_percent));
    columns[k++].cells.push_back(field(c.retransmits));
    columns[k++].cells.push_back(c.lost_percent ? fixed(*c.lost_percent, 2) + " %" : "");
    columns[k++].cells.push_back(ms(c, c.latency_idle_ms));
    columns[k++].cells.push_back(ms(c, c.latency_loaded_ms));
  }
  ComparisonTable table;
  table.rows.resize(compared.size());
  for (const Column& col : columns) {
    // Columns no run fills are left out.
    if (std::all_of(col.cells.begin(), col.cells.end(), [](const std::string& s) { return s.empty(); })) continue;
    table.titles.push_back(col.title);
    // A change column follows the column whose change it gives.
    std::string spoken = col.title;
    if (col.title == "Change" && &col != &columns.front()) {
      std::string of = (&col - 1)->title;
      if (!of.empty() && of[0] >= 'A' && of[0] <= 'Z') of[0] = static_cast<char>(of[0] - 'A' + 'a');
      spoken = "Change in " + of;
    }
    table.spoken_titles.push_back(spoken);
    table.numeric.push_back(col.numeric);
    for (std::size_t i = 0; i < col.cells.size(); ++i) table.rows[i].push_back(col.cells[i]);
  }
  return table;
}

std::string comparison_text(const std::vector<const RunRecord*>& runs) {
  const auto compared = compare_runs(runs);
  std::string out = "Comparison of " + std::to_string(compared.size()) + " runs\n";
  for (std::size_t i = 0; i < compared.size(); ++i)
    out += std::to_string(i + 1) + ". " + compared[i].name + ", started " + start_time_text(*runs[i]) +
           (compared[i].reference ? " (the others are compared with it)" : "") + "\n";
  out += "\n";

  const ComparisonTable table = comparison_table(runs);
  std::vector<std::size_t> widths;
  for (std::size_t k = 0; k < table.titles.size(); ++k) {
    std::size_t w = width(table.titles[k]);
    for (const auto& row : table.rows) w = std::max(w, width(row[k]));
    widths.push_back(w);
  }
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t k = 0; k < cells.size(); ++k) {
      const std::string pad(widths[k] - width(cells[k]), ' ');
      if (k) text += "  ";
      text += table.numeric[k] ? pad + cells[k] : cells[k] + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  out += line(table.titles);
  for (const auto& row : table.rows) out += line(row);
  return out;
}

std::vector<std::string> comparison_sentences(const std::vector<const RunRecord*>& runs) {
  const auto compared = compare_runs(runs);
  std::size_t reference = 0;
  for (std::size_t i = 0; i < compared.size(); ++i)
    if (compared[i].reference) reference = i;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < compared.size(); ++i) {
    const ComparedRun& c = compared[i];
    std::vector<std::string> how;
    if (!c.protocol.empty()) how.push_back(c.protocol);
    if (c.streams) how.push_back(count_words(*c.streams, "stream", "streams"));
    if (c.duration_s) how.push_back(fixed(*c.duration_s, 1) + " s");
    std::vector<std::string> parts;
    std::string first;
    for (const auto& h : how) first += (first.empty() ? "" : ", ") + h;
    if (!first.empty()) parts.push_back(first);
    const auto rate = [&](const char* word, const std::optional<double>& mbps, const std::optional<double>& pct) {
      if (!mbps) return;
      parts.push_back(std::string(word) + " " + rate_text(*mbps) + (pct ? ", " + change_words(*pct, reference) : ""));
    };
    rate("send", c.send_mbps, c.send_change_percent);
    rate("receive", c.receive_mbps, c.receive_change_percent);
    if (c.retransmits) parts.push_back(count_words(static_cast<unsigned>(*c.retransmits), "retransmit", "retransmits"));
    if (c.lost_percent) parts.push_back(fixed(*c.lost_percent, 2) + " % of datagrams lost");
    if (c.latency_measured) {
      const auto said = [](const std::optional<double>& v, const char* when, const char* no_reply_when) {
        return v ? ms_text(*v) + " ms " + when : std::string(kNoReply) + " " + no_reply_when;
      };
      parts.push_back("latency " + said(c.latency_idle_ms, "idle", "while idle") + ", " +
                      said(c.latency_loaded_ms, "under load", "under load"));
    }
    if (parts.empty()) parts.emplace_back("no readings");
    std::string sentence = "Run " + std::to_string(i + 1) + ", " + c.shown + ": ";
    for (std::size_t k = 0; k < parts.size(); ++k) sentence += (k ? "; " : "") + parts[k];
    out.push_back(sentence + ".");
  }
  return out;
}

std::vector<TimedValue> throughput_series(const RunRecord& run) {
  std::vector<TimedValue> out;
  const auto intervals = counted(run);
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    const IntervalRecord& r = *intervals[i];
    const double mbps = std::isfinite(r.mbps) && r.mbps > 0 ? r.mbps : 0.0;
    // The records of a bidirectional interval follow one another.
    if (i > 0 && intervals[i - 1]->start == r.start && intervals[i - 1]->end == r.end && !out.empty() &&
        out.back().t0 == r.start) {
      out.back().value += mbps;
      continue;
    }
    if (r.end - r.start < kShortest - 1e-9) continue;
    out.push_back({r.start, r.end, mbps});
  }
  // Each run from its own start.
  const double origin = intervals.empty() ? 0.0 : intervals.front()->start;
  for (TimedValue& v : out) {
    v.t0 -= origin;
    v.t1 -= origin;
  }
  return out;
}

std::string series_name(std::size_t index, const ComparedRun& compared, const RunRecord& run) {
  bool send = false, receive = false;
  for (const IntervalRecord* r : counted(run)) (r->direction == Direction::Send ? send : receive) = true;
  return std::to_string(index + 1) + ". " + compared.shown + (send && receive ? " (send + receive)" : "");
}

std::vector<TimedValue> latency_series(const RunRecord& run) {
  std::vector<TimedValue> out;
  const auto latency = latency_of_records(run);
  double origin = 0;
  bool origin_set = false;
  for (std::size_t i = 0; i < run.intervals.size(); ++i) {
    const IntervalRecord& r = run.intervals[i];
    if (r.omitted) continue;
    if (!origin_set) {
      origin = r.start;
      origin_set = true;
    }
    if (i > 0 && run.intervals[i - 1].start == r.start && run.intervals[i - 1].end == r.end) continue;
    if (latency[i] && latency[i]->median_ms) out.push_back({r.start - origin, r.end - origin, *latency[i]->median_ms});
  }
  return out;
}

std::vector<double> loaded_probe_ms(const RunRecord& run) {
  std::vector<double> out;
  for (const LatencyProbe& p : run.probes)
    if (std::isfinite(p.rtt_ms)) out.push_back(p.rtt_ms);
  return out;
}

std::vector<double> distribution_of(std::vector<double> values) {
  std::erase_if(values, [](double v) { return !std::isfinite(v); });
  std::sort(values.begin(), values.end());
  return values;
}

}  // namespace trellan
