// Helpers for tests that drive real windows: a registered application, main
// loop pumping with a deadline, and screenshots.
#pragma once

#include <adwaita.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace trellan::testing {

// A registered, non-unique application: windows can be added to it without
// a session bus name of its own.
inline AdwApplication* test_application() {
  static AdwApplication* app = [] {
    AdwApplication* a = adw_application_new("org.trellan.Trellan.Tests", G_APPLICATION_NON_UNIQUE);
    GError* error = nullptr;
    if (!g_application_register(G_APPLICATION(a), nullptr, &error)) {
      ADD_FAILURE() << "cannot register the test application: " << error->message;
      g_error_free(error);
    }
    return a;
  }();
  return app;
}

// Runs the default main context for `seconds`, or until `done` holds.
inline bool pump_while_not(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    if (!g_main_context_pending(nullptr)) g_usleep(1000);
  }
  return true;
}

// Runs the default main context until `done` holds; false if it never does.
// `seconds` is about what that takes on a quiet machine: a busy one (a CI
// run beside other work) may take many times longer, so the wait goes on for
// six times that and at least half a minute before it gives up, and says
// so. That bound stays well inside a test's own timeout, so that a fault
// fails the check that waited rather than timing the whole test out in
// silence. A test that passes pays nothing for the margin.
inline bool pump_until(const std::function<bool()>& done, double seconds = 10.0) {
  const double bound = std::max(6 * seconds, 30.0);
  if (pump_while_not(done, bound)) return true;
  std::fprintf(stderr, "gave up after %.0f s of waiting (about %.0f s on a quiet machine)\n", bound, seconds);
  return false;
}

// Runs the main loop for a while (lets frames and layout happen).
inline void pump_for(double seconds) {
  pump_while_not([] { return false; }, seconds);
}

// Where tests put their screenshots: the build directory.
inline std::string shot_path(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_SHOT_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

// Renders a shown window to a PNG file; false if it could not.
inline bool save_window_png(GtkWidget* window, const std::string& path) {
  const int w = gtk_widget_get_width(window), h = gtk_widget_get_height(window);
  if (w <= 0 || h <= 0) return false;
  GdkPaintable* paintable = gtk_widget_paintable_new(window);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, w, h);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  bool ok = false;
  if (node) {
    GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(window));
    graphene_rect_t bounds;
    graphene_rect_init(&bounds, 0, 0, static_cast<float>(w), static_cast<float>(h));
    GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
    ok = gdk_texture_save_to_png(texture, path.c_str());
    g_object_unref(texture);
    gsk_render_node_unref(node);
  }
  g_object_unref(paintable);
  return ok;
}

// gtest main for GTK tests: GTK and libadwaita come up first.
#define TRELLAN_GTK_TEST_MAIN()                    \
  int main(int argc, char** argv) {                \
    gtk_init();                                    \
    adw_init();                                    \
    ::testing::InitGoogleTest(&argc, argv);        \
    return RUN_ALL_TESTS();                        \
  }

}  // namespace trellan::testing
