// A run's latency in words: the line under a Client page's details, the end
// line a run's record keeps, and the sentence a chart describes it with.
#pragma once

#include <optional>
#include <string>

#include "core/latency.hpp"

namespace trellan {

inline constexpr const char* kMeasuringIdleLatency = "Measuring idle latency…";

// Milliseconds with at least two significant digits, never in exponent
// form, whatever the locale: "0.031", "5.1", "312".
std::string ms_text(double ms);

// "Latency not measured: {reason}".
std::string latency_not_measured_text(const std::string& reason);

// While the test runs: "Latency 5.1 ms (idle 0.031 ms)".
std::string latency_live_text(double now_ms, double idle_ms);

// At the end: "Latency: 0.031 ms idle, 5.1 ms under load (+5.1 ms)".
std::string latency_end_text(const LatencyFigures& f);

// For a chart's description: "Latency: idle 0.031 ms; under load median
// 5.1 ms, 95th percentile 21 ms, maximum 24 ms; 0 of 300 probes lost."
std::string latency_sentence(const LatencyFigures& f);

}  // namespace trellan
