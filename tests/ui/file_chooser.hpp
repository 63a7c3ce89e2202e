// Driving the file chooser a save or open button opens, for window tests: without a
// desktop portal both GTK's dialog and its native chooser show one in the
// process.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "gtk_helpers.hpp"

namespace trellan::testing {

// The file chooser that opened, once it is there.
inline GtkWidget* open_file_chooser() {
  GtkWidget* found = nullptr;
  pump_until([&] {
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next)
      if (GTK_IS_FILE_CHOOSER(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) found = GTK_WIDGET(w->data);
    g_list_free(windows);
    return found != nullptr;
  }, 10);
  return found;
}

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
inline std::string chooser_name(GtkWidget* chooser) {
  char* name = gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser));
  std::string out = name ? name : "";
  g_free(name);
  return out;
}

// Presses the chooser's Save (or Open) button once it has settled in its
// folder.
inline void accept_chooser(GtkWidget* chooser) {
  pump_for(1.0);
  GtkWidget* save = gtk_dialog_get_widget_for_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  ASSERT_NE(save, nullptr);
  g_signal_emit_by_name(save, "clicked");
}

// Types `name` and presses Save once the chooser has settled in its folder.
inline void save_as(GtkWidget* chooser, const std::string& name) {
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());
  accept_chooser(chooser);
}
G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace trellan::testing
