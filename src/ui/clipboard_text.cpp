#include "ui/clipboard_text.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "core/gobject.hpp"
#include "ui/x11_reader_watch.hpp"

namespace {

using trellan::Ref;
using trellan::SourcePtr;
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
  Ref<GTask> task;
  Ref<GOutputStream> stream;
  Text text;
  std::shared_ptr<trellan::ReaderFate> reader;
  std::size_t done = 0;
};

void fail_reader_gone(GTask* task) {
  g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE, "The reader went away");
}

void write_next(std::unique_ptr<Transfer> t);

// The next step of a transfer, from a turn of the main loop of its own.
gboolean on_next_turn(gpointer data) noexcept {
  write_next(std::unique_ptr<Transfer>(static_cast<Transfer*>(data)));
  return G_SOURCE_REMOVE;
}

// GTK before 4.12 can finish a write to an X11 reader from inside its own
// flush, before it forgets that write; a write, flush or close asked for
// from there aborts the program (the stream asserts it has no task pending).
// That close comes as soon as the last slice is taken, through the
// clipboard's own completion. So a transfer goes on, or ends, only from a
// later turn of the main loop, never from within the stream's callback.
void on_slice_written(GObject* stream, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<Transfer> t(static_cast<Transfer*>(data));
  t->reader->on_gone = nullptr;
  GError* error = nullptr;
  const gssize n = g_output_stream_write_finish(G_OUTPUT_STREAM(stream), result, &error);
  if (!t->task) {
    // Ended already: the reader went while this slice's word was on its way.
    g_clear_error(&error);
    return;
  }
  if (n < 0) {
    g_task_return_error(t->task.get(), error);
    return;
  }
  t->done += static_cast<std::size_t>(n);
  SourcePtr turn(g_idle_source_new());
  g_source_set_priority(turn.get(), g_task_get_priority(t->task.get()));
  g_source_set_callback(turn.get(), on_next_turn, t.release(), nullptr);
  g_source_attach(turn.get(), g_task_get_context(G_TASK(result)));
}

void write_next(std::unique_ptr<Transfer> t) {
  if (g_task_return_error_if_cancelled(t->task.get())) return;
  if (t->reader->gone) {
    fail_reader_gone(t->task.get());
    return;
  }
  if (t->done >= t->text->size()) {
    g_task_return_boolean(t->task.get(), TRUE);
    return;
  }
  const std::size_t n = std::min(kSlice, t->text->size() - t->done);
  GOutputStream* stream = t->stream.get();
  const char* from = t->text->data() + t->done;
  GCancellable* cancellable = g_task_get_cancellable(t->task.get());
  const int priority = g_task_get_priority(t->task.get());
  // A slice the stream has taken but not yet sent waits there for the
  // reader; if the reader goes meanwhile it waits for ever, and so the
  // transfer ends here, and lets go of the text. GDK's close of the stream
  // then fails at once, since the write is still pending on it: no flush or
  // close ever runs on a stream left waiting.
  Transfer* pending = t.get();
  t->reader->on_gone = [pending] {
    fail_reader_gone(pending->task.get());
    pending->task = {};
    pending->text = {};
  };
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
  write_next(std::unique_ptr<Transfer>(new Transfer{Ref<GTask>::take(task), Ref<GOutputStream>::add(stream),
                                                    *TRELLAN_TEXT_CONTENT(provider)->text,
                                                    trellan::watch_reader(stream)}));
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
  watch_x11_readers(gdk_clipboard_get_display(clipboard));
  auto* content = TRELLAN_TEXT_CONTENT(g_object_new(trellan_text_content_get_type(), nullptr));
  *content->text = std::make_shared<const std::string>(std::move(text));
  gdk_clipboard_set_content(clipboard, GDK_CONTENT_PROVIDER(content));
  g_object_unref(content);
}

}  // namespace trellan
