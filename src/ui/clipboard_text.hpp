// Putting text on the clipboard whatever its size. GTK 4.8's own text
// content hangs the main thread for good when another program reads a few
// hundred kilobytes of it through the X11 clipboard; this content is written
// to the reader in slices, each slice when the stream has taken the last, so
// the window keeps answering while a long run's CSV is pasted elsewhere; and
// never from inside the stream's own callbacks, which GTK before 4.12 does
// not survive (see clipboard_text.cpp). Any size is safe to copy.
#pragma once

#include <gtk/gtk.h>

#include <string>

namespace trellan {

void set_clipboard_text(GdkClipboard* clipboard, std::string text);

}  // namespace trellan
