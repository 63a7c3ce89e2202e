// The gauge widget on a real frame clock, and screenshots of it.
#include <adwaita.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/vumeter.hpp"

using trellan::VuMeter;

namespace {

// Runs the main loop until `done()` holds or `seconds` pass.
template <typename Pred>
bool wait_until(Pred done, double seconds = 5.0) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  const guint wake = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool ok = done();
  while (!ok && g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(wake);
  return ok;
}

bool wait_frames(GtkWidget* w, int frames) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(w);
  if (clock == nullptr) return false;
  const gint64 until = gdk_frame_clock_get_frame_counter(clock) + frames;
  return wait_until([&] { return gdk_frame_clock_get_frame_counter(clock) >= until; });
}

// A window holding the gauge in a card frame, as the pages show it.
GtkWidget* show_in_window(GtkWidget* gauge) {
  GtkWidget* frame = gtk_frame_new(nullptr);
  gtk_widget_add_css_class(frame, "card");
  gtk_frame_set_child(GTK_FRAME(frame), gauge);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  for (auto side : {gtk_widget_set_margin_top, gtk_widget_set_margin_bottom,
                    gtk_widget_set_margin_start, gtk_widget_set_margin_end})
    side(box, 12);
  gtk_box_append(GTK_BOX(box), frame);
  GtkWidget* window = adw_window_new();
  adw_window_set_content(ADW_WINDOW(window), box);
  gtk_window_set_default_size(GTK_WINDOW(window), 384, 264);
  gtk_window_present(GTK_WINDOW(window));
  wait_until([&] { return gtk_widget_get_mapped(gauge); });
  return window;
}

// Empty when the accessible value text equals `text`, else the actual text.
std::string value_text_mismatch(GtkWidget* w, const char* text) {
  char* actual = gtk_test_accessible_check_property(
      GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_PROPERTY_VALUE_TEXT, text);
  std::string out = actual ? actual : "";
  g_free(actual);
  return out;
}

// Renders `w` as it would appear now; the caller owns the texture.
GdkTexture* render(GtkWidget* w) {
  const int width = gtk_widget_get_width(w), height = gtk_widget_get_height(w);
  GdkPaintable* paintable = gtk_widget_paintable_new(w);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  graphene_rect_t area;
  graphene_rect_init(&area, 0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture =
      gsk_renderer_render_texture(gtk_native_get_renderer(gtk_widget_get_native(w)), node, &area);
  gsk_render_node_unref(node);
  g_object_unref(paintable);
  return texture;
}

void save_png(GtkWidget* window, const std::string& name) {
  const char* dir = std::getenv("TRELLAN_SCREENSHOT_DIR");
  const std::string path = std::string(dir ? dir : ".") + "/" + name + ".png";
  GdkTexture* texture = render(window);
  EXPECT_TRUE(gdk_texture_save_to_png(texture, path.c_str())) << path;
  g_object_unref(texture);
}

// Green channel (0-255) of the gauge's hub, at the centre of the dial.
int hub_green(GtkWidget* gauge) {
  GdkTexture* texture = render(gauge);
  const int w = gdk_texture_get_width(texture), h = gdk_texture_get_height(texture);
  std::vector<guchar> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(w) * 4);
  g_object_unref(texture);
  const double r = std::max(std::min((w - 32) / 2.0, (h - 32) / 1.55), 40.0);
  const int cy = static_cast<int>(std::max((h - 1.55 * r) / 2, 16.0) + r);
  return pixels[(static_cast<std::size_t>(cy) * static_cast<std::size_t>(w) +
                 static_cast<std::size_t>(w / 2)) * 4 + 1];
}

}  // namespace

TEST(VuMeterWidget, NewGaugeAsksFor360By240ExpandsAndRestsAtZero) {
  VuMeter m;
  GtkWidget* w = m.widget();
  EXPECT_EQ(gtk_drawing_area_get_content_width(GTK_DRAWING_AREA(w)), 360);
  EXPECT_EQ(gtk_drawing_area_get_content_height(GTK_DRAWING_AREA(w)), 240);
  EXPECT_TRUE(gtk_widget_get_hexpand(w));
  EXPECT_TRUE(gtk_widget_get_vexpand(w));
  const trellan::MeterState& s = m.state();
  EXPECT_EQ(s.scale_max, 10.0);
  EXPECT_EQ(s.target + s.display + s.peak + s.peak_age, 0.0);
  EXPECT_EQ(m.peak(), 0.0);
  EXPECT_EQ(gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(w)), GTK_ACCESSIBLE_ROLE_METER);
  EXPECT_EQ(value_text_mismatch(w, "0 Kbit/s"), "");
}

TEST(VuMeterWidget, AnimatesOnFrameClockTicksAndReportsTheReadout) {
  VuMeter m;
  GtkWidget* window = show_in_window(m.widget());
  m.set_value(950);
  EXPECT_EQ(m.peak(), 950.0);
  ASSERT_TRUE(wait_frames(m.widget(), 4));
  const double display = m.state().display, scale = m.state().scale_max;
  EXPECT_GT(display, 0.0);
  EXPECT_GT(scale, 10.0);
  ASSERT_TRUE(wait_frames(m.widget(), 4));
  EXPECT_GT(m.state().display, display);
  EXPECT_GT(m.state().scale_max, scale);
  EXPECT_LE(m.state().scale_max, 2000.0);
  EXPECT_EQ(value_text_mismatch(m.widget(), "950.0 Mbit/s"), "");

  m.reset();
  ASSERT_TRUE(wait_frames(m.widget(), 2));
  EXPECT_EQ(value_text_mismatch(m.widget(), "0 Kbit/s"), "");
  gtk_window_destroy(GTK_WINDOW(window));
}

namespace {

// Runs the main loop for `seconds`.
void run_for(double seconds) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  wait_until([&] { return g_get_monotonic_time() >= end; }, seconds + 1);
}

// Whether the frame clock of `w` stops drawing frames (none for half a
// second) within `seconds`.
bool frames_stop(GtkWidget* w, double seconds = 6.0) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(w);
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  while (g_get_monotonic_time() < end) {
    const gint64 before = gdk_frame_clock_get_frame_counter(clock);
    run_for(0.5);
    if (gdk_frame_clock_get_frame_counter(clock) == before) return true;
  }
  return false;
}

// A model given the same readings as the gauge and ticked on every frame of
// the same clock, as the gauge's own model was before it learnt to rest.
struct AlwaysTicking {
  trellan::MeterState now, before;
  static gboolean tick(GtkWidget*, GdkFrameClock* clock, gpointer data) {
    auto* self = static_cast<AlwaysTicking*>(data);
    self->before = self->now;
    self->now.tick(gdk_frame_clock_get_frame_time(clock));
    return G_SOURCE_CONTINUE;
  }
};

// Follows `frames` frames: after the first, the gauge's needle and dial stay
// within the step the always-ticking model took on that first frame (the
// step the woken gauge does not take), its peak equals the model's, and by
// the end both have come to the same rest.
void expect_follows(const VuMeter& m, const AlwaysTicking& model, int frames) {
  ASSERT_TRUE(wait_frames(m.widget(), 1));
  const double first_step[2] = {std::abs(model.now.display - model.before.display),
                                std::abs(model.now.scale_max - model.before.scale_max)};
  for (int i = 0; i < frames; ++i) {
    ASSERT_TRUE(wait_frames(m.widget(), 1));
    const double got[2] = {m.state().display, m.state().scale_max};
    const double want[2] = {model.now.display, model.now.scale_max};
    for (int k = 0; k < 2; ++k)
      EXPECT_LE(std::abs(got[k] - want[k]), first_step[k] + 1e-9)
          << (k == 0 ? "display" : "scale_max") << " at frame " << i;
    EXPECT_EQ(m.peak(), model.now.peak) << "frame " << i;
  }
  EXPECT_EQ(m.state().display, model.now.display);
}
}  // namespace

TEST(VuMeterWidget, RestsWithoutFramesAndWakesForReadingsResetAndAppearance) {
  AdwStyleManager* style = adw_style_manager_get_default();
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_FORCE_LIGHT);
  VuMeter m;
  GtkWidget* window = show_in_window(m.widget());
  // A gauge with nothing to show lets the clock go idle: no frames at all.
  ASSERT_TRUE(frames_stop(m.widget()));

  AlwaysTicking model{m.state(), m.state()};
  const guint ticking = gtk_widget_add_tick_callback(m.widget(), AlwaysTicking::tick, &model, nullptr);
  ASSERT_TRUE(wait_frames(m.widget(), 3));  // the model ticks; the gauge still rests
  m.set_value(5);
  model.now.set_value(5);
  expect_follows(m, model, 60);
  EXPECT_EQ(value_text_mismatch(m.widget(), "5.0 Mbit/s"), "");
  m.reset();
  model.now.reset();
  expect_follows(m, model, 60);
  gtk_widget_remove_tick_callback(m.widget(), ticking);

  // Once the needle is back at zero the clock goes idle again, and a switch
  // to the dark appearance still shows at once.
  ASSERT_TRUE(frames_stop(m.widget()));
  EXPECT_LT(hub_green(m.widget()), 60);
  GdkFrameClock* clock = gtk_widget_get_frame_clock(m.widget());
  const gint64 frames = gdk_frame_clock_get_frame_counter(clock);
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_FORCE_DARK);
  ASSERT_TRUE(wait_frames(m.widget(), 1));
  EXPECT_GT(gdk_frame_clock_get_frame_counter(clock), frames);
  EXPECT_GT(hub_green(m.widget()), 200);
  EXPECT_TRUE(frames_stop(m.widget()));
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_DEFAULT);
  gtk_window_destroy(GTK_WINDOW(window));
}

namespace {

// Whether the gauge draws no frame for `quiet` seconds, within `seconds`.
bool drawing_stops(const VuMeter& m, double quiet = 0.5, double seconds = 6.0) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  while (g_get_monotonic_time() < end) {
    const std::uint64_t before = m.frames_drawn();
    run_for(quiet);
    if (m.frames_drawn() == before) return true;
  }
  return false;
}

}  // namespace

TEST(VuMeterWidget, ASettledGlideStopsDrawingAndANewReadingStartsItAgain) {
  VuMeter m;
  GtkWidget* window = show_in_window(m.widget());
  // A loopback test's dial: 15 Gbit/s on a full scale of 20 Gbit/s, where a
  // device pixel at the needle's tip is some 30 Mbit/s.
  trellan::MeterState& s = m.state();
  s.target = s.display = s.peak = 15000;
  s.peak_age = 3;
  s.scale_max = 20000;
  m.set_value(15000);
  ASSERT_TRUE(drawing_stops(m));
  GdkFrameClock* clock = gtk_widget_get_frame_clock(m.widget());

  // A lower reading just after the peak: the needle glides down while the
  // peak is held (and with it the full scale), for two seconds. Once the
  // needle no longer moves by a visible amount the gauge stops drawing,
  // though the model still glides (it snaps to the reading only within
  // 0.01 Mbit/s) and ticks on toward its rest.
  const std::uint64_t drawn = m.frames_drawn();
  const gint64 ticks = gdk_frame_clock_get_frame_counter(clock);
  s.peak_age = 0;
  m.set_value(5000);
  ASSERT_TRUE(drawing_stops(m, 0.25));
  EXPECT_NE(m.state().display, 5000.0);
  EXPECT_FALSE(m.state().resting());
  const std::uint64_t glide = m.frames_drawn() - drawn;
  EXPECT_GT(glide, 5u);
  EXPECT_LT(glide, static_cast<std::uint64_t>(gdk_frame_clock_get_frame_counter(clock) - ticks));

  // A new reading draws again, and its glide comes to a stop as well.
  const std::uint64_t settled = m.frames_drawn();
  m.set_value(16000);  // a new peak, held for two seconds: the scale stays
  ASSERT_TRUE(wait_frames(m.widget(), 3));
  EXPECT_GT(m.frames_drawn(), settled);
  EXPECT_TRUE(drawing_stops(m));
  gtk_window_destroy(GTK_WINDOW(window));
}

TEST(VuMeterWidget, CopiesShareOneGaugeThatKeepsRunningAfterTheyAreGone) {
  auto* m = new VuMeter;
  auto* copy = new VuMeter(*m);
  m->set_value(20);
  EXPECT_EQ(copy->peak(), 20.0);
  EXPECT_EQ(copy->widget(), m->widget());

  GtkWidget* gauge = m->widget();
  GtkWidget* window = show_in_window(gauge);
  copy->set_value(40);
  delete m;
  delete copy;
  // Only the widget's own callbacks hold the state now, and they still tick.
  ASSERT_TRUE(wait_frames(gauge, 3));
  EXPECT_EQ(value_text_mismatch(gauge, "40.0 Mbit/s"), "");
  gtk_window_destroy(GTK_WINDOW(window));
}

TEST(VuMeterWidget, ScreenshotsInLightAndDark) {
  struct Shot {
    const char* name;
    double target, display, peak, scale_max;
  } shots[] = {
      {"idle", 0, 0, 0, 10},
      {"87mbps", 87, 87, 87, 200},
      {"950mbps-held-peak", 870, 870, 950, 2000},
      {"9gbps", 9400, 9400, 9520, 20000},
  };
  AdwStyleManager* style = adw_style_manager_get_default();
  VuMeter m;
  GtkWidget* window = show_in_window(m.widget());
  for (const Shot& shot : shots) {
    for (bool dark : {false, true}) {
      adw_style_manager_set_color_scheme(style, dark ? ADW_COLOR_SCHEME_FORCE_DARK
                                                     : ADW_COLOR_SCHEME_FORCE_LIGHT);
      trellan::MeterState& s = m.state();
      s.target = shot.target;
      s.display = shot.display;
      s.peak = shot.peak;
      s.peak_age = 0;
      s.scale_max = shot.scale_max;
      m.set_value(shot.target);  // shows the state written above
      ASSERT_TRUE(wait_frames(m.widget(), 1));
      ASSERT_EQ(adw_style_manager_get_dark(style), dark);
      // The hub takes the foreground colour of the current appearance.
      if (dark) EXPECT_GT(hub_green(m.widget()), 200);
      else EXPECT_LT(hub_green(m.widget()), 60);
      save_png(window, std::string("gauge-") + shot.name + (dark ? "-dark" : "-light"));
    }
  }
  adw_style_manager_set_color_scheme(style, ADW_COLOR_SCHEME_DEFAULT);
  gtk_window_destroy(GTK_WINDOW(window));
}

int main(int argc, char** argv) {
  gtk_init();
  adw_init();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
