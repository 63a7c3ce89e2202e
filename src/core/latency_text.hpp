// A run's latency in words: the line under a Client page's details, the end
// line a run's record keeps, the spread a report gives, and the sentence a
// chart describes it with. The figures are round-trip times.
#pragma once

#include <optional>
#include <string>

#include "core/latency.hpp"

namespace trellan {

inline constexpr const char* kMeasuringIdleLatency = "Measuring idle latency…";

// Milliseconds at the precision a round-trip time has, never in exponent
// form, whatever the locale: two significant digits below 10 ms ("0.031",
// "5.1"), none past the decimal point from 10 ms on ("21", "312").
std::string ms_text(double ms);

// "Latency not measured: {reason}".
std::string latency_not_measured_text(const std::string& reason);

// While the test runs: "Latency 5.1 ms (idle 0.031 ms)"; without an idle
// figure, "Latency 5.1 ms (idle: no reply)".
std::string latency_live_text(double now_ms, std::optional<double> idle_ms);

// While replies stay away: "Latency: no reply for 3 s (idle 0.031 ms)".
std::string latency_silent_text(unsigned seconds, std::optional<double> idle_ms);

// The added delay of `loaded_ms` over `idle_ms`, as the difference of the
// two figures as shown, at the coarser one's precision: "+5.9 ms"; "no
// increase" when it is not above zero or within the idle replies' own
// jitter (`noise_ms`).
std::string added_delay_text(double idle_ms, double loaded_ms, std::optional<double> noise_ms);

// At the end: "Latency: 0.031 ms idle, 5.1 ms under load (+5.1 ms)", then
// ", 75 of 100 probes lost" when probes under load went unanswered; idle
// probes lost are told apart: "0.031 ms idle (3 of 10 probes lost)".
std::string latency_end_text(const LatencyFigures& f);

// The report's line of the spread: "Round-trip time under load: median
// 5.1 ms, 95th percentile 21 ms, maximum 24 ms, jitter 1.2 ms; 0 of 300
// probes lost (idle: median 0.031 ms, 0 of 10 probes lost)".
std::string latency_spread_text(const LatencyFigures& f);

// For a chart's description: "Latency (round-trip time): idle 0.031 ms;
// under load median 5.1 ms, 95th percentile 21 ms, maximum 24 ms, jitter
// 1.2 ms; 0 of 300 probes lost."
std::string latency_sentence(const LatencyFigures& f);

}  // namespace trellan
