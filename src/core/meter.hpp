// The gauge's display-free half: its animated model and rate formatting.
// Nothing here needs GTK, so it is tested without a display.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace trellan {

// All rates in Mbit/s. Shared by the widget, its tick callback and its draw
// function; everything runs on the main thread, so there is no lock.
struct MeterState {
  double target = 0.0, display = 0.0, peak = 0.0, peak_age = 0.0, scale_max = 10.0;
  std::int64_t last_frame_time = 0;  // µs; 0 until the first tick

  // A new reading. Negative and NaN readings (and infinities, which no real
  // measurement produces) set the target to 0 and leave the peak alone.
  void set_value(double mbps);
  // Target and peak back to zero; the needle and dial glide back by ticking.
  void reset();
  // One animation step at frame-clock time `frame_time_us` (µs).
  void tick(std::int64_t frame_time_us);
  // The needle stands on the reading and the peak will not move by itself;
  // only the full scale may still be gliding toward full_scale_goal.
  bool resting() const;
};

// The full scale a reading (the larger of target and peak) makes the dial
// glide to: the smallest of 10, 20, 50, 100, 200, ... at least 1.15 times it.
double full_scale_goal(double reading);

// {number, unit}: "1.23" "Gbit/s", "950.0" "Mbit/s", "250" "Kbit/s". The
// decimal separator is always '.', whatever the process locale.
std::pair<std::string, std::string> format_rate(double mbps);

// The number texts of the three labelled ticks (left, middle, right end).
std::array<std::string, 3> tick_labels(double scale_max);

}  // namespace trellan
