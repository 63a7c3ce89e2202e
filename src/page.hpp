// What a page's start button, status label and details label look like, and
// how a page's run slot is filled and emptied. Shared by the click handlers
// and the task that follows a run; main thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "window.hpp"

namespace trellan {

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
