// A link check on the Runs page: its name, how it ended, its rates and
// latency drawn on one scale with the grade, the phases to show one by one,
// and its copies as text and CSV.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/gobject.hpp"
#include "core/link_check_record.hpp"

namespace trellan {

class LinkCheckView {
 public:
  // `show_phase` shows one phase's run; `told` says what a copy did.
  LinkCheckView(std::function<void(std::uint64_t)> show_phase, std::function<void(const std::string&)> told);
  ~LinkCheckView();
  LinkCheckView(const LinkCheckView&) = delete;
  LinkCheckView& operator=(const LinkCheckView&) = delete;

  GtkWidget* widget() const { return box_.get(); }
  // The check of `runs`, with the phase of run `shown` pressed; hidden when
  // `runs` holds none.
  void show(const LinkCheckRuns& runs, std::uint64_t shown);

  // For the summary's drawing.
  const LinkCheckFigures& figures() const { return figures_; }

 private:
  void copy(bool csv);

  std::function<void(std::uint64_t)> show_phase_;
  std::function<void(const std::string&)> told_;
  Ref<GtkWidget> box_, heading_, outcome_, grade_, area_;
  GtkWidget* phase_buttons_[3] = {};
  std::uint64_t phase_ids_[3] = {};
  bool updating_ = false;
  LinkCheckFigures figures_;
  std::string text_, csv_;
};

}  // namespace trellan
