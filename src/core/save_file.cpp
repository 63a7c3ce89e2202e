#include "core/save_file.hpp"

#include <utility>

#include "core/background.hpp"
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

void save_file_in_background(GFile* file, std::function<std::string()> make_contents,
                             std::function<void(std::optional<std::string> error)> done) {
  run_in_background<std::optional<std::string>>(
      [file = Ref<GFile>::add(file), make_contents = std::move(make_contents)] {
        return save_file_atomically(file.get(), make_contents());
      },
      std::move(done));
}

void save_file_in_background(GFile* file, std::string contents,
                             std::function<void(std::optional<std::string> error)> done) {
  save_file_in_background(
      file, [contents = std::move(contents)]() mutable { return std::move(contents); }, std::move(done));
}

std::string save_outcome_text(const std::string& name, const std::optional<std::string>& error) {
  return error ? "Could not save “" + name + "”: " + *error + "." : "Saved as “" + name + "”.";
}

}  // namespace trellan
