// The needle gauge: its pure model (MeterState), rate formatting, painting,
// and the GTK widget that animates and draws it.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "meter.hpp"

namespace trellan {

// A GtkDrawingArea showing a MeterState. Copies share the same gauge. The
// widget animates itself on its frame clock for as long as it lives, also
// after every VuMeter copy has been dropped: its draw function and its tick
// callback each keep the state alive until GTK releases them.
class VuMeter {
 public:
  VuMeter();
  GtkWidget* widget() const;
  void set_value(double mbps);
  double peak() const;
  void reset();
  const MeterState& state() const;
  MeterState& state();

 private:
  std::shared_ptr<GtkWidget> area_;
  std::shared_ptr<MeterState> state_;
};

// The drawing area's draw function; `data` is a std::shared_ptr<MeterState>*.
// Chooses the light or dark palette from libadwaita on every frame.
void draw_gauge(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept;

}  // namespace trellan
