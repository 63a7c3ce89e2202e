#include "vumeter.hpp"

#include <adwaita.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "painter.hpp"

namespace trellan {

// Shared by the VuMeter copies, the draw function, the tick callback while
// it is attached, and the widget itself (for its signal handlers).
struct VuMeter::Gauge {
  MeterState state;
  GaugePainter painter;
  std::optional<GaugePicture> painted;  // what the last frame drawn shows
  std::string announced;                // the readout last given to assistive technology
  guint tick = 0;                       // the tick callback while it is attached
};

namespace {

using GaugeRef = std::shared_ptr<VuMeter::Gauge>;

constexpr const char* kGaugeKey = "trellan-vumeter-gauge";

void free_gauge_ref(gpointer data) noexcept { delete static_cast<GaugeRef*>(data); }

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

GaugePicture picture_of(GtkWidget* area, const MeterState& s) {
  return gauge_picture(s, gtk_widget_get_width(area), gtk_widget_get_height(area),
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
             const GaugePicture& now) {
  if (!s.resting()) return false;
  if (stepped && s.scale_max == scale_before) return true;
  MeterState at_goal = s;
  at_goal.scale_max = full_scale_goal(std::max(s.target, s.peak));
  return picture_of(area, at_goal) == now;
}

gboolean on_tick(GtkWidget* area, GdkFrameClock* clock, gpointer data) noexcept {
  VuMeter::Gauge& g = **static_cast<GaugeRef*>(data);
  MeterState& s = g.state;
  const std::int64_t now = gdk_frame_clock_get_frame_time(clock);
  const bool stepped = s.last_frame_time != 0 && now > s.last_frame_time;
  const double scale_before = s.scale_max;
  s.tick(now);
  // Only when the readout changes, not every frame: each update is a
  // message to the accessibility bus.
  std::string text = readout_text(s.peak);
  if (text != g.announced) {
    announce(area, s, text);
    g.announced = std::move(text);
  }
  const GaugePicture picture = picture_of(area, s);
  if (!g.painted || picture != *g.painted) gtk_widget_queue_draw(area);
  if (!settled(area, s, stepped, scale_before, picture)) return G_SOURCE_CONTINUE;
  g.tick = 0;
  return G_SOURCE_REMOVE;  // the frame clock may go idle
}

// Attaches the tick callback unless it is attached. Its first tick takes no
// time step: the animation goes on from the state as it was left, one frame
// behind a model that had been ticking all along.
void wake(GtkWidget* area, const GaugeRef& gauge) {
  if (gauge->tick != 0) return;
  gauge->state.last_frame_time = 0;
  gauge->tick = gtk_widget_add_tick_callback(area, on_tick, new GaugeRef(gauge), free_gauge_ref);
}

void wake_widget(GtkWidget* area) {
  if (auto* gauge = static_cast<GaugeRef*>(g_object_get_data(G_OBJECT(area), kGaugeKey)))
    wake(area, *gauge);
}

void on_dark_changed(GObject*, GParamSpec*, gpointer area) noexcept {
  wake_widget(GTK_WIDGET(area));
}

void on_resize(GtkDrawingArea* area, int, int, gpointer) noexcept { wake_widget(GTK_WIDGET(area)); }

}  // namespace

void draw_gauge(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer data) noexcept {
  VuMeter::Gauge& g = **static_cast<GaugeRef*>(data);
  const bool dark = dark_appearance();
  const double scale = device_scale(GTK_WIDGET(area));
  g.painter.paint(cr, width, height, g.state, dark, scale);
  g.painted = gauge_picture(g.state, width, height, dark, scale);
}

VuMeter::VuMeter() : gauge_(std::make_shared<Gauge>()) {
  // The meter role can only be given at construction, hence g_object_new
  // rather than gtk_drawing_area_new.
  GtkWidget* w = GTK_WIDGET(g_object_new(GTK_TYPE_DRAWING_AREA, "accessible-role",
                                         GTK_ACCESSIBLE_ROLE_METER, nullptr));
  area_.reset(GTK_WIDGET(g_object_ref_sink(w)), g_object_unref);

  GtkDrawingArea* da = GTK_DRAWING_AREA(w);
  gtk_drawing_area_set_content_width(da, 360);
  gtk_drawing_area_set_content_height(da, 240);
  gtk_widget_set_hexpand(w, TRUE);
  gtk_widget_set_vexpand(w, TRUE);

  gtk_drawing_area_set_draw_func(da, draw_gauge, new GaugeRef(gauge_), free_gauge_ref);

  gtk_accessible_update_property(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_LABEL, "Throughput", -1);
  gauge_->announced = readout_text(gauge_->state.peak);
  announce(w, gauge_->state, gauge_->announced);

  // The widget's own share, for the handlers below; both end with it.
  g_object_set_data_full(G_OBJECT(w), kGaugeKey, new GaugeRef(gauge_), free_gauge_ref);
  g_signal_connect(w, "resize", G_CALLBACK(on_resize), nullptr);
  if (adw_is_initialized())
    g_signal_connect_object(adw_style_manager_get_default(), "notify::dark",
                            G_CALLBACK(on_dark_changed), w, GConnectFlags{});
  wake(w, gauge_);
}

GtkWidget* VuMeter::widget() const { return area_.get(); }

void VuMeter::set_value(double mbps) {
  gauge_->state.set_value(mbps);
  wake(area_.get(), gauge_);
}

double VuMeter::peak() const { return gauge_->state.peak; }

void VuMeter::reset() {
  gauge_->state.reset();
  wake(area_.get(), gauge_);
}

const MeterState& VuMeter::state() const { return gauge_->state; }
MeterState& VuMeter::state() { return gauge_->state; }

}  // namespace trellan
