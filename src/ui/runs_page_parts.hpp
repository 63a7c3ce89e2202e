// The Runs page's parts that its files share: what the page holds, and
// the functions one part calls in another. For runs_page*.cpp only.
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ui/chart.hpp"
#include "core/gobject.hpp"
#include "ui/clipboard_text.hpp"
#include "ui/compat.hpp"
#include "ui/interval_table.hpp"
#include "ui/label_text.hpp"
#include "ui/compare_view.hpp"
#include "ui/latency_plot.hpp"
#include "ui/link_check_view.hpp"
#include "ui/runs_page_files.hpp"
#include "ui/wide_layout.hpp"
#include "core/run_file.hpp"
#include "core/latency_text.hpp"
#include "core/meter.hpp"
#include "core/run_export.hpp"
#include "core/run_words.hpp"
#include "core/background.hpp"
#include "core/save_file.hpp"
#include "process/tool_version.hpp"

namespace trellan::runs_page_parts {

// One run's row in the list, and what it last told a screen reader.
struct RunRow {
  std::uint64_t id;
  GtkWidget* row;      // the list's
  GtkWidget* check;    // the row's: marks the chosen run
  GtkWidget* compare;  // the row's: marks the run for comparison
  std::string name;
  bool stale = false;  // readings came while the page was hidden
};

// Between these many marked runs are compared.
constexpr std::size_t kCompareFrom = 2, kCompareUpTo = 8;

// The list of runs shows this many rows at least, and leaves about this
// much of the page's height to the chosen run's heading, chart and buttons.
constexpr int kListRowsAtLeast = 4;
constexpr int kHeightForDetail = 300;

constexpr const char* kPageKey = "trellan-runs-page";

// Everything the page's widgets and the log's listener share. Owned by the
// callbacks that need it; the page's destruction breaks the cycle through
// its widgets by dropping the references below.
struct Page {
  std::shared_ptr<RunLog> log;
  std::weak_ptr<Page> self;
  std::uint64_t listener = 0;
  std::uint64_t selected = 0;  // the run shown in the detail, 0 for none
  LatestWork<std::string> copies;  // the runs' copies for the clipboard
  ChartData chart;             // the selected run's intervals
  LatencyPlotData latency;     // and its latency, once it has ended
  TimeAxis axis;               // the chart's, as last painted
  bool gone = false;

  Ref<GtkWidget> root;         // the status page or the runs
  Ref<GtkWidget> empty, runs;  // its two children
  Ref<GtkWidget> list, list_scroll;
  Ref<GtkWidget> detail, heading, started, chart_area, result, details, dropped, save_status;
  Ref<GtkWidget> cap_notice;  // the runs the window let go
  // A run that failed before its first interval: its error in place of the
  // chart and the table.
  Ref<GtkWidget> chart_frame, failure, failure_icon, failure_title, failure_text;
  std::unique_ptr<IntervalTable> table;
  std::vector<RunRow> rows;
  guint layout_source = 0;  // sizes the list and brings the chosen row into view
  // Runs opened from files join a few at a time: the newest is shown once
  // they pause, not each on its way.
  std::uint64_t newest_opened = 0;
  guint show_source = 0;
  int layout_frames = 0;    // frames the chosen row may take to be laid out
  bool reveal_chosen = false;
  bool reveal_focus = false;  // a key moved the focus within the list
  Ref<GtkWidget> latency_area, latency_line;
  // The row that takes the focus when Tab comes to the list: the list is
  // one stop, and arrows move within it.
  std::uint64_t focus_row = 0;
  GtkWidget* focus_window = nullptr;  // whose focus moves are followed (weak)
  gpointer focus_data[2] = {};        // the handlers' data there
  bool focus_was_in_list = false;
  // Opening files: the page's buttons and what they said, the progress of
  // a slow file, and the open going on.
  Ref<GtkWidget> file_status, progress_box, progress_label, progress_bar, save_all;
  std::vector<std::string> open_failures;
  std::unique_ptr<FileOpen> opening;
  // Marked runs, oldest first, and where they are compared.
  std::vector<std::uint64_t> marked;
  Ref<GtkWidget> detail_area, detail_stack, switcher, compare_view, compare_hint;
  // The wide layout's: the list on the left, the chosen run on the right.
  Ref<GtkWidget> content, detail_scroll, split;
  bool wide = false;
  Ref<GtkWidget> toasts, buttons;
  // The chosen run's link check, above it, where it is a phase of one.
  std::unique_ptr<LinkCheckView> check_view;
  // Link checks marked to compare are compared one phase at a time.
  LinkPhase compare_phase = LinkPhase::Download;
  Ref<GtkWidget> compare_phases;

  const RunRecord* selected_run() const { return selected ? log->find(selected) : nullptr; }
  std::shared_ptr<const RunRecord> shared_run(std::uint64_t id) const {
    for (const auto& r : log->runs())
      if (r->id == id) return r;
    return nullptr;
  }
  RunRow* row_of(std::uint64_t id) {
    for (auto& r : rows)
      if (r.id == id) return &r;
    return nullptr;
  }
  std::uint64_t id_of(GtkListBoxRow* row) const {
    for (const auto& r : rows)
      if (r.row == GTK_WIDGET(row)) return r.id;
    return 0;
  }
};

using PageRef = std::shared_ptr<Page>;

inline void free_page_ref(gpointer data, GClosure*) { delete static_cast<PageRef*>(data); }
inline void free_page_ref_notify(gpointer data) { delete static_cast<PageRef*>(data); }

template <typename Handler>
void connect(gpointer instance, const char* signal, Handler handler, const PageRef& page) {
  g_signal_connect_data(instance, signal, G_CALLBACK(handler), new PageRef(page), free_page_ref,
                        GConnectFlags{});
}

inline bool dark_appearance() {
  return adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default());
}

inline Ref<GtkWidget> label(const char* css_class, bool selectable) {
  auto l = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  if (selectable) wrap_anywhere(l.get());
  else hold_any_text(l.get());
  gtk_label_set_xalign(GTK_LABEL(l.get()), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(l.get()), selectable);
  if (css_class) gtk_widget_add_css_class(l.get(), css_class);
  return l;
}

inline void set_label(GtkWidget* l, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(l), shown_text(text).c_str());
  gtk_widget_set_visible(l, !text.empty());
}

// ---- the list's rows (runs_page_rows.cpp) --------------------------------------

std::string row_subtitle(const RunRecord& run);
GtkWidget* run_row(const RunRecord& run, GtkWidget** check);
void update_row(RunRow& r, const RunRecord& run);
void name_rows(Page& p);
void follow_window_focus(Page& p, const PageRef& page);
void unfollow_window_focus(Page& p);
void set_reachable(GtkWidget* compare, bool reachable);
gboolean on_list_key(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state, gpointer data) noexcept;
void on_compare_focus_left(GtkEventControllerFocus* focus, gpointer) noexcept;
void show_comparison(Page& p);
void on_compare_toggled(GtkCheckButton* check, gpointer data) noexcept;

std::string row_start(const RunRecord& run);

// ---- link checks (runs_page_checks.cpp) ----------------------------------------

// The list's row that stands for run `id`: its check's, for a phase of one.
std::uint64_t list_row_of(const Page& p, std::uint64_t id);
// The run a row shows when chosen: a check's shows its download phase.
std::uint64_t run_to_show(const Page& p, std::uint64_t row_id);
std::string check_row_name(const Page& p, const RunRecord& run);
// The check's summary for the chosen run (nullptr or no check: hidden).
void show_check(Page& p, const RunRecord* run);
// After a change to a run of a check: its row's texts (and with `rename`,
// every row's name) and the summary, where it is shown.
void update_check_row(Page& p, const RunRecord& run, bool rename);

// The runs a comparison shows: those marked, or where every one marked is a
// link check, each check's run of the phase chosen.
std::vector<std::uint64_t> compared_runs(const Page& p);
// The buttons that choose that phase; shown only while checks are compared.
GtkWidget* compare_phase_buttons(const PageRef& page);

// ---- copy, save and open (runs_page_actions.cpp) ------------------------------

void on_copy_text(GtkButton*, gpointer data) noexcept;
void on_copy_csv(GtkButton*, gpointer data) noexcept;
void on_save(GtkButton* button, gpointer data) noexcept;
void on_save_run(GtkButton* button, gpointer data) noexcept;
void on_save_all(GtkButton* button, gpointer data) noexcept;
void open_files(const PageRef& page, std::vector<Ref<GFile>> files);
void show_dropped_runs(Page& p);
void choose_files(const PageRef& page);
void on_cancel_open(GtkButton*, gpointer data) noexcept;
void on_open(GtkButton*, gpointer data) noexcept;

}  // namespace trellan::runs_page_parts
