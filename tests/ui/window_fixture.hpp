// A main window opened for a test, with its two forms, and the few things
// window tests do to it: click, read a label or a button, wait for idle.
#pragma once

#include <adwaita.h>
#include <gtest/gtest.h>

#include <string>

#include "gtk_helpers.hpp"
#include "ui/compat.hpp"
#include "ui/window.hpp"

namespace trellan::testing {

inline void click(GtkWidget* button) { g_signal_emit_by_name(button, "clicked"); }
inline std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }
inline std::string button_text(GtkWidget* b) { return gtk_button_get_label(GTK_BUTTON(b)); }

struct WindowFixture : ::testing::Test {
  AdwApplicationWindow* window = nullptr;
  const ClientForm* client = nullptr;
  const ServerForm* server = nullptr;
  bool with_latency = false;

  void SetUp() override { open(); }
  void TearDown() override { close(); }
  void open() {
    window = build_main_window(test_application());
    gtk_window_present(GTK_WINDOW(window));
    client = client_form_of(window);
    server = server_form_of(window);
    // The tests of the iperf3 run itself run it without the latency before
    // and beside it, as the switch allows; the latency has tests of its own.
    if (!with_latency) compat::switch_row_set_active(client->latency_row.get(), false);
  }
  void close() {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    window = nullptr;
    pump_for(0.2);
  }
  bool client_idle() const { return button_text(client->start_button.get()) == "Start test"; }
  bool server_idle() const { return button_text(server->start_button.get()) == "Start server"; }
};

}  // namespace trellan::testing
