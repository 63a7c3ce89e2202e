// A second program pasting: reads the clipboard as text the way a GTK
// application does and writes it to standard output. Exits 1, with the
// reason on standard error, when the text cannot be read.
#include <gtk/gtk.h>

#include <cstdio>

namespace {

struct Read {
  bool done = false;
  char* text = nullptr;
  GError* error = nullptr;
};

}  // namespace

int main() {
  gtk_init();
  Read read;
  GdkClipboard* clipboard = gdk_display_get_clipboard(gdk_display_get_default());
  gdk_clipboard_read_text_async(
      clipboard, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* r = static_cast<Read*>(data);
        r->text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, &r->error);
        r->done = true;
      },
      &read);
  while (!read.done) g_main_context_iteration(nullptr, TRUE);
  if (!read.text) {
    std::fprintf(stderr, "clipboard-reader: %s\n", read.error ? read.error->message : "no text");
    return 1;
  }
  std::fwrite(read.text, 1, strlen(read.text), stdout);
  g_free(read.text);
  return 0;
}
