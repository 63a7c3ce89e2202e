// The interval table of the Runs page: one row per reading of the shown
// run, built only for the rows around the view (GTK keeps about 200),
// with the columns the run fills.
// It follows a live run while its end is in view, and while it is out of
// sight it leaves the accessible tree alone until it is shown again.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "core/run_record.hpp"

namespace trellan {

class IntervalTable {
 public:
  IntervalTable();
  ~IntervalTable();
  IntervalTable(const IntervalTable&) = delete;
  IntervalTable& operator=(const IntervalTable&) = delete;

  // The table in its frame; the caller adds it to a parent, which takes it.
  GtkWidget* widget() const;
  // Shows `run` (nullptr: nothing) from its first kept reading.
  void show(std::shared_ptr<const RunRecord> run);
  // The shown run has changed: new readings, or old ones let go.
  void run_changed();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace trellan
