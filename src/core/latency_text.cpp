#include "core/latency_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "core/text.hpp"

namespace trellan {

namespace {

// How many decimals `ms` is shown with: two significant digits, and never
// finer than the microsecond ping measures to.
int decimals_of(double ms) {
  const double magnitude = std::fabs(ms);
  if (magnitude == 0) return 1;
  if (magnitude >= 10) return 0;
  const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
  int decimals = 1 - exponent;
  // 9.96 rounds to 10, 0.0996 to 0.10: still two significant digits.
  const double scale = std::pow(10.0, decimals);
  if (std::round(magnitude * scale) / scale >= std::pow(10.0, exponent + 1)) --decimals;
  return std::clamp(decimals, 0, 3);
}

std::string fixed(double v, int decimals) { return fixed_text(v, decimals); }

std::string idle_part(std::optional<double> idle_ms) {
  return idle_ms ? "idle " + ms_text(*idle_ms) + " ms" : "idle: no reply";
}

std::string lost_text(std::uint64_t lost, std::uint64_t sent) {
  return std::to_string(lost) + " of " + std::to_string(sent) + " probes lost";
}

}  // namespace

std::string ms_text(double ms) {
  if (!std::isfinite(ms)) return "?";
  return fixed(ms, decimals_of(ms));
}

std::string latency_not_measured_text(const std::string& reason) {
  return "Latency not measured: " + reason;
}

std::string latency_live_text(double now_ms, std::optional<double> idle_ms) {
  return "Latency " + ms_text(now_ms) + " ms (" + idle_part(idle_ms) + ")";
}

std::string latency_silent_text(unsigned seconds, std::optional<double> idle_ms) {
  return "Latency: no reply for " + std::to_string(seconds) + " s (" + idle_part(idle_ms) + ")";
}

std::string added_delay_text(double idle_ms, double loaded_ms, std::optional<double> noise_ms) {
  const std::string idle = ms_text(idle_ms), loaded = ms_text(loaded_ms);
  const int decimals = std::min(decimals_of(idle_ms), decimals_of(loaded_ms));
  const double shown = parse_double(loaded).value_or(loaded_ms) - parse_double(idle).value_or(idle_ms);
  const double scale = std::pow(10.0, decimals);
  const double added = std::round(shown * scale) / scale;
  if (!(added > 0) || (noise_ms && added <= *noise_ms)) return "no increase";
  return "+" + fixed(added, decimals) + " ms";
}

std::string latency_end_text(const LatencyFigures& f) {
  std::string text = "Latency: ";
  if (f.idle_replied) {
    text += ms_text(f.idle_ms) + " ms idle";
    if (f.idle_lost > 0) text += " (" + lost_text(f.idle_lost, f.idle_sent) + ")";
  } else {
    text += "no reply while idle";
  }
  if (!f.loaded_median_ms) return text + ", no reply under load (" + lost_text(f.lost, f.sent) + ")";
  text += ", " + ms_text(*f.loaded_median_ms) + " ms under load";
  if (f.idle_replied) text += " (" + added_delay_text(f.idle_ms, *f.loaded_median_ms, f.idle_jitter_ms) + ")";
  if (f.lost > 0) text += ", " + lost_text(f.lost, f.sent);
  return text;
}

std::string latency_spread_text(const LatencyFigures& f) {
  std::string text = "Round-trip time under load: ";
  if (f.loaded_median_ms && f.loaded_p95_ms && f.loaded_max_ms) {
    text += "median " + ms_text(*f.loaded_median_ms) + " ms, 95th percentile " + ms_text(*f.loaded_p95_ms) +
            " ms, maximum " + ms_text(*f.loaded_max_ms) + " ms";
    if (f.jitter_ms) text += ", jitter " + ms_text(*f.jitter_ms) + " ms";
  } else {
    text += "no reply";
  }
  text += "; " + lost_text(f.lost, f.sent) + " (idle: ";
  text += f.idle_replied ? "median " + ms_text(f.idle_ms) + " ms, " : std::string("no reply, ");
  return text + lost_text(f.idle_lost, f.idle_sent) + ")";
}

std::string latency_sentence(const LatencyFigures& f) {
  std::string text = "Latency (round-trip time): ";
  text += f.idle_replied ? "idle " + ms_text(f.idle_ms) + " ms; " : std::string("no reply while idle; ");
  if (f.loaded_median_ms && f.loaded_p95_ms && f.loaded_max_ms) {
    text += "under load median " + ms_text(*f.loaded_median_ms) + " ms, 95th percentile " +
            ms_text(*f.loaded_p95_ms) + " ms, maximum " + ms_text(*f.loaded_max_ms) + " ms";
    if (f.jitter_ms) text += ", jitter " + ms_text(*f.jitter_ms) + " ms";
    text += "; ";
  } else {
    text += "no reply under load; ";
  }
  return text + lost_text(f.lost, f.sent) + ".";
}

}  // namespace trellan
