// The Runs page's copy, save and open: the clipboard and its toasts, the
// file choosers, and opening files through FileOpen.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/runs_page_parts.hpp"

namespace trellan::runs_page_parts {

// ---- copy and save --------------------------------------------------------

void toast(Page& p, const std::string& text) {
  adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(p.toasts.get()), adw_toast_new(text.c_str()));
}

std::string readings_text(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " reading" : " readings");
}

// The record `run` of the log as it is now, for another thread to read:
// the record itself where it can no longer change, else a copy (a run
// measured here may still grow, or be amended after its end).
std::shared_ptr<const RunRecord> record_to_read(const Page& p, const RunRecord& run) {
  if (auto whole = p.log->unchanging(run.id)) return whole;
  return std::make_shared<const RunRecord>(run);
}

// A copy of the chosen run as `make` words it. A long run takes a while to
// word, so the text is made on a thread of its own; the clipboard gets the
// last copy the user asked for.
void copy_run(const PageRef& page, std::function<std::string(const RunRecord&)> make, const char* as) {
  Page& p = *page;
  const RunRecord* run = p.selected_run();
  if (!run) return;
  p.copies.ask([record = record_to_read(p, *run), make = std::move(make)] { return make(*record); },
               [weak = std::weak_ptr<Page>(page),
                told = "Copied " + readings_text(run->intervals.size()) + " as " + as](std::string text) {
                 const auto page = weak.lock();
                 if (!page || page->gone) return;
                 set_clipboard_text(gtk_widget_get_clipboard(page->list.get()), std::move(text));
                 toast(*page, told);
               });
}

void on_copy_text(GtkButton*, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  copy_run(page, [version = run->facts.iperf_version.empty() ? iperf_version() : run->facts.iperf_version](
                     const RunRecord& r) { return run_report(r, version); }, "text");
}

void on_copy_csv(GtkButton*, gpointer data) noexcept {
  copy_run(*static_cast<PageRef*>(data), [](const RunRecord& r) { return intervals_csv(r); }, "CSV");
}

// What the page saves: the chosen run's CSV, the chosen run whole, or
// every run of the window.
enum class SaveKind { Csv, Run, AllRuns };

// Says how a save went: below the run for a run, beside the page's
// buttons for all of them.
void say_saved(Page& p, SaveKind kind, std::uint64_t id, const std::string& outcome) {
  if (p.gone) return;
  if (kind == SaveKind::AllRuns) set_label(p.file_status.get(), outcome);
  else if (id == p.selected) set_label(p.save_status.get(), outcome);
}

// Writes what `kind` asks for to `file`, from the runs as they are now. The
// text is made and the file written off the main thread, so that neither a
// long run nor a slow disk holds up the window.
void save_to(const PageRef& page, SaveKind kind, std::uint64_t id, GFile* file) {
  Page& p = *page;
  if (p.gone) return;
  const std::string name = file_display_path(file);
  std::vector<std::shared_ptr<const RunRecord>> runs;
  if (kind == SaveKind::AllRuns) {
    for (const auto& run : p.log->runs()) runs.push_back(record_to_read(p, *run));
  } else if (const RunRecord* run = p.log->find(id)) {
    if (kind == SaveKind::Csv) runs.push_back(record_to_read(p, *run));
    else  // a link check is kept whole
      for (const RunRecord* r : runs_kept_with(p.log->runs(), *run)) runs.push_back(record_to_read(p, *r));
  }
  if (runs.empty())
    return say_saved(p, kind, id,
                     kind == SaveKind::AllRuns ? "Not saved: there are no runs." : "Not saved: the run is no longer kept.");
  say_saved(p, kind, id, "Saving “" + name + "”…");
  save_file_in_background(
      file,
      [kind, runs = std::move(runs)] {
        if (kind == SaveKind::Csv) return intervals_csv(*runs.front());
        std::vector<const RunRecord*> all;
        for (const auto& run : runs) all.push_back(run.get());
        return run_file_text(all);
      },
      [weak = std::weak_ptr<Page>(page), kind, id, name](std::optional<std::string> error) {
        if (const auto page = weak.lock()) say_saved(*page, kind, id, save_outcome_text(name, error));
      });
}

struct SaveRequest {
  PageRef page;
  SaveKind kind;
  std::uint64_t id;
};

// Whatever the chooser gave back, the last save's word no longer applies.
void clear_save_word(const SaveRequest& r) {
  if (r.page->gone) return;
  if (r.kind == SaveKind::AllRuns) set_label(r.page->file_status.get(), "");
  else if (r.id == r.page->selected) set_label(r.page->save_status.get(), "");
}

#if GTK_CHECK_VERSION(4, 10, 0)
void on_save_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<SaveRequest> request(static_cast<SaveRequest*>(data));  // one call per request
  GError* error = nullptr;
  clear_save_word(*request);
  if (const auto file = Ref<GFile>::take(gtk_file_dialog_save_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    save_to(request->page, request->kind, request->id, file.get());
  g_clear_error(&error);  // dismissed, or the name refused
}
#else
// The dialog's one response. The reference save_dialog kept goes with it,
// and the request with the dialog.
void on_save_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  const SaveRequest& request = *static_cast<SaveRequest*>(data);
  clear_save_word(request);
  if (response != GTK_RESPONSE_ACCEPT) return;
  if (const auto file = Ref<GFile>::take(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))))
    save_to(request.page, request.kind, request.id, file.get());
}
#endif

void save_dialog(GtkWidget* from, const char* title, const std::string& name, SaveRequest* request) {
  auto* parent = GTK_WINDOW(gtk_widget_get_root(from));
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), title);
  gtk_file_dialog_set_initial_name(dialog.get(), name.c_str());
  gtk_file_dialog_save(dialog.get(), parent, nullptr, on_save_chosen, request);
#else
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new(title, parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name.c_str());
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_save_response), request,
                        [](gpointer d, GClosure*) { delete static_cast<SaveRequest*>(d); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));  // kept until its response
#endif
}

// A run file's proposed name: the CSV's, with the run files' suffix.
std::string run_file_name(const std::string& csv_name) {
  const auto dot = csv_name.rfind(".csv");
  return (dot == std::string::npos ? csv_name : csv_name.substr(0, dot)) + ".trellan";
}

void on_save(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  save_dialog(GTK_WIDGET(button), "Save as CSV", csv_file_name(*run), new SaveRequest{page, SaveKind::Csv, run->id});
}

void on_save_run(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  const RunRecord* run = page->selected_run();
  if (!run) return;
  save_dialog(GTK_WIDGET(button), "Save Run", run_file_name(csv_file_name(*run)),
              new SaveRequest{page, SaveKind::Run, run->id});
}

void on_save_all(GtkButton* button, gpointer data) noexcept {
  const PageRef& page = *static_cast<PageRef*>(data);
  if (page->log->runs().empty()) return;
  const std::string name = run_file_name(csv_file_name(*page->log->runs().back()));
  save_dialog(GTK_WIDGET(button), "Save All Runs", "trellan-runs" + name.substr(std::string("trellan").size()),
              new SaveRequest{page, SaveKind::AllRuns, 0});
}

// ---- opening files ----------------------------------------------------------

void show_open_failures(Page& p) {
  std::string text;
  for (const std::string& line : p.open_failures) text += (text.empty() ? "" : "\n") + line;
  set_label(p.file_status.get(), text);
}

void show_dropped_runs(Page& p) {
  set_label(p.cap_notice.get(), dropped_runs_text(p.log->dropped_measured(), p.log->dropped_opened()));
}

// Files asked for while others are still read wait their turn.
void open_files(const PageRef& page, std::vector<Ref<GFile>> files) {
  Page& p = *page;
  if (p.gone || files.empty()) return;
  if (!p.opening) {
    const std::weak_ptr<Page> weak = page;
    OpenReport report;
    report.progress = [weak](const std::string& text, double fraction) {
      auto page = weak.lock();
      if (!page || page->gone) return;
      gtk_widget_set_visible(page->progress_box.get(), !text.empty());
      if (text.empty()) return;
      set_label(page->progress_label.get(), text);
      gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(page->progress_bar.get()), fraction);
    };
    report.failed = [weak](const std::string& line) {
      auto page = weak.lock();
      if (!page || page->gone) return;
      page->open_failures.push_back(line);
      show_open_failures(*page);
    };
    report.changed = [weak] {
      if (auto page = weak.lock(); page && !page->gone) show_dropped_runs(*page);
    };
    report.done = [weak] {
      auto page = weak.lock();
      if (!page || page->gone) return;
      gtk_widget_set_visible(page->progress_box.get(), FALSE);
    };
    p.opening = std::make_unique<FileOpen>(p.log, std::move(report));
  }
  // What the last open said stays until the next one starts.
  if (!p.opening->busy()) {
    p.open_failures.clear();
    show_open_failures(p);
  }
  p.opening->add(std::move(files));
}

void on_cancel_open(GtkButton*, gpointer data) noexcept {
  Page& p = **static_cast<PageRef*>(data);
  if (p.opening) p.opening->cancel();
  gtk_widget_set_visible(p.progress_box.get(), FALSE);
}

struct OpenRequest {
  PageRef page;
};

std::vector<Ref<GFile>> files_of(GListModel* model) {
  std::vector<Ref<GFile>> files;
  const guint n = model ? g_list_model_get_n_items(model) : 0;
  for (guint i = 0; i < n; ++i) files.push_back(Ref<GFile>::take(G_FILE(g_list_model_get_item(model, i))));
  return files;
}

#if GTK_CHECK_VERSION(4, 10, 0)
void on_open_chosen(GObject* dialog, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<OpenRequest> request(static_cast<OpenRequest*>(data));
  GError* error = nullptr;
  if (const auto files = Ref<GListModel>::take(gtk_file_dialog_open_multiple_finish(GTK_FILE_DIALOG(dialog), result, &error)))
    open_files(request->page, files_of(files.get()));
  g_clear_error(&error);  // dismissed
}
#else
void on_open_response(GtkNativeDialog* dialog, int response, gpointer data) noexcept {
  const auto own = Ref<GtkNativeDialog>::take(dialog);
  const OpenRequest& request = *static_cast<OpenRequest*>(data);
  if (response != GTK_RESPONSE_ACCEPT) return;
  const auto files = Ref<GListModel>::take(gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog)));
  open_files(request.page, files_of(files.get()));
}
#endif

void choose_files(const PageRef& page) {
  auto* parent = GTK_WINDOW(gtk_widget_get_root(page->root.get()));
#if GTK_CHECK_VERSION(4, 10, 0)
  auto dialog = Ref<GtkFileDialog>::take(gtk_file_dialog_new());
  gtk_file_dialog_set_title(dialog.get(), "Open Runs");
  gtk_file_dialog_open_multiple(dialog.get(), parent, nullptr, on_open_chosen, new OpenRequest{page});
#else
  GtkFileChooserNative* dialog =
      gtk_file_chooser_native_new("Open Runs", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), TRUE);
  g_signal_connect_data(dialog, "response", G_CALLBACK(on_open_response), new OpenRequest{page},
                        [](gpointer d, GClosure*) { delete static_cast<OpenRequest*>(d); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
#endif
}

void on_open(GtkButton*, gpointer data) noexcept { choose_files(*static_cast<PageRef*>(data)); }

}  // namespace trellan::runs_page_parts
