#include "core/save_file.hpp"

#include <memory>
#include <mutex>
#include <thread>
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

// One save. Everything GLib keeps for it is made and let go of on the
// caller's thread: the worker only writes the file, leaves its outcome
// under the lock and makes the caller's source ready. So the one hand-over
// is one that thread checkers see (GLib's own locks are futexes they do
// not).
struct BackgroundSave {
  // The application is held while the file is written: a window closed
  // meanwhile does not end the process halfway through the user's save.
  Ref<GApplication> app;
  std::function<void(std::optional<std::string>)> done;
  std::mutex lock;
  std::optional<std::string> error;  // under `lock`
};

using SaveRef = std::shared_ptr<BackgroundSave>;

gboolean on_saved(GSource*, GSourceFunc, gpointer data) noexcept {
  BackgroundSave& save = **static_cast<SaveRef*>(data);
  std::optional<std::string> error;
  {
    const std::lock_guard<std::mutex> hold(save.lock);
    error = std::move(save.error);
  }
  if (const auto done = std::exchange(save.done, nullptr)) done(std::move(error));
  if (const auto app = std::move(save.app)) g_application_release(app.get());
  return G_SOURCE_REMOVE;
}

GSourceFuncs kToldFuncs = {nullptr, nullptr, on_saved, nullptr, nullptr, nullptr};

}  // namespace

void save_file_in_background(GFile* file, std::string contents,
                             std::function<void(std::optional<std::string> error)> done) {
  GApplication* app = g_application_get_default();
  if (app) g_application_hold(app);
  auto save = std::make_shared<BackgroundSave>();
  save->app = Ref<GApplication>::add(app);
  save->done = std::move(done);
  // The caller hears from a turn of its own loop, once the worker makes
  // this source ready; until then it is never ready. The worker keeps a
  // reference, in case that loop's context goes first.
  GSource* told = g_source_new(&kToldFuncs, sizeof(GSource));
  g_source_set_priority(told, G_PRIORITY_DEFAULT);
  g_source_set_ready_time(told, -1);
  g_source_set_callback(told, nullptr, new SaveRef(save), [](gpointer data) { delete static_cast<SaveRef*>(data); });
  GMainContext* context = g_main_context_ref_thread_default();
  g_source_attach(told, context);
  g_main_context_unref(context);
  std::thread([save, told, file = Ref<GFile>::add(file), contents = std::move(contents)]() mutable {
    auto error = save_file_atomically(file.get(), contents);
    contents = std::string();  // the memory goes back now, not when the caller hears
    {
      const std::lock_guard<std::mutex> hold(save->lock);
      save->error = std::move(error);
    }
    g_source_set_ready_time(told, 0);
    g_source_unref(told);
  }).detach();
}

std::string save_outcome_text(const std::string& name, const std::optional<std::string>& error) {
  return error ? "Could not save “" + name + "”: " + *error + "." : "Saved as “" + name + "”.";
}

}  // namespace trellan
