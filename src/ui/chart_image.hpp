// A painter's picture as an image file's bytes: PNG through cairo's image
// surface, SVG through its SVG surface, the painter drawing at the size asked
// for either way. Cairo only.
#pragma once

#include <cairo.h>

#include <functional>
#include <string>

namespace trellan {

enum class ImageFormat { Png, Svg };

// The format a file name asks for: SVG for a name ending in ".svg" (any
// case), PNG otherwise.
ImageFormat image_format_of(const std::string& file_name);

// What `paint` draws into a width × height area, encoded; empty when cairo
// could not make or write the surface.
std::string painted_image(ImageFormat format, int width, int height, const std::function<void(cairo_t*)>& paint);

}  // namespace trellan
