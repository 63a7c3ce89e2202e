// What a page's start button, status label and details label look like, how
// a page shows what its run's session answers, and how a page's run slot is
// filled and emptied. Shared by the click handlers and the task that follows
// a run; main thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/run_record.hpp"
#include "core/run_session.hpp"
#include "process/iperf.hpp"
#include "core/gobject.hpp"
#include "ui/vumeter.hpp"

namespace trellan {

// A page's current run. Empty means the page is idle. `run_id` names the run
// whose handle the slot holds, so that a run's event task can tell whether it
// still belongs to the page's current run.
struct RunSlot {
  // The page's records in the window's run log.
  RunRecording recording;

  // What the page shows of its current run is decided here.
  std::shared_ptr<RunSession> session;

  std::optional<RunHandle> handle;
  std::uint64_t run_id = 0;
  // A client test's latency: the ping beside it (it goes with the run,
  // whichever way the run ends, or when its session no longer needs it), and
  // how the page shows its line (empty: the page has none).
  std::optional<RunHandle> ping;
  std::function<void(const std::string&)> show_latency;
  // Told how long at most the latency of a test that ended waits for its
  // probes in flight (see PageAnswer::settle_latency_s).
  std::function<void(double)> settle_latency;
  // Called each time a run leaves the slot: stopped, ended or replaced.
  std::function<void()> on_run_end;
  // Called after each answer of the slot's sessions was shown (a link check
  // follows its phases' runs this way).
  std::function<void(const PageAnswer&)> on_answer;
};


// Gives a start button its label and style class.
void apply_look(GtkWidget* button, const Look& look);

// The status label carries the "error" class exactly while it shows an error,
// and "dim-label" exactly while it shows progress.
void set_status(GtkWidget* label, const std::string& text, StatusKind kind = StatusKind::Progress);

// The details label is hidden while it has nothing to say, and dimmed unless
// it holds a run's figures.
void set_details(GtkWidget* label, const std::string& text, bool figures = false);

// Empties the slot, stopping the run it held.
void stop_current_run(RunSlot& slot);

// Puts a new run and its session into the slot; a run still there is
// stopped first. Returns the new run's id.
std::uint64_t install_run(RunSlot& slot, RunHandle handle, std::shared_ptr<RunSession> session);

// The widgets of a page that show its run.
struct PageWidgets {
  VuMeter meter;
  Ref<GtkWidget> status_label;
  Ref<GtkWidget> details_label;
  Ref<GtkWidget> start_button;
};

// Applies what a run's session answered to the page's widgets, its slot and
// its record in the run log.
void show_answer(const PageWidgets& page, RunSlot& slot, const PageAnswer& answer);

}  // namespace trellan
