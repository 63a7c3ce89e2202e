// Painting the gauge with cairo: the plain painter, the painter that keeps
// the still parts of the dial in cached layers, and the reduction of a gauge
// state to what its frame shows.
#pragma once

#include <cairo.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/meter.hpp"

namespace trellan {

// Paints one frame of the gauge into a width × height area at the user-space
// origin of `cr`. Reads `state` only; strokes every part of the dial anew.
void paint_gauge(cairo_t* cr, double width, double height, const MeterState& state, bool dark);

// What one frame of the gauge shows, reduced to what the eye can tell apart
// at a given size and scale. The needle and the peak marker are angles
// counted in steps that move the dial's outermost moving point (the end of the
// peak marker) by a quarter of a device pixel: a state whose picture equals
// that of the last frame drawn differs from it by less than anyone can see,
// and needs no new frame.
struct GaugeFrame {
  double width = 0, height = 0, scale = 1;
  bool dark = false;
  bool value_arc = false;
  std::int64_t needle = 0;
  bool peak_marker = false;
  std::int64_t peak = 0;
  std::array<std::string, 3> labels;
  std::string readout;

  bool operator==(const GaugeFrame&) const = default;
};

GaugeFrame gauge_frame(const MeterState& state, double width, double height, bool dark,
                           double scale);

// paint_gauge, except that the track, the tick marks, each tick label and
// each whole 1/64 piece of the value arc are painted once into layers kept
// for the next frames: a frame strokes only the value arc's last, partial
// piece, the peak marker, the needle, the hub and the readout, and composites
// the layers where and when paint_gauge would paint those parts. The pixels
// are those of paint_gauge up to the rounding of one extra compositing step;
// painted on a recording that is replayed off the device pixel grid, the
// layers are resampled, without seams where their tiles meet.
// `scale` is the device pixels per user unit the frame will be shown at.
class GaugePainter {
 public:
  GaugePainter() = default;
  GaugePainter(const GaugePainter&) = delete;
  GaugePainter& operator=(const GaugePainter&) = delete;

  void paint(cairo_t* cr, double width, double height, const MeterState& state, bool dark,
             double scale = 1.0);

  // A painted part that does not change from frame to frame, in device
  // pixels, composited through the tiles that hold ink.
  class Layer {
   public:
    Layer() = default;
    ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Paints the layer anew with `draw` unless it was last painted under
    // `key`. `like` lends its font, font options, tolerance and antialiasing.
    template <typename Draw>
    void ensure(cairo_t* like, const std::string& key, double scale, Draw draw) {
      if (key == key_ && valid_) return;
      rebuild(like, key, scale, &draw, [](cairo_t* c, void* d) { (*static_cast<Draw*>(d))(c); });
    }
    void composite(cairo_t* cr) const;

   private:
    // A run of tiles with ink, at device pixel (x, y) of the frame.
    struct Box {
      cairo_surface_t* surface;
      int x, y, width, height;
    };
    void rebuild(cairo_t* like, const std::string& key, double scale, void* data,
                 void (*draw)(cairo_t*, void*));
    void clear();

    std::string key_;
    bool valid_ = false;
    int dx_ = 0, dy_ = 0;  // device pixel of the painted area's top left corner
    double scale_ = 1.0;
    std::vector<Box> boxes_;
  };

 private:
  Layer track_, ticks_;
  std::array<Layer, 64> pieces_;  // the whole 1/64 pieces of the value arc
  std::array<Layer, 3> labels_;
};

}  // namespace trellan
