// Saves a PNG of a top-level X window found by its title (or of the whole
// screen): the project's scripts use it for screenshots under Xvfb.
//   x11-shot OUT.png [TITLE]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <cstdio>
#include <cstring>

namespace {

Window find_window(Display* d, const char* title) {
  Window root = DefaultRootWindow(d), parent = 0, *children = nullptr, found = 0;
  unsigned n = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &n)) return 0;
  for (unsigned i = 0; i < n && !found; ++i) {
    XWindowAttributes a{};
    char* name = nullptr;
    if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
        XFetchName(d, children[i], &name) && name) {
      if (std::strcmp(name, title) == 0) found = children[i];
      XFree(name);
    }
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [TITLE]\n", argv[0]);
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "x11-shot: cannot open the display\n");
    return 1;
  }
  Window w = argc > 2 ? find_window(d, argv[2]) : DefaultRootWindow(d);
  if (!w) {
    std::fprintf(stderr, "x11-shot: no window titled \"%s\"\n", argv[2]);
    XCloseDisplay(d);
    return 1;
  }
  XWindowAttributes a{};
  XGetWindowAttributes(d, w, &a);
  cairo_surface_t* src = cairo_xlib_surface_create(d, w, a.visual, a.width, a.height);
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, a.width, a.height);
  cairo_t* cr = cairo_create(out);
  cairo_set_source_surface(cr, src, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(out, argv[1]);
  cairo_surface_destroy(out);
  cairo_surface_destroy(src);
  XCloseDisplay(d);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "x11-shot: %s\n", cairo_status_to_string(status));
    return 1;
  }
  return 0;
}
