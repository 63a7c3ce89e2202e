#include "ui/page.hpp"

#include <optional>
#include <utility>

namespace trellan {

void apply_look(GtkWidget* button, const Look& look) {
  gtk_button_set_label(GTK_BUTTON(button), look.label);
  gtk_widget_remove_css_class(button, look.remove);
  gtk_widget_add_css_class(button, look.add);
}

namespace {

void set_class(GtkWidget* widget, const char* css_class, bool on) {
  if (on)
    gtk_widget_add_css_class(widget, css_class);
  else
    gtk_widget_remove_css_class(widget, css_class);
}

}  // namespace

void set_status(GtkWidget* label, const std::string& text, StatusKind kind) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  set_class(label, "error", kind == StatusKind::Error);
  set_class(label, "dim-label", kind == StatusKind::Progress);
}

void set_details(GtkWidget* label, const std::string& text, bool figures) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  set_class(label, "dim-label", !figures);
  gtk_widget_set_visible(label, !text.empty());
}

void stop_current_run(RunSlot& slot) {
  std::exchange(slot.ping, std::nullopt);  // its handle stops it
  std::optional<RunHandle> handle = std::exchange(slot.handle, std::nullopt);
  if (!handle) return;
  handle->stop();
  if (slot.on_run_end) slot.on_run_end();
}

std::uint64_t install_run(RunSlot& slot, RunHandle handle) {
  stop_current_run(slot);
  slot.handle = std::move(handle);
  return ++slot.run_id;
}

}  // namespace trellan
