#include "ui/vumeter.hpp"

#include <adwaita.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/gauge_painter.hpp"
#include "core/run_words.hpp"

namespace trellan {

namespace {

// How often the gauge draws while it glides, chosen from what the machine
// pays while it does: the CPU time of the whole process (every thread, so a
// software renderer's workers too) per second of frame-clock time. That takes
// in the draw function, the renderer, the ticks that drew nothing and all
// else the app does meanwhile (the readings, their labels and what they send
// to the accessibility bus). While the gauge moves, the process may spend
// kBudgetUs of CPU time a second: after each sample the gauge takes the
// highest rate of kRates that the sample says keeps within it, charging the
// whole cost as if it grew with the rate (it grows less: going up is never
// more than the sample allows, going down may take another sample). A gap of
// more than kGapUs between ticks (the gauge at rest) starts the count afresh,
// so that what the app does while the gauge is still is not charged to it.
class FrameBudget {
 public:
  // Called on every tick with the frame-clock time; whether a frame may be
  // drawn now, given that the picture changed.
  bool may_draw(std::int64_t frame_time_us) const {
    return last_draw_ == 0 || frame_time_us - last_draw_ >= 1'000'000 / rate() - kSlackUs;
  }
  // The tick asks for a frame.
  void drawing(std::int64_t frame_time_us) { last_draw_ = frame_time_us; }
  // Every tick, before any frame it asks for: a sample of the cost per
  // second once enough frame-clock time has passed.
  void ticked(std::int64_t frame_time_us) {
    // The process's CPU clock sums over its threads: read only when needed.
    if (from_cpu_ < 0 || frame_time_us - last_tick_ > kGapUs || frame_time_us < last_tick_) {
      restart(cpu_us(), frame_time_us);
    } else if (frame_time_us - from_time_ >= kSampleUs) {
      const std::int64_t cpu = cpu_us();
      const double per_second = 1e6 * static_cast<double>(cpu - from_cpu_) /
                                static_cast<double>(frame_time_us - from_time_);
      cost_ = cost_ < 0 ? per_second : cost_ + (per_second - cost_) * kSmoothing;
      choose_rate();
      restart(cpu, frame_time_us);
    }
    last_tick_ = frame_time_us;
  }
  int rate() const { return kRates[level_]; }

 private:
  static constexpr std::array<int, 8> kRates{60, 30, 20, 15, 10, 6, 4, 2};  // frames a second
  static constexpr double kBudgetUs = 60'000.0;       // CPU time per second of glide
  static constexpr double kSmoothing = 0.5;
  static constexpr std::int64_t kSampleUs = 1'000'000;  // a sample spans a reading's work
  static constexpr std::int64_t kGapUs = 1'500'000;     // ticks further apart start afresh
  static constexpr std::int64_t kSlackUs = 4'000;       // frame times jitter around the refresh
  static std::int64_t cpu_us() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
  }
  void restart(std::int64_t cpu, std::int64_t frame_time_us) {
    from_cpu_ = cpu;
    from_time_ = frame_time_us;
  }
  void choose_rate() {
    const double now = rate();
    std::size_t level = 0;
    while (level + 1 < kRates.size() && cost_ * kRates[level] / now > kBudgetUs) ++level;
    if (level != level_) cost_ = -1;  // what was paid at the old rate says little of the new
    level_ = level;
  }

  std::int64_t last_draw_ = 0;  // frame-clock time of the last frame asked for
  std::int64_t last_tick_ = 0;  // frame-clock time of the last tick
  std::int64_t from_cpu_ = -1;  // process CPU time (µs) where the sample began
  std::int64_t from_time_ = 0;  // frame-clock time where the sample began
  double cost_ = -1;            // smoothed CPU time per second (µs); -1 until measured
  std::size_t level_ = 0;       // the rate drawn at, in kRates
};

}  // namespace

// Shared by the VuMeter copies, the draw function, the tick callback while
// it is attached, and the widget itself (for its signal handlers).
struct VuMeter::Impl {
  MeterState state;
  GaugePainter painter;
  std::optional<GaugeFrame> painted;  // what the last frame drawn shows
  std::string announced;                // the readout last given to assistive technology
  bool stalled = false;                 // readings stopped: nothing is being measured
  guint tick = 0;                       // the tick callback while it is attached
  FrameBudget budget;
  std::uint64_t frames = 0;             // frames drawn
};

namespace {

using ImplRef = std::shared_ptr<VuMeter::Impl>;

constexpr const char* kGaugeKey = "trellan-vumeter-gauge";

void free_gauge_ref(gpointer data) noexcept { delete static_cast<ImplRef*>(data); }

bool dark_appearance() {
  return adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default());
}

// Device pixels per unit the gauge is shown at; 0 under a fractional scale,
// where the painter does without its cached layers.
double device_scale(GtkWidget* area) {
#if GTK_CHECK_VERSION(4, 12, 0)
  if (GtkNative* native = gtk_widget_get_native(area)) {
    if (GdkSurface* surface = gtk_native_get_surface(native)) {
      const double scale = gdk_surface_get_scale(surface);
      return scale == std::round(scale) ? scale : 0.0;
    }
  }
#endif
  return gtk_widget_get_scale_factor(area);
}

GaugeFrame frame_of(GtkWidget* area, const MeterState& s) {
  return gauge_frame(s, gtk_widget_get_width(area), gtk_widget_get_height(area),
                       dark_appearance(), device_scale(area));
}

// The gauge is an accessible meter whose value is the held peak and whose
// value text is the readout. GTK hands a value to screen readers only for its
// own range widgets, not for a drawing area, so the readout is also the
// gauge's description, which reaches them everywhere.
void announce(GtkWidget* area, const MeterState& s, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(area),
                                 GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, text.c_str(),
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_MIN, 0.0,
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_MAX, std::max(s.scale_max, s.peak),
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_NOW, s.peak,
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_TEXT, text.c_str(),
                                 -1);
}

// Whether no later frame can show anything new without a new reading: the
// model rests and the dial's remaining glide toward its goal changes no pixel
// (or no longer changes the scale at all).
bool settled(GtkWidget* area, const MeterState& s, bool stepped, double scale_before,
             const GaugeFrame& now) {
  if (!s.resting()) return false;
  if (stepped && s.scale_max == scale_before) return true;
  MeterState at_goal = s;
  at_goal.scale_max = full_scale_goal(std::max(s.target, s.peak));
  return frame_of(area, at_goal) == now;
}

gboolean on_tick(GtkWidget* area, GdkFrameClock* clock, gpointer data) noexcept {
  VuMeter::Impl& g = **static_cast<ImplRef*>(data);
  MeterState& s = g.state;
  const std::int64_t now = gdk_frame_clock_get_frame_time(clock);
  const bool stepped = s.last_frame_time != 0 && now > s.last_frame_time;
  const double scale_before = s.scale_max;
  s.tick(now);
  // Only when the readout changes, not every frame: each update is a
  // message to the accessibility bus.
  std::string text = g.stalled ? kNoReadingValue : rate_text(s.peak);
  if (text != g.announced) {
    announce(area, s, text);
    g.announced = std::move(text);
  }
  g.budget.ticked(now);
  const GaugeFrame frame = frame_of(area, s);
  bool owed = !g.painted || frame != *g.painted;
  if (owed && g.budget.may_draw(now)) {
    gtk_widget_queue_draw(area);
    g.budget.drawing(now);
    owed = false;
  }
  // A change the budget holds back keeps the clock going until it is drawn.
  if (owed || !settled(area, s, stepped, scale_before, frame)) return G_SOURCE_CONTINUE;
  g.tick = 0;
  return G_SOURCE_REMOVE;  // the frame clock may go idle
}

// Attaches the tick callback unless it is attached. Its first tick takes no
// time step: the animation goes on from the state as it was left, one frame
// behind a model that had been ticking all along.
void wake(GtkWidget* area, const ImplRef& gauge) {
  if (gauge->tick != 0) return;
  gauge->state.last_frame_time = 0;
  gauge->tick = gtk_widget_add_tick_callback(area, on_tick, new ImplRef(gauge), free_gauge_ref);
}

void wake_widget(GtkWidget* area) {
  if (auto* gauge = static_cast<ImplRef*>(g_object_get_data(G_OBJECT(area), kGaugeKey)))
    wake(area, *gauge);
}

void on_dark_changed(GObject*, GParamSpec*, gpointer area) noexcept {
  wake_widget(GTK_WIDGET(area));
}

void on_resize(GtkDrawingArea* area, int, int, gpointer) noexcept { wake_widget(GTK_WIDGET(area)); }

}  // namespace

void draw_gauge(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  VuMeter::Impl& g = **static_cast<ImplRef*>(data);
  const bool dark = dark_appearance();
  const double scale = device_scale(GTK_WIDGET(area));
  g.painter.paint(cr, width, height, g.state, dark, scale);
  g.painted = gauge_frame(g.state, width, height, dark, scale);
  ++g.frames;
}

VuMeter::VuMeter() : impl_(std::make_shared<Impl>()) {
  // The meter role can only be given at construction, hence g_object_new
  // rather than gtk_drawing_area_new.
  GtkWidget* w = GTK_WIDGET(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role",
                                         GTK_ACCESSIBLE_ROLE_METER, nullptr));
  area_ = Ref<GtkWidget>::sink(w);

  GtkDrawingArea* da = GTK_DRAWING_AREA(w);
  gtk_drawing_area_set_content_width(da, 360);
  gtk_drawing_area_set_content_height(da, 240);
  gtk_widget_set_hexpand(w, TRUE);
  gtk_widget_set_vexpand(w, TRUE);

  gtk_drawing_area_set_draw_func(da, draw_gauge, new ImplRef(impl_), free_gauge_ref);

  gtk_accessible_update_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, "Throughput", -1);
  impl_->announced = rate_text(impl_->state.peak);
  announce(w, impl_->state, impl_->announced);

  // The widget's own share, for the handlers below; both end with it.
  g_object_set_data_full(G_OBJECT(w), kGaugeKey, new ImplRef(impl_), free_gauge_ref);
  g_signal_connect(w, "resize", G_CALLBACK(on_resize), nullptr);
  if (adw_is_initialized())
    g_signal_connect_object(adw_style_manager_get_default(), "notify::dark",
                            G_CALLBACK(on_dark_changed), w, GConnectFlags{});
  wake(w, impl_);
}

GtkWidget* VuMeter::widget() const { return area_.get(); }

void VuMeter::set_value(double mbps) {
  impl_->state.set_value(mbps);
  wake(area_.get(), impl_);
}

double VuMeter::peak() const { return impl_->state.peak; }

std::uint64_t VuMeter::frames_drawn() const { return impl_->frames; }

void VuMeter::reset() {
  impl_->state.reset();
  wake(area_.get(), impl_);
}

void VuMeter::set_stalled(bool stalled) {
  if (stalled == impl_->stalled) return;
  impl_->stalled = stalled;
  if (stalled) {
    impl_->state.set_value(0);
    gtk_widget_add_css_class(area_.get(), "dim-label");
  } else {
    gtk_widget_remove_css_class(area_.get(), "dim-label");
  }
  wake(area_.get(), impl_);  // the needle glides, and the tick tells assistive technology
}

bool VuMeter::stalled() const { return impl_->stalled; }

const MeterState& VuMeter::state() const { return impl_->state; }
MeterState& VuMeter::state() { return impl_->state; }

}  // namespace trellan
