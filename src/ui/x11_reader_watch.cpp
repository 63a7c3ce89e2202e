#include "ui/x11_reader_watch.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

namespace trellan {

#ifdef GDK_WINDOWING_X11
// Newer GTK marks parts of its X11 interface as on their way out; this
// file is for the GTK that still needs it, and stays quiet about that.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace {

struct Watch {
  GdkDisplay* display;
  Window window;
  Atom property;
  GObject* stream;  // weak: dropped from the list when it is finalized
  std::shared_ptr<ReaderFate> fate;
};

struct Watcher {
  bool hooked = false;
  // The last selection request seen, not yet matched with a stream.
  GdkDisplay* request_display = nullptr;
  Window requestor = None;
  Atom property = None;
  std::vector<Watch> watches;
};

Watcher& watcher() {
  static Watcher w;
  return w;
}

void on_stream_finalized(gpointer, GObject* stream) noexcept {
  auto& list = watcher().watches;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const Watch& w) { return w.stream == stream; }),
             list.end());
}

// The stream stops hearing the display's events: GDK connects its own
// handler with the stream as its data, and nothing else does. It is kept
// for good: its last reference let go would close it, and GTK 4.8 closes an
// X11 stream still in the middle of a transfer by waiting, on the main
// thread, for a flush that only the main loop can make.
void deafen(GdkDisplay* display, GObject* stream) {
  g_signal_handlers_disconnect_matched(display, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, stream);
  g_object_ref(stream);
}

void reader_gone(const std::shared_ptr<ReaderFate>& fate) {
  if (fate->gone) return;
  fate->gone = true;
  if (auto then = std::move(fate->on_gone)) then();
}

// Ends the watches that `ended` picks: their streams go deaf, their
// transfers learn that the reader is gone.
template <typename F>
void end_watches(GdkDisplay* display, F ended) {
  auto& list = watcher().watches;
  auto keep = std::stable_partition(list.begin(), list.end(), [&](const Watch& x) { return !ended(x); });
  std::vector<Watch> gone(keep, list.end());
  list.erase(keep, list.end());
  for (const Watch& x : gone) {
    g_object_weak_unref(x.stream, on_stream_finalized, nullptr);
    deafen(display, x.stream);
  }
  for (const Watch& x : gone) reader_gone(x.fate);
}

// Sees every X event before GDK's own handlers do, so a destroyed window is
// known before any event of a window that reuses its id.
gboolean on_xevent(GSignalInvocationHint*, guint n, const GValue* values, gpointer) noexcept {
  if (n < 2) return TRUE;
  auto* display = GDK_DISPLAY(g_value_get_object(&values[0]));
  const auto* xevent = static_cast<const XEvent*>(g_value_get_pointer(&values[1]));
  Watcher& w = watcher();
  if (xevent->type == SelectionRequest) {
    w.request_display = display;
    w.requestor = xevent->xselectionrequest.requestor;
    // GDK takes the target's name for the property when none is given.
    w.property = xevent->xselectionrequest.property != None ? xevent->xselectionrequest.property
                                                            : xevent->xselectionrequest.target;
  } else if (xevent->type == DestroyNotify) {
    const Window window = xevent->xdestroywindow.window;
    end_watches(display, [&](const Watch& x) { return x.display == display && x.window == window; });
  }
  return TRUE;
}

// GDK's own X11 stream, under the converter GDK puts around it for older
// text targets.
GObject* x11_stream_of(GOutputStream* stream) {
  while (G_IS_FILTER_OUTPUT_STREAM(stream)) stream = g_filter_output_stream_get_base_stream(G_FILTER_OUTPUT_STREAM(stream));
  return g_strcmp0(G_OBJECT_TYPE_NAME(stream), "GdkX11SelectionOutputStream") == 0 ? G_OBJECT(stream) : nullptr;
}

}  // namespace

void watch_x11_readers(GdkDisplay* display) {
  Watcher& w = watcher();
  if (w.hooked || !GDK_IS_X11_DISPLAY(display)) return;
  w.hooked = true;
  g_signal_add_emission_hook(g_signal_lookup("xevent", GDK_TYPE_X11_DISPLAY), 0, on_xevent, nullptr, nullptr);
}

std::shared_ptr<ReaderFate> watch_reader(GOutputStream* stream) {
  auto fate = std::make_shared<ReaderFate>();
  Watcher& w = watcher();
  GObject* x11 = x11_stream_of(stream);
  GdkDisplay* display = w.request_display;
  const Window window = w.requestor;
  const Atom property = w.property;
  if (!x11 || !display || window == None) return fate;
  // A reader that asks again into the same property of the same window has
  // given up what it was sent there before, even if it lives on.
  end_watches(display, [&](const Watch& x) {
    return x.display == display && x.window == window && x.property == property;
  });
  Display* xdisplay = GDK_DISPLAY_XDISPLAY(display);
  gdk_x11_display_error_trap_push(display);
  XWindowAttributes attrs;
  if (XGetWindowAttributes(xdisplay, window, &attrs))
    XSelectInput(xdisplay, window, attrs.your_event_mask | StructureNotifyMask);
  XSync(xdisplay, False);
  if (gdk_x11_display_error_trap_pop(display) != Success) {
    // Gone before it was served: the stream must not wait for that window.
    deafen(display, x11);
    fate->gone = true;
    return fate;
  }
  g_object_weak_ref(x11, on_stream_finalized, nullptr);
  w.watches.push_back({display, window, property, x11, fate});
  return fate;
}

G_GNUC_END_IGNORE_DEPRECATIONS

#else

void watch_x11_readers(GdkDisplay*) {}

std::shared_ptr<ReaderFate> watch_reader(GOutputStream*) { return std::make_shared<ReaderFate>(); }

#endif

}  // namespace trellan
