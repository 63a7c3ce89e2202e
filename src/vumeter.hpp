// The needle gauge: its pure model (MeterState), rate formatting, painting,
// and the GTK widget that animates and draws it.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace trellan {

struct MeterState {
  double target = 0.0, display = 0.0, peak = 0.0, peak_age = 0.0, scale_max = 10.0;
  std::int64_t last_frame_time = 0;
  void set_value(double mbps);
  void reset();
  void tick(std::int64_t frame_time_us);
};

std::pair<std::string, std::string> format_rate(double mbps);
void paint_gauge(cairo_t* cr, double width, double height, const MeterState& state, bool dark);

// A GtkDrawingArea showing a MeterState. Copies share the same gauge.
class VuMeter {
 public:
  VuMeter();  // VuMeter::new
  GtkWidget* widget() const;
  void set_value(double mbps);
  double peak() const;
  void reset();
  const MeterState& state() const;
  // ... (implementation details in vumeter.cpp)
};

}  // namespace trellan
