// What a painter drew, as pixels: for the pixel checks of the chart and the
// latency plot, which need no display.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <functional>

namespace trellan::testing {

struct Rgb {
  double r, g, b;
};

class Picture {
 public:
  Picture(int width, int height, const std::function<void(cairo_t*)>& paint)
      : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)) {
    cairo_t* cr = cairo_create(surface_);
    paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface_);
  }
  ~Picture() { cairo_surface_destroy(surface_); }
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  Rgb at(int x, int y) const {
    const auto* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
    const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
    return {((p >> 16) & 0xff) / 255.0, ((p >> 8) & 0xff) / 255.0, (p & 0xff) / 255.0};
  }

 private:
  cairo_surface_t* surface_;
};

}  // namespace trellan::testing
