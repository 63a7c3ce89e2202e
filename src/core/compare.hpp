// Runs side by side: the figures of 2–8 runs, each against the oldest of
// them, as a table, CSV, text and a sentence per run; and the series their
// charts overlay, each from its own start. No GTK; numbers are written the
// same in every locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// The most runs one comparison shows: one colour each.
inline constexpr std::size_t kMaxComparedRuns = 8;

// One run's figures in a comparison. Rates are the mean of the run's counted
// intervals (the warm-up left out unless there is nothing else), weighted by
// each interval's duration, per direction as this machine saw it; the other
// figures add up those intervals too. A figure the run has none of is empty.
struct ComparedRun {
  std::string name;     // "Client — 127.0.0.1, port 5201 · 14:02:09"
  std::string shown;    // the name as a page shows it, its far end as shown_name cuts it
  std::string started;  // ISO 8601 with its offset: "2026-12-07T16:40:12+01:00"
  std::string protocol;  // "TCP", "UDP", or empty where the record does not say
  std::optional<unsigned> streams;
  std::optional<double> duration_s;  // the span its counted intervals cover
  std::optional<double> send_mbps, receive_mbps;
  std::optional<std::uint64_t> retransmits;
  std::optional<double> lost_percent;  // of the datagrams received
  // Empty where no probe was answered; `latency_measured` tells that apart
  // from a run without latency.
  bool latency_measured = false;
  std::optional<double> latency_idle_ms, latency_loaded_ms;
  // Against the oldest run's rate of the same direction; empty for the
  // oldest run itself and where either rate is missing or the oldest is 0.
  std::optional<double> send_change_percent, receive_change_percent;
  bool reference = false;  // the oldest run, the one the others are put against
};

// Which of two runs a comparison puts first and compares the others with:
// the one that started earlier, whatever the order they were kept or marked
// in (a run opened from a file may be older than one measured before it was
// opened); on a tie the one kept first.
bool started_earlier(const RunRecord& a, const RunRecord& b);
// The log's runs `ids` in that order; ids no longer kept go by id.
void sort_oldest_first(std::vector<std::uint64_t>& ids, const RunLog& log);

// The runs' figures in the order given; the reference is the one that
// started earliest.
std::vector<ComparedRun> compare_runs(const std::vector<const RunRecord*>& runs);

// The heading over a comparison: "Comparing 3 runs".
std::string comparison_heading(std::size_t runs);

// The comparison as CSV: the header line, then one line per run in the
// order given, each ending in "\n".
std::string comparison_csv(const std::vector<const RunRecord*>& runs);
// The comparison as aligned text for pasting: the runs numbered with their
// start times, then a table with a row per run.
std::string comparison_text(const std::vector<const RunRecord*>& runs);
// The comparison as a table, as the text and the view show it: its column
// titles, whether each holds numbers (aligned right), and a row of cells per
// run ("1", "TCP", "1", "3.00 s", "13.44 Gbit/s", "−35.5 %", …). Columns
// that no run fills are left out.
struct ComparisonTable {
  std::vector<std::string> titles;
  // The titles as a screen reader says them: each names what it is of on
  // its own ("Change in send", where the table shows "Change" beside "Send").
  std::vector<std::string> spoken_titles;
  std::vector<bool> numeric;
  std::vector<std::vector<std::string>> rows;
};
ComparisonTable comparison_table(const std::vector<const RunRecord*>& runs);
// What a screen reader says of each run: "Run 2, Client — 127.0.0.1, port
// 5201 · 14:05:00: TCP, 1 stream, 3 s; send 8.2 Gbit/s, 12.5 % less than
// run 1; …".
std::vector<std::string> comparison_sentences(const std::vector<const RunRecord*>& runs);

// One interval of a run's overlay: its seconds from the run's start and a
// value (a rate in Mbit/s, a latency in ms).
struct TimedValue {
  double t0 = 0, t1 = 0, value = 0;
};

// A run's throughput over time: each counted interval's rate, the
// directions of a bidirectional interval added up, in the order they came.
// The scraps iperf3 prints at a test's end (under 0.1 s) are left out.
std::vector<TimedValue> throughput_series(const RunRecord& run);
// What names a run's lines in the overlay: its number and name, and where
// its throughput adds both directions of a bidirectional test, that it does:
// "3. Client — 127.0.0.1, port 5201 · 16:50:00 (send + receive)".
std::string series_name(std::size_t index, const ComparedRun& compared, const RunRecord& run);
// A run's latency under load over time: the median of each interval's
// probes, where the interval had a reply.
std::vector<TimedValue> latency_series(const RunRecord& run);
// The round-trip times of a run's probes under load that were answered.
std::vector<double> loaded_probe_ms(const RunRecord& run);

// The values sorted, as the steps of their cumulative distribution: the
// i-th smallest (from 0) reaches the fraction (i + 1) / n.
std::vector<double> distribution_of(std::vector<double> values);

}  // namespace trellan
