// The needle gauge widget: a GtkDrawingArea that animates a MeterState on
// its frame clock while anything on the dial moves, and paints it.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <memory>

#include "core/gobject.hpp"
#include "core/meter.hpp"

namespace trellan {

// A GtkDrawingArea showing a MeterState. Copies share the same gauge; the
// widget's own callbacks keep the gauge alive after every copy is dropped.
//
// The gauge asks its frame clock for frames only while something it shows
// can change: set_value, reset, a switch between light and dark appearance
// and a resize start the animation, and once the needle, the peak and the
// dial have come to rest (nothing left to paint) the gauge lets the clock go
// idle. While it animates it draws a frame only when its picture changed
// (something moved by a quarter of a device pixel, or a text changed), and
// no more often than its frame budget allows: the budget holds what the
// whole process spends while the gauge moves (every thread, the renderer's
// too) to a few percent of a core, so where frames are dear (software
// rendering, a huge window) it glides at fewer frames a second, down to 2.
class VuMeter {
 public:
  VuMeter();
  GtkWidget* widget() const;
  void set_value(double mbps);
  double peak() const;
  void reset();
  // While readings have stopped the gauge shows that nothing is being
  // measured: the needle falls to zero, the dial is dimmed and assistive
  // technology hears "No reading"; the peak stays. The next set_value
  // moves the needle again; set_stalled(false) lifts the rest.
  void set_stalled(bool stalled);
  bool stalled() const;
  // How many frames the draw function has drawn.
  std::uint64_t frames_drawn() const;
  // The state as it stands. Changes made through the writable reference
  // show from the next set_value or reset on.
  const MeterState& state() const;
  MeterState& state();

  struct Impl;  // the state with what its callbacks keep between frames

 private:
  Ref<GtkWidget> area_;
  std::shared_ptr<Impl> impl_;
};

// The drawing area's draw function; `data` is the gauge's shared record.
// Chooses the light or dark palette from libadwaita on every frame.
void draw_gauge(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept;

}  // namespace trellan
