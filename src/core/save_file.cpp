#include "core/save_file.hpp"

#include <utility>

#include "core/gobject.hpp"

namespace trellan {

namespace {

// GIO's messages for local files name the file, then the reason after the
// last ": "; whoever shows the message names the file already.
std::string reason_of(const GError* error) {
  const std::string_view message = error->message;
  const std::size_t colon = message.rfind(": ");
  return std::string(colon == std::string_view::npos ? message : message.substr(colon + 2));
}

}  // namespace

std::optional<std::string> save_file_atomically(GFile* file, std::string_view contents) {
  // Where no file stood, GIO writes the new one directly; a failure removes it.
  const bool existed = g_file_query_exists(file, nullptr);
  GError* error = nullptr;
  const auto out = Ref<GFileOutputStream>::take(
      g_file_replace(file, nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, &error));
  if (!out) {
    std::string reason = reason_of(error);
    g_error_free(error);
    return reason;
  }
  GOutputStream* stream = G_OUTPUT_STREAM(out.get());
  if (g_output_stream_write_all(stream, contents.data(), contents.size(), nullptr, nullptr, &error) &&
      g_output_stream_close(stream, nullptr, &error))
    return std::nullopt;

  std::string reason = reason_of(error);
  g_error_free(error);
  if (!g_output_stream_is_closed(stream)) {
    // Closing a stream that g_file_replace made renames its temporary file
    // into place, even after a failed write, unless the close is cancelled:
    // then the temporary file goes and the old file stays.
    const auto cancelled = Ref<GCancellable>::take(g_cancellable_new());
    g_cancellable_cancel(cancelled.get());
    g_output_stream_close(stream, cancelled.get(), nullptr);
  }
  if (!existed) g_file_delete(file, nullptr, nullptr);
  return reason;
}

namespace {

struct BackgroundSave {
  // The application is held while the file is written: a window closed
  // meanwhile does not end the process halfway through the user's save.
  Ref<GApplication> app;
  Ref<GFile> file;
  std::string contents;
  std::function<void(std::optional<std::string>)> done;
  std::optional<std::string> error;
};

}  // namespace

void save_file_in_background(GFile* file, std::string contents,
                             std::function<void(std::optional<std::string> error)> done) {
  GApplication* app = g_application_get_default();
  if (app) g_application_hold(app);
  auto* save = new BackgroundSave{Ref<GApplication>::add(app), Ref<GFile>::add(file), std::move(contents),
                                  std::move(done), std::nullopt};
  GTask* task = g_task_new(nullptr, nullptr, [](GObject*, GAsyncResult* result, gpointer) noexcept {
    auto* save = static_cast<BackgroundSave*>(g_task_get_task_data(G_TASK(result)));
    // What `done` holds goes here, on the caller's thread: the task itself
    // may be let go last by the worker.
    const auto done = std::exchange(save->done, nullptr);
    if (done) done(std::move(save->error));
    if (const auto app = std::move(save->app)) g_application_release(app.get());
  }, nullptr);
  g_task_set_task_data(task, save, [](gpointer data) { delete static_cast<BackgroundSave*>(data); });
  g_task_run_in_thread(task, [](GTask* task, gpointer, gpointer data, GCancellable*) noexcept {
    auto* save = static_cast<BackgroundSave*>(data);
    save->error = save_file_atomically(save->file.get(), save->contents);
    save->contents = std::string();  // the memory goes back now, not when the caller hears
    g_task_return_boolean(task, TRUE);
  });
  g_object_unref(task);
}

}  // namespace trellan
