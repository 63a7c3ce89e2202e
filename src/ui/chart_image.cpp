#include "ui/chart_image.hpp"

#include <cairo-svg.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace trellan {
namespace {

cairo_status_t append(void* closure, const unsigned char* data, unsigned int length) noexcept {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

bool paint_into(cairo_surface_t* surface, const std::function<void(cairo_t*)>& paint) {
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return false;
  cairo_t* cr = cairo_create(surface);
  paint(cr);
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  return ok;
}

}  // namespace

ImageFormat image_format_of(const std::string& file_name) {
  if (file_name.size() < 4) return ImageFormat::Png;
  std::string end = file_name.substr(file_name.size() - 4);
  std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return std::tolower(c); });
  return end == ".svg" ? ImageFormat::Svg : ImageFormat::Png;
}

std::string painted_image(ImageFormat format, int width, int height, const std::function<void(cairo_t*)>& paint) {
  std::string out;
  width = std::max(1, width);
  height = std::max(1, height);
  if (format == ImageFormat::Svg) {
    Surface surface(cairo_svg_surface_create_for_stream(append, &out, width, height), cairo_surface_destroy);
    if (!paint_into(surface.get(), paint)) return {};
    cairo_surface_finish(surface.get());  // writes the rest of the document
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
    return out;
  }
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), cairo_surface_destroy);
  if (!paint_into(surface.get(), paint)) return {};
  if (cairo_surface_write_to_png_stream(surface.get(), append, &out) != CAIRO_STATUS_SUCCESS) return {};
  return out;
}

}  // namespace trellan
