#include "core/run_texts.hpp"

#include <glib.h>

#include "core/meter.hpp"
#include "core/run_export.hpp"

namespace trellan {

std::string local_time(std::chrono::system_clock::time_point t, const char* layout) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  GDateTime* utc = g_date_time_new_from_unix_utc(us / 1000000);
  if (!utc) return "";
  GDateTime* local = g_date_time_to_local(utc);
  g_date_time_unref(utc);
  gchar* text = local ? g_date_time_format(local, layout) : nullptr;
  std::string out = text ? text : "";
  g_free(text);
  if (local) g_date_time_unref(local);
  return out;
}

std::string run_ending_text(const RunRecord& run) {
  switch (run.end) {
    case RunEnd::Running: return "Running…";
    case RunEnd::Result: return run.result_text;
    case RunEnd::Stopped: return "Stopped";
    case RunEnd::Error: return run.error_text.empty() ? "Failed" : run.error_text;
    case RunEnd::EndedEarly:
      return run.error_text.empty() ? "Ended early" : "Ended early: " + run.error_text;
  }
  return "";
}

std::string run_row_name(const RunRecord& run) {
  return run_title(run) + ", " + local_time(run.started, "%H:%M:%S") + ", " + run_ending_text(run);
}

std::string interval_cell(const IntervalRecord& r, int column) {
  static const std::string none = "—";
  switch (column) {
    case 0: return r.start + "–" + r.end + " s" + (r.omitted ? " (warm-up)" : "");
    case 1: return r.direction == Direction::Send ? "Send" : "Receive";
    case 2: return readout_text(r.mbps);
    case 3: return r.transfer;
    case 4: return r.retransmits ? std::to_string(*r.retransmits) : none;
    case 5: return r.jitter_ms ? *r.jitter_ms + " ms" : none;
    case 6:
      if (!r.lost) return none;
      return std::to_string(*r.lost) + " of " + (r.total ? std::to_string(*r.total) : none);
  }
  return "";
}

std::string csv_file_name(const RunRecord& run) {
  return "trellan-" + local_time(run.started, "%Y%m%d-%H%M%S") + ".csv";
}

}  // namespace trellan
