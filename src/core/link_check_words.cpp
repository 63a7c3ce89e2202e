// A link check's words; declared with the other words in run_words.hpp.
#include "core/run_words.hpp"

#include "core/latency_text.hpp"

namespace trellan {

const char* link_phase_name(LinkPhase phase) {
  switch (phase) {
    case LinkPhase::Idle: return "idle latency";
    case LinkPhase::Download: return "download";
    case LinkPhase::Upload: return "upload";
    case LinkPhase::Both: return "both ways";
  }
  return "";
}

const char* link_phase_csv_name(LinkPhase phase) {
  switch (phase) {
    case LinkPhase::Idle: return "idle";
    case LinkPhase::Download: return "download";
    case LinkPhase::Upload: return "upload";
    case LinkPhase::Both: return "both";
  }
  return "";
}

namespace {

const char* doing(LinkPhase phase) {
  switch (phase) {
    case LinkPhase::Idle: return "measuring idle latency";
    case LinkPhase::Download: return "downloading";
    case LinkPhase::Upload: return "uploading";
    case LinkPhase::Both: return "both ways";
  }
  return "";
}

}  // namespace

std::string link_progress_text(LinkPhase phase, unsigned seconds_left) {
  std::string text = std::string("Link check: ") + (phase == LinkPhase::Both ? "measuring both ways" : doing(phase));
  if (phase != LinkPhase::Idle) text += " (phase " + std::to_string(static_cast<int>(phase)) + " of 3)";
  return text + ", " + std::to_string(seconds_left) + " s left";
}

std::string link_busy_text(unsigned retry, unsigned max_retries, unsigned wait_s) {
  return "The server is busy; trying again in " + std::to_string(wait_s) + " s (" + std::to_string(retry) +
         " of " + std::to_string(max_retries) + ")";
}

std::string link_result_text(double download_mbps, double upload_mbps, const std::string& grade_or_no_grade) {
  return "Link check — download " + rate_text(download_mbps) + ", upload " + rate_text(upload_mbps) + "; " +
         grade_or_no_grade;
}

std::string link_failed_text(const std::string& reason) { return "Link check failed: " + reason; }

std::string link_stopped_text(std::optional<LinkPhase> last_finished, LinkPhase running) {
  if (last_finished) return std::string("Link check stopped after ") + link_phase_name(*last_finished);
  return std::string("Link check stopped during ") + link_phase_name(running);
}

std::string link_latency_text(double idle_ms, const std::vector<LinkLatencyPart>& parts, std::uint64_t lost,
                              std::uint64_t sent) {
  std::string text = "Latency: " + ms_text(idle_ms) + " ms idle";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += i == 0 ? "; " : ", ";
    text += parts[i].added + " " + doing(parts[i].phase);
  }
  if (lost > 0) text += "; " + std::to_string(lost) + " of " + std::to_string(sent) + " probes lost";
  return text;
}

std::string link_grade_text(const char* grade, const char* meaning) {
  return std::string("Grade ") + grade + ": " + meaning + " (from ICMP ping probes).";
}

}  // namespace trellan
