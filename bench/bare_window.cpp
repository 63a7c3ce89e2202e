// The comparison points for the window benchmarks: the least a libadwaita
// application can show. One window at Trellan's default size holding one
// drawing area whose draw function fills a bar.
//
//   bare-window            "bare window": the area asks for a new frame on
//                          every tick of the frame clock, and the bar moves
//   bare-window --static   "static window": no tick callback, a still bar;
//                          the floor for a window that nothing changes
#include <adwaita.h>

#include <cstring>

namespace {

bool still = false;

gboolean on_tick(GtkWidget* area, GdkFrameClock*, gpointer) noexcept {
  gtk_widget_queue_draw(area);
  return G_SOURCE_CONTINUE;
}

void on_draw(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer) noexcept {
  // A bar whose length follows the frame counter, so every frame differs.
  static unsigned frame = 0;
  const double f = still ? 0.5 : static_cast<double>(++frame % 120) / 120.0;
  cairo_set_source_rgb(cr, 0.2, 0.6, 0.4);
  cairo_rectangle(cr, 0, 0, f * width, height / 8.0);
  cairo_fill(cr);
}

void on_activate(AdwApplication* app, gpointer) noexcept {
  GtkWidget* window = GTK_WIDGET(g_object_new(ADW_TYPE_APPLICATION_WINDOW, "application", app,
                                              "title", still ? "static window" : "bare window", "default-width", 560,
                                              "default-height", 680, nullptr));
  GtkWidget* area = gtk_drawing_area_new();
  gtk_widget_set_hexpand(area, TRUE);
  gtk_widget_set_vexpand(area, TRUE);
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area), on_draw, nullptr, nullptr);
  if (!still) gtk_widget_add_tick_callback(area, on_tick, nullptr, nullptr);
  adw_application_window_set_content(ADW_APPLICATION_WINDOW(window), area);
  gtk_window_present(GTK_WINDOW(window));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--static") == 0) {
    still = true;
    argv[1] = argv[0];
    --argc;
    ++argv;
  }
  auto* app = static_cast<AdwApplication*>(
      g_object_new(ADW_TYPE_APPLICATION, "application-id", "org.trellan.BareWindow", nullptr));
  g_signal_connect_data(app, "activate", G_CALLBACK(on_activate), nullptr, nullptr,
                        GConnectFlags{});
  const int status = g_application_run(G_APPLICATION(app), argc, argv);
  g_object_unref(app);
  return status;
}
