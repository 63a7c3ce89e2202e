// The Runs page's link checks: a check is one row in the list, its first
// run's, and choosing it shows the check's summary above the phase shown.
#include <string>

#include "core/link_check_record.hpp"
#include "core/text.hpp"
#include "ui/runs_page_parts.hpp"

namespace trellan::runs_page_parts {

namespace {

LinkCheckRuns check_of(const Page& p, const RunRecord* run) {
  if (!run || !run->facts.link_check) return {};
  return link_check_runs(p.log->runs(), run->facts.link_check->check);
}

}  // namespace

std::uint64_t list_row_of(const Page& p, std::uint64_t id) {
  const LinkCheckRuns runs = check_of(p, p.log->find(id));
  return runs.first ? runs.first->id : id;
}

std::uint64_t run_to_show(const Page& p, std::uint64_t row_id) {
  const LinkCheckRuns runs = check_of(p, p.log->find(row_id));
  return runs.download ? runs.download->id : row_id;
}

std::string check_row_subtitle(const Page& p, const RunRecord& run) {
  const LinkCheckRuns runs = check_of(p, &run);
  return runs.first ? row_start(*runs.first) + "\n" + figures_kept_whole(shown_name(link_check_outcome(runs))) : "";
}

std::string check_row_name(const Page& p, const RunRecord& run) {
  const LinkCheckRuns runs = check_of(p, &run);
  if (!runs.first) return {};
  std::string name = shown_name(link_check_title(*runs.first)) + ", " + row_start(*runs.first);
  if (!runs.first->source_file.empty()) name += ", from " + shown_name(runs.first->source_file);
  return name + ", " + shown_name(link_check_outcome(runs));
}

void show_check(Page& p, const RunRecord* run) {
  if (p.check_view) p.check_view->show(check_of(p, run), run ? run->id : 0);
}

void update_check_row(Page& p, const RunRecord& run, bool rename) {
  const LinkCheckRuns runs = check_of(p, &run);
  if (!runs.first) return;
  // Its first run's row stands for the check; the others are reached from
  // the check's summary.
  for (const auto& r : p.log->runs()) {
    if (!r->facts.link_check || r->facts.link_check->check != run.facts.link_check->check) continue;
    RunRow* row = p.row_of(r->id);
    if (!row) continue;
    const bool first = r.get() == runs.first;
    if (gtk_widget_get_visible(row->row) != first) gtk_widget_set_visible(row->row, first);
    if (!first) continue;
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row->row), shown_name(link_check_title(*r)).c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(row->row), check_row_subtitle(p, *r).c_str());
  }
  if (rename) name_rows(p);
  if (const RunRecord* shown = p.selected_run(); shown && list_row_of(p, shown->id) == runs.first->id)
    show_check(p, shown);
}

}  // namespace trellan::runs_page_parts
