#include "ui/clipboard_text.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using Text = std::shared_ptr<const std::string>;

// What one slice may be: small enough for the X11 clipboard's incremental
// transfer to take without stalling, large enough that megabytes go in a
// fraction of a second.
constexpr std::size_t kSlice = 64 * 1024;

}  // namespace

struct _TrellanTextContent {
  GdkContentProvider parent;
  Text* text;
};

G_DECLARE_FINAL_TYPE(TrellanTextContent, trellan_text_content, TRELLAN, TEXT_CONTENT, GdkContentProvider)
G_DEFINE_FINAL_TYPE(TrellanTextContent, trellan_text_content, GDK_TYPE_CONTENT_PROVIDER)

namespace {

const char* kMimeTypes[] = {"text/plain;charset=utf-8"};

// UTF-8 text only: GDK offers it to X11 readers under their own names for
// it, and never falls back on its own text content, the one that hangs.
GdkContentFormats* ref_formats(GdkContentProvider*) noexcept {
  return gdk_content_formats_new(kMimeTypes, 1);
}

// One reader's transfer: the text it gets and how far it got.
struct Transfer {
  GTask* task;  // owned
  GOutputStream* stream;
  Text text;
  std::size_t done = 0;
};

void write_next(std::unique_ptr<Transfer> t);

void on_slice_written(GObject* stream, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<Transfer> t(static_cast<Transfer*>(data));
  GError* error = nullptr;
  const gssize n = g_output_stream_write_finish(G_OUTPUT_STREAM(stream), result, &error);
  if (n < 0) {
    g_task_return_error(t->task, error);
    g_object_unref(t->task);
    return;
  }
  t->done += static_cast<std::size_t>(n);
  write_next(std::move(t));
}

void write_next(std::unique_ptr<Transfer> t) {
  if (t->done >= t->text->size()) {
    g_task_return_boolean(t->task, TRUE);
    g_object_unref(t->task);
    return;
  }
  const std::size_t n = std::min(kSlice, t->text->size() - t->done);
  GOutputStream* stream = t->stream;
  const char* from = t->text->data() + t->done;
  GCancellable* cancellable = g_task_get_cancellable(t->task);
  const int priority = g_task_get_priority(t->task);
  g_output_stream_write_async(stream, from, n, priority, cancellable, on_slice_written, t.release());
}

void write_mime_type_async(GdkContentProvider* provider, const char* mime_type, GOutputStream* stream,
                           int priority, GCancellable* cancellable, GAsyncReadyCallback callback,
                           gpointer data) noexcept {
  GTask* task = g_task_new(provider, cancellable, callback, data);
  g_task_set_priority(task, priority);
  if (g_strcmp0(mime_type, kMimeTypes[0]) != 0) {
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "Cannot provide “%s”", mime_type);
    g_object_unref(task);
    return;
  }
  write_next(std::unique_ptr<Transfer>(
      new Transfer{task, stream, *TRELLAN_TEXT_CONTENT(provider)->text}));
}

gboolean write_mime_type_finish(GdkContentProvider*, GAsyncResult* result, GError** error) noexcept {
  return g_task_propagate_boolean(G_TASK(result), error);
}

}  // namespace

static void trellan_text_content_finalize(GObject* object) {
  delete TRELLAN_TEXT_CONTENT(object)->text;
  G_OBJECT_CLASS(trellan_text_content_parent_class)->finalize(object);
}

static void trellan_text_content_class_init(TrellanTextContentClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = trellan_text_content_finalize;
  auto* provider = GDK_CONTENT_PROVIDER_CLASS(klass);
  provider->ref_formats = ref_formats;
  provider->write_mime_type_async = write_mime_type_async;
  provider->write_mime_type_finish = write_mime_type_finish;
}

static void trellan_text_content_init(TrellanTextContent* content) { content->text = new Text(); }

namespace trellan {

void set_clipboard_text(GdkClipboard* clipboard, std::string text) {
  auto* content = TRELLAN_TEXT_CONTENT(g_object_new(trellan_text_content_get_type(), nullptr));
  *content->text = std::make_shared<const std::string>(std::move(text));
  gdk_clipboard_set_content(clipboard, GDK_CONTENT_PROVIDER(content));
  g_object_unref(content);
}

}  // namespace trellan
