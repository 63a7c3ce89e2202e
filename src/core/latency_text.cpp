#include "core/latency_text.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace trellan {

std::string ms_text(double ms) {
  if (!std::isfinite(ms)) return "?";
  int decimals = 0;
  const double magnitude = std::fabs(ms);
  if (magnitude > 0 && magnitude < 10)
    decimals = std::max(1, 1 - static_cast<int>(std::floor(std::log10(magnitude))));
  else if (magnitude == 0)
    decimals = 1;
  std::array<char, 64> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), ms, std::chars_format::fixed, decimals);
  return r.ec == std::errc() ? std::string(buf.data(), r.ptr) : std::string("?");
}

std::string latency_not_measured_text(const std::string& reason) {
  return "Latency not measured: " + reason;
}

std::string latency_live_text(double now_ms, double idle_ms) {
  return "Latency " + ms_text(now_ms) + " ms (idle " + ms_text(idle_ms) + " ms)";
}

namespace {
std::string signed_ms(double ms) { return (ms < 0 ? "-" : "+") + ms_text(std::fabs(ms)); }

std::string lost_text(const LatencyFigures& f) {
  return std::to_string(f.lost) + " of " + std::to_string(f.sent) + " probes lost";
}
}  // namespace

std::string latency_end_text(const LatencyFigures& f) {
  std::string text = "Latency: " + ms_text(f.idle_ms) + " ms idle, ";
  if (!f.loaded_median_ms) return text + "no reply under load (" + lost_text(f) + ")";
  return text + ms_text(*f.loaded_median_ms) + " ms under load (" +
         signed_ms(*f.loaded_median_ms - f.idle_ms) + " ms)";
}

std::string latency_sentence(const LatencyFigures& f) {
  std::string text = "Latency: idle " + ms_text(f.idle_ms) + " ms; ";
  if (f.loaded_median_ms && f.loaded_p95_ms && f.loaded_max_ms)
    text += "under load median " + ms_text(*f.loaded_median_ms) + " ms, 95th percentile " +
            ms_text(*f.loaded_p95_ms) + " ms, maximum " + ms_text(*f.loaded_max_ms) + " ms; ";
  else
    text += "no reply under load; ";
  return text + lost_text(f) + ".";
}

}  // namespace trellan
