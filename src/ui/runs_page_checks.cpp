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

// ---- comparing link checks ----------------------------------------------------

std::vector<std::uint64_t> compared_runs(const Page& p) {
  std::vector<LinkCheckRuns> checks;
  for (std::uint64_t id : p.marked) {
    const LinkCheckRuns runs = check_of(p, p.log->find(id));
    if (!runs.first) break;
    checks.push_back(runs);
  }
  const bool all_checks = !p.marked.empty() && checks.size() == p.marked.size();
  if (p.compare_phases) gtk_widget_set_visible(p.compare_phases.get(), all_checks);
  if (!all_checks) return p.marked;
  std::vector<std::uint64_t> ids;
  for (const LinkCheckRuns& check : checks)
    if (const RunRecord* run = check.of(p.compare_phase)) ids.push_back(run->id);
  return ids;
}

namespace {

void on_compare_phase(GtkToggleButton* button, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.gone || !gtk_toggle_button_get_active(button)) return;
  p.compare_phase = static_cast<LinkPhase>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "trellan-phase")));
  show_comparison(p);
}

}  // namespace

GtkWidget* compare_phase_buttons(const PageRef& page) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_add_css_class(box, "linked");
  gtk_widget_set_halign(box, GTK_ALIGN_START);
  gtk_accessible_update_property(GTK_ACCESSIBLE(box), GTK_ACCESSIBLE_PROPERTY_LABEL, "Phase compared", -1);
  GtkWidget* first = nullptr;
  const std::pair<LinkPhase, const char*> phases[] = {
      {LinkPhase::Download, "Download"}, {LinkPhase::Upload, "Upload"}, {LinkPhase::Both, "Both ways"}};
  for (const auto& [phase, text] : phases) {
    GtkWidget* b = gtk_toggle_button_new_with_label(text);
    const std::string name = std::string("Compare the ") + link_phase_name(phase) + " phases";
    gtk_accessible_update_property(GTK_ACCESSIBLE(b), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(), -1);
    g_object_set_data(G_OBJECT(b), "trellan-phase", GINT_TO_POINTER(static_cast<int>(phase)));
    if (first) gtk_toggle_button_set_group(GTK_TOGGLE_BUTTON(b), GTK_TOGGLE_BUTTON(first));
    else first = b;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), phase == page->compare_phase);
    connect(b, "toggled", on_compare_phase, page);
    gtk_box_append(GTK_BOX(box), b);
  }
  gtk_widget_set_visible(box, FALSE);
  page->compare_phases = Ref<GtkWidget>::add(box);
  return box;
}

}  // namespace trellan::runs_page_parts
