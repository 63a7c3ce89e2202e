// Whether the X11 program reading a clipboard transfer is still there.
//
// GTK 4.8's X11 selection stream sends a long text in increments, each when
// the reader has deleted the last from a property of its window, and it
// knows the reader only by that window's id. A reader that dies in the middle
// leaves the stream waiting for good, still listening to that window id; the
// X server soon hands the same id to the next reader, which uses the same
// property, and the stale stream then answers that reader's deletes: it
// writes its own leftover bytes into the new reader's property (that paste
// gets the wrong text), and drops a reference of its own at every delete
// until it is freed while a close of it is still under way on a GIO worker
// thread or a task of the main loop (a segfault, or a flush that waits for
// the main loop from the main loop, for ever).
//
// So the reader's window is watched: when it is destroyed, or when the same
// window asks again into the same property (a reader that gave up a transfer
// and lives on), the stream that served it stops listening to the display at
// once, before any event for the new transfer can reach it. Such a stream never ends and is
// never let go (closing it would hang the main thread); it keeps what it
// holds (at most a few hundred kilobytes), the price of a reader killed
// mid-transfer. Elsewhere than X11 nothing is watched.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>

namespace trellan {

// What the transfer learns of its reader; main thread only.
struct ReaderFate {
  bool gone = false;
  // Called once when the reader goes, if set then.
  std::function<void()> on_gone;
};

// Lets watch_reader see the requests of X11 readers on `display`: call it
// before anything is put on that display's clipboards.
void watch_x11_readers(GdkDisplay* display);

// Starts watching the reader being served on `stream` now: call it from a
// content provider's write_mime_type_async, which GDK calls while it
// handles that reader's request.
std::shared_ptr<ReaderFate> watch_reader(GOutputStream* stream);

}  // namespace trellan
