// A run's record as text: its CSV and the plain-text report for pasting
// into a ticket, in the words of core/run_words. No GTK; the texts do not
// depend on the locale except for the local time zone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/run_record.hpp"

namespace trellan {

// The interval records as CSV, in the order iperf3 printed them: the header
// line, then one line per record, each ending in "\n". Rates in Mbit/s with
// three decimals and a full stop whatever the locale.
std::string intervals_csv(const RunRecord& run);

// A command line as a shell would take it back: arguments quoted only where
// they need it. "iperf3 -c 127.0.0.1 -p 5201 -C 'my algo'"
std::string command_line_text(const std::vector<std::string>& command);

// Every setting of an iperf3 command line in words, in its order:
// "TCP · 3 s · a reading every 1 s · window 256K · MSS 1200 · congestion
// control reno". A client's server and port are left to the run's title; an
// option without words of its own appears as written.
std::string options_in_words(const std::vector<std::string>& command);

// A plain-text report of the run for pasting into a ticket: title, start
// time, the command line and the version of iperf3 that ran it, its options
// in words, how it ended (the result and details texts as the page showed
// them), then the intervals as an aligned table with the rates as iperf3
// printed them.
std::string run_report(const RunRecord& run, const std::string& iperf_version);
// A version of iperf3 in the one form every copy gives it: "3.12", whether
// it came as iperf3's version line ("iperf 3.12 (cJSON 1.7.15)") or so.
std::string iperf_version_text(std::string_view version);

}  // namespace trellan
