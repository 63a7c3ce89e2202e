#include "vumeter.hpp"

#include <adwaita.h>

#include <algorithm>
#include <string>

namespace trellan {

namespace {

using StateRef = std::shared_ptr<MeterState>;

// The tick callback's own record: its share of the state and the readout
// text last handed to assistive technology.
struct TickData {
  StateRef state;
  std::string announced;
};

// The gauge is an accessible meter whose value is the held peak and whose
// value text is the readout.
void announce(GtkWidget* area, const MeterState& s, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(area),
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_MIN, 0.0,
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_MAX, std::max(s.scale_max, s.peak),
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_NOW, s.peak,
                                 GTK_ACCESSIBLE_PROPERTY_VALUE_TEXT, text.c_str(),
                                 -1);
}

gboolean on_tick(GtkWidget* area, GdkFrameClock* clock, gpointer data) noexcept {
  auto* tick = static_cast<TickData*>(data);
  MeterState& s = *tick->state;
  s.tick(gdk_frame_clock_get_frame_time(clock));
  // Only when the readout changes, not every frame: each update is a
  // message to the accessibility bus.
  std::string text = readout_text(s.peak);
  if (text != tick->announced) {
    announce(area, s, text);
    tick->announced = std::move(text);
  }
  gtk_widget_queue_draw(area);
  return G_SOURCE_CONTINUE;
}

void free_tick_data(gpointer data) noexcept { delete static_cast<TickData*>(data); }
void free_state_ref(gpointer data) noexcept { delete static_cast<StateRef*>(data); }

}  // namespace

void draw_gauge(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer data) noexcept {
  const MeterState& s = **static_cast<StateRef*>(data);
  const bool dark = adw_is_initialized() && adw_style_manager_get_dark(adw_style_manager_get_default());
  paint_gauge(cr, width, height, s, dark);
}

VuMeter::VuMeter() : state_(std::make_shared<MeterState>()) {
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

  gtk_drawing_area_set_draw_func(da, draw_gauge, new StateRef(state_), free_state_ref);

  auto* tick = new TickData{state_, readout_text(state_->peak)};
  announce(w, *state_, tick->announced);
  gtk_widget_add_tick_callback(w, on_tick, tick, free_tick_data);
}

GtkWidget* VuMeter::widget() const { return area_.get(); }
void VuMeter::set_value(double mbps) { state_->set_value(mbps); }
double VuMeter::peak() const { return state_->peak; }
void VuMeter::reset() { state_->reset(); }
const MeterState& VuMeter::state() const { return *state_; }
MeterState& VuMeter::state() { return *state_; }

}  // namespace trellan
