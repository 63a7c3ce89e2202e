// What a page's start button, status label and details label look like, and
// how a page's run slot is filled and emptied. Shared by the click handlers
// and the task that follows a run; main thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/latency_run.hpp"
#include "core/run_record.hpp"
#include "process/iperf.hpp"

namespace trellan {

// A page's current run. Empty means the page is idle. `run_id` names the run
// whose handle the slot holds, so that a run's event task can tell whether it
// still belongs to the page's current run.
struct RunSlot {
  // The window's run log, and the record of what the page runs now: the
  // client test, or the client being served (0: none; see run_recording.hpp).
  std::shared_ptr<RunLog> run_log;
  std::uint64_t record_id = 0;
  std::string options_summary;  // Server page: what its served clients' records say

  std::optional<RunHandle> handle;
  std::uint64_t run_id = 0;
  // A client test's latency: the ping beside it (it goes with the run,
  // whichever way the run ends), what it measured, and how the page shows
  // its line (empty: the page has none).
  std::optional<RunHandle> ping;
  std::shared_ptr<LatencyRun> latency;
  std::function<void(const std::string&)> show_latency;
  // Called each time a run leaves the slot: stopped, ended or replaced.
  std::function<void()> on_run_end;
};


// A start button's label and the style class it trades for another.
struct Look {
  const char* label;
  const char* remove;
  const char* add;
};

inline constexpr Look kClientIdle{"Start test", "destructive-action", "suggested-action"};
inline constexpr Look kClientRunning{"Stop", "suggested-action", "destructive-action"};
inline constexpr Look kServerIdle{"Start server", "destructive-action", "suggested-action"};
inline constexpr Look kServerRunning{"Stop server", "suggested-action", "destructive-action"};

void apply_look(GtkWidget* button, const Look& look);

// What a status text is. Progress texts are dimmed; a result or a message
// the user must read is shown at full contrast, an error also in red.
enum class StatusKind { Progress, Plain, Error };

// The status label carries the "error" class exactly while it shows an error,
// and "dim-label" exactly while it shows progress.
void set_status(GtkWidget* label, const std::string& text, StatusKind kind);
inline void set_status(GtkWidget* label, const std::string& text, bool is_error = false) {
  set_status(label, text, is_error ? StatusKind::Error : StatusKind::Progress);
}

// The details label is hidden while it has nothing to say, and dimmed unless
// it holds a run's figures.
void set_details(GtkWidget* label, const std::string& text, bool figures = false);

// Empties the slot, stopping the run it held.
void stop_current_run(RunSlot& slot);

// Puts a new run into the slot; a run still there is stopped first. Returns
// the new run's id.
std::uint64_t install_run(RunSlot& slot, RunHandle handle);

}  // namespace trellan
