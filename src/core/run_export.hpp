// A run's record as text: its CSV and the plain-text report for pasting
// into a ticket, in the words of core/run_words. No GTK; the texts do not
// depend on the locale except for the local time zone.
#pragma once

#include <string>

#include "core/run_record.hpp"

namespace trellan {

// The interval records as CSV, in the order iperf3 printed them: the header
// line, then one line per record, each ending in "\n". Rates in Mbit/s with
// three decimals and a full stop whatever the locale.
std::string intervals_csv(const RunRecord& run);

// A plain-text report of the run for pasting into a ticket: title, start
// time, options, how it ended (the result and details texts as the page
// showed them), then the intervals as an aligned table.
std::string run_report(const RunRecord& run);

}  // namespace trellan
