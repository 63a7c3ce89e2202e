#include "core/meter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/text.hpp"

namespace trellan {

namespace {

constexpr double kNeedleTau = 0.1;     // s
constexpr double kSnap = 0.01;         // Mbit/s
constexpr double kHeadroom = 1.15;
constexpr double kMinScale = 10.0;     // Mbit/s
constexpr double kGrowTau = 0.25;      // s
constexpr double kShrinkTau = 1.2;     // s
constexpr double kPeakHold = 2.0;      // s
constexpr double kPeakTau = 1.5;       // s
constexpr double kMaxStep = 0.1;       // s
// The largest value of the 10-20-50 series that a double holds; a reading
// near the top of the double range would otherwise give an infinite scale
// that never shrinks back (infinity minus infinity is NaN).
constexpr double kMaxScale = 1e308;

}  // namespace

double full_scale_goal(double reading) {
  const double w = reading * kHeadroom;
  if (!(w > 0.0)) return kMinScale;
  const double decade = std::pow(10.0, std::floor(std::log10(w)));
  const double r = w / decade;
  const double mantissa = r <= 1.0 ? 1.0 : r <= 2.0 ? 2.0 : r <= 5.0 ? 5.0 : 10.0;
  return std::min(std::max(decade * mantissa, kMinScale), kMaxScale);
}

void MeterState::set_value(double mbps) {
  if (!std::isfinite(mbps)) mbps = std::nan("");
  target = mbps > 0.0 ? mbps : 0.0;
  if (mbps > peak) {
    peak = mbps;
    peak_age = 0.0;
  }
}

bool MeterState::resting() const {
  // Once the hold has run out, a peak equal to the reading stays where it
  // is; while the hold runs, its age still decides what a lower reading does.
  return display == target && peak == target && (peak == 0.0 || peak_age > kPeakHold);
}

void MeterState::reset() {
  target = 0.0;
  peak = 0.0;
  peak_age = 0.0;
}

void MeterState::tick(std::int64_t frame_time_us) {
  double dt = 0.0;
  if (last_frame_time != 0) {
    dt = static_cast<double>(frame_time_us - last_frame_time) / 1e6;
    dt = std::min(std::max(dt, 0.0), kMaxStep);
  }
  last_frame_time = frame_time_us;

  display += (target - display) * (1.0 - std::exp(-dt / kNeedleTau));
  if (std::abs(target - display) < kSnap) display = target;

  const double goal = full_scale_goal(std::max(target, peak));
  const double tau = goal > scale_max ? kGrowTau : kShrinkTau;
  scale_max += (goal - scale_max) * (1.0 - std::exp(-dt / tau));

  peak_age += dt;
  if (peak_age > kPeakHold) {
    // One minus the exponential: once the hold has run out the held peak
    // falls to the current reading within a frame and then follows it down.
    peak *= 1.0 - std::exp(-dt / kPeakTau);
    if (target > peak) peak = target;
  }
}

namespace {

std::string fixed(double value, int digits) { return fixed_text(value, digits); }

}  // namespace

std::pair<std::string, std::string> format_rate(double mbps) {
  if (mbps >= 1000.0) return {fixed(mbps / 1000.0, 2), "Gbit/s"};
  if (mbps >= 1.0) return {fixed(mbps, 1), "Mbit/s"};
  return {fixed(mbps * 1000.0, 0), "Kbit/s"};
}

std::array<std::string, 3> tick_labels(double scale_max) {
  return {format_rate(0.0).first, format_rate(0.5 * scale_max).first,
          format_rate(scale_max).first};
}

}  // namespace trellan
