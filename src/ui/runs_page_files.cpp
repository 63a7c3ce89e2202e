#include "ui/runs_page_files.hpp"

#include <atomic>
#include <deque>
#include <utility>

#include "core/run_file.hpp"
#include "core/run_words.hpp"

namespace trellan {

namespace {

// An open that takes longer than this shows its progress.
constexpr gint64 kProgressAfterUs = 500'000;
constexpr guint kProgressPollMs = 100;
// Runs join the log for about this long in each turn of the main loop,
// between frames and input: at least one, whatever it costs.
constexpr gint64 kAddingBudgetUs = 6'000;

// What the reading thread shares with the main thread: the file, where to
// stop, how far it has got, and what it found.
struct Reading {
  std::string path, name;
  std::atomic<bool> cancel{false};
  std::atomic<double> fraction{0};
  OpenedFile result;
};

}  // namespace

struct FileOpen::State {
  std::shared_ptr<RunLog> log;
  OpenReport report;
  std::deque<Ref<GFile>> files;      // waiting to be read
  std::shared_ptr<Reading> reading;  // the file being read, if any
  // The runs of the file read last, still to join the log.
  std::deque<RunRecord> adding;
  std::string adding_name;
  std::size_t adding_total = 0;
  guint adding_source = 0;
  gint64 busy_since = 0;
  bool showing_progress = false;
  guint poll_source = 0;
};

namespace {

using StateRef = std::shared_ptr<FileOpen::State>;

void read_next(const StateRef& state);

bool has_work(const FileOpen::State& s) { return s.reading || !s.adding.empty() || !s.files.empty(); }

void read_in_thread(GTask* task, gpointer, gpointer data, GCancellable*) noexcept {
  auto& reading = **static_cast<std::shared_ptr<Reading>*>(data);
  try {
    reading.result = open_run_file(reading.path, reading.name, &reading.cancel,
                                   [&reading](double f) { reading.fraction.store(f); });
  } catch (const std::exception& e) {
    reading.result = OpenedFile{{}, 0, e.what()};
  }
  g_task_return_boolean(task, TRUE);
}

void show_progress(FileOpen::State& s) {
  if (!has_work(s) || g_get_monotonic_time() - s.busy_since < kProgressAfterUs) return;
  s.showing_progress = true;
  if (!s.report.progress) return;
  if (s.reading)
    s.report.progress(opening_text(s.reading->name, false, s.files.size()), s.reading->fraction.load());
  else if (!s.adding.empty())
    s.report.progress(opening_text(s.adding_name, true, s.files.size()),
                      1.0 - static_cast<double>(s.adding.size()) / static_cast<double>(s.adding_total));
}

// The open has nothing left to do, or was cancelled.
void finish(FileOpen::State& s) {
  if (s.poll_source) g_source_remove(std::exchange(s.poll_source, 0u));
  if (s.adding_source) g_source_remove(std::exchange(s.adding_source, 0u));
  if (s.showing_progress && s.report.progress) s.report.progress("", 0);
  s.showing_progress = false;
  if (s.report.done) s.report.done();
}

// Some of the runs read, as many as fit in this turn of the main loop.
gboolean add_some(gpointer data) noexcept {
  const StateRef state = *static_cast<StateRef*>(data);
  FileOpen::State& s = *state;
  const gint64 from = g_get_monotonic_time();
  do {
    s.log->adopt(std::move(s.adding.front()));
    s.adding.pop_front();
  } while (!s.adding.empty() && g_get_monotonic_time() - from < kAddingBudgetUs);
  if (s.report.changed) s.report.changed();
  if (!s.adding.empty()) return G_SOURCE_CONTINUE;
  s.adding_source = 0;
  read_next(state);
  return G_SOURCE_REMOVE;
}

void on_read(GObject*, GAsyncResult* result, gpointer data) noexcept {
  const std::unique_ptr<StateRef> own(static_cast<StateRef*>(data));
  const StateRef state = *own;
  FileOpen::State& s = *state;
  // A cancelled file's result goes nowhere, even when another is read by now.
  const auto& mine = *static_cast<std::shared_ptr<Reading>*>(g_task_get_task_data(G_TASK(result)));
  if (s.reading != mine) return;
  const std::shared_ptr<Reading> reading = std::exchange(s.reading, nullptr);
  OpenedFile& opened = reading->result;
  if (!opened.error.empty() || opened.runs.empty()) {
    if (s.report.failed)
      s.report.failed(could_not_open_text(reading->name, opened.error.empty() ? "It holds no run" : opened.error));
    read_next(state);
    return;
  }
  for (RunRecord& run : opened.runs) {
    if (run.source_file.empty()) run.source_file = reading->name;
    s.adding.push_back(std::move(run));
  }
  s.adding_name = reading->name;
  s.adding_total = s.adding.size();
  s.log->count_left_out(opened.left_out);
  show_progress(s);
  s.adding_source = g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, add_some, new StateRef(state),
                                    [](gpointer d) { delete static_cast<StateRef*>(d); });
}

void read_next(const StateRef& state) {
  FileOpen::State& s = *state;
  while (!s.files.empty()) {
    const Ref<GFile> file = std::move(s.files.front());
    s.files.pop_front();
    auto reading = std::make_shared<Reading>();
    reading->name = file_display_name(file.get());
    CharPtr path(g_file_get_path(file.get()));
    if (!path) {
      if (s.report.failed) s.report.failed(could_not_open_text(reading->name, "It is not a local file"));
      continue;
    }
    reading->path = path.get();
    s.reading = reading;
    show_progress(s);
    GTask* task = g_task_new(nullptr, nullptr, on_read, new StateRef(state));
    g_task_set_task_data(task, new std::shared_ptr<Reading>(reading),
                         [](gpointer data) { delete static_cast<std::shared_ptr<Reading>*>(data); });
    g_task_run_in_thread(task, read_in_thread);
    g_object_unref(task);
    return;
  }
  finish(s);
}

}  // namespace

FileOpen::FileOpen(std::shared_ptr<RunLog> log, OpenReport report) : state_(std::make_shared<State>()) {
  state_->log = std::move(log);
  state_->report = std::move(report);
}

// A thread still reading finishes its file; its result goes nowhere.
FileOpen::~FileOpen() {
  State& s = *state_;
  s.report = {};
  s.files.clear();
  s.adding.clear();
  if (s.reading) s.reading->cancel.store(true);
  s.reading = nullptr;
  finish(s);
}

void FileOpen::add(std::vector<Ref<GFile>> files) {
  State& s = *state_;
  if (files.empty()) return;
  const bool was_busy = has_work(s);
  s.files.insert(s.files.end(), files.begin(), files.end());
  if (was_busy) return;
  s.busy_since = g_get_monotonic_time();
  // Progress is asked for at a steady pace, and shown once the open has
  // taken long enough to be worth it.
  s.poll_source = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kProgressPollMs,
      [](gpointer data) noexcept -> gboolean {
        show_progress(**static_cast<StateRef*>(data));
        return G_SOURCE_CONTINUE;
      },
      new StateRef(state_), [](gpointer data) { delete static_cast<StateRef*>(data); });
  read_next(state_);
}

void FileOpen::cancel() {
  State& s = *state_;
  if (!has_work(s)) return;
  std::vector<std::string> not_opened;
  if (s.reading) {
    s.reading->cancel.store(true);
    not_opened.push_back(std::exchange(s.reading, nullptr)->name);
  }
  for (const Ref<GFile>& file : s.files) not_opened.push_back(file_display_name(file.get()));
  s.files.clear();
  const std::size_t not_added = s.adding.size();
  s.adding.clear();
  const std::string line = open_cancelled_text(s.adding_name, not_added, not_opened);
  if (!line.empty() && s.report.failed) s.report.failed(line);
  finish(s);
}

bool FileOpen::busy() const { return has_work(*state_); }

std::string file_display_path(GFile* file) {
  if (CharPtr path{g_file_get_path(file)}) {
    CharPtr name(g_filename_display_name(path.get()));
    return name.get();
  }
  CharPtr parse(g_file_get_parse_name(file));
  return parse.get();
}

std::string file_display_name(GFile* file) {
  if (CharPtr path{g_file_get_path(file)}) {
    CharPtr name(g_filename_display_basename(path.get()));
    return name.get();
  }
  CharPtr parse(g_file_get_parse_name(file));
  const std::string s = parse.get();
  const auto slash = s.find_last_of('/');
  return slash == std::string::npos || slash + 1 == s.size() ? s : s.substr(slash + 1);
}

}  // namespace trellan
