#include "ui/runs_page_files.hpp"

#include <atomic>
#include <deque>
#include <utility>

#include "core/run_file.hpp"

namespace trellan {

namespace {

// A file that reads faster than this shows no progress.
constexpr gint64 kProgressAfterUs = 500'000;
constexpr guint kProgressPollMs = 100;

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
  std::deque<Ref<GFile>> files;
  std::shared_ptr<RunLog> log;
  OpenReport report;
  std::shared_ptr<Reading> reading;  // the file being read, if any
  gint64 reading_since = 0;
  bool showing_progress = false;
  guint poll_source = 0;
  bool cancelled = false;
  bool done = false;
};

namespace {

using StateRef = std::shared_ptr<FileOpen::State>;

void read_next(const StateRef& state);

void read_in_thread(GTask* task, gpointer, gpointer data, GCancellable*) noexcept {
  auto& reading = **static_cast<std::shared_ptr<Reading>*>(data);
  try {
    reading.result = open_run_file(reading.path, reading.name, &reading.cancel,
                                   [&reading](double f) { reading.fraction.store(f); });
  } catch (const std::exception& e) {
    reading.result = OpenedFile{{}, e.what()};
  }
  g_task_return_boolean(task, TRUE);
}

void stop_progress(FileOpen::State& s) {
  if (s.poll_source) g_source_remove(std::exchange(s.poll_source, 0u));
  if (s.showing_progress && s.report.progress) s.report.progress("", 0);
  s.showing_progress = false;
}

void on_read(GObject*, GAsyncResult*, gpointer data) noexcept {
  const std::unique_ptr<StateRef> own(static_cast<StateRef*>(data));
  const StateRef state = *own;
  FileOpen::State& s = *state;
  const std::shared_ptr<Reading> reading = std::exchange(s.reading, nullptr);
  stop_progress(s);
  if (s.cancelled) {
    s.done = true;
    if (s.report.done) s.report.done();
    return;
  }
  OpenedFile& opened = reading->result;
  if (!opened.error.empty()) {
    if (s.report.failed) s.report.failed("Could not open “" + reading->name + "”: " + opened.error);
  } else if (opened.runs.empty()) {
    if (s.report.failed) s.report.failed("Could not open “" + reading->name + "”: It holds no run");
  } else {
    for (RunRecord& run : opened.runs) {
      if (run.source_file.empty()) run.source_file = reading->name;
      s.log->adopt(std::move(run));
    }
  }
  read_next(state);
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
      if (s.report.failed) s.report.failed("Could not open “" + reading->name + "”: It is not a local file");
      continue;
    }
    reading->path = path.get();
    s.reading = reading;
    s.reading_since = g_get_monotonic_time();
    // Progress is asked for at a steady pace, and shown once the file has
    // taken long enough to be worth it.
    s.poll_source = g_timeout_add_full(
        G_PRIORITY_DEFAULT, kProgressPollMs,
        [](gpointer data) noexcept -> gboolean {
          FileOpen::State& s = **static_cast<StateRef*>(data);
          if (!s.reading) return G_SOURCE_CONTINUE;
          if (g_get_monotonic_time() - s.reading_since < kProgressAfterUs) return G_SOURCE_CONTINUE;
          s.showing_progress = true;
          if (s.report.progress) s.report.progress(s.reading->name, s.reading->fraction.load());
          return G_SOURCE_CONTINUE;
        },
        new StateRef(state), [](gpointer data) { delete static_cast<StateRef*>(data); });
    GTask* task = g_task_new(nullptr, nullptr, on_read, new StateRef(state));
    g_task_set_task_data(task, new std::shared_ptr<Reading>(reading),
                         [](gpointer data) { delete static_cast<std::shared_ptr<Reading>*>(data); });
    g_task_run_in_thread(task, read_in_thread);
    g_object_unref(task);
    return;
  }
  s.done = true;
  if (s.report.done) s.report.done();
}

}  // namespace

FileOpen::FileOpen(std::vector<Ref<GFile>> files, std::shared_ptr<RunLog> log, OpenReport report)
    : state_(std::make_shared<State>()) {
  state_->files.assign(files.begin(), files.end());
  state_->log = std::move(log);
  state_->report = std::move(report);
  read_next(state_);
}

// The thread finishes its file; its result goes nowhere.
FileOpen::~FileOpen() {
  cancel();
  state_->report = {};
}

void FileOpen::cancel() {
  State& s = *state_;
  s.cancelled = true;
  s.files.clear();
  if (s.reading) s.reading->cancel.store(true);
  stop_progress(s);
}

bool FileOpen::finished() const { return state_->done; }

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
