#include "page.hpp"

#include <optional>
#include <utility>

namespace trellan {

void apply_look(GtkWidget* button, const Look& look) {
  gtk_button_set_label(GTK_BUTTON(button), look.label);
  gtk_widget_remove_css_class(button, look.remove);
  gtk_widget_add_css_class(button, look.add);
}

void set_status(GtkWidget* label, const std::string& text, bool is_error) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  if (is_error)
    gtk_widget_add_css_class(label, "error");
  else
    gtk_widget_remove_css_class(label, "error");
}

void set_details(GtkWidget* label, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  gtk_widget_set_visible(label, !text.empty());
}

void stop_current_run(RunSlot& slot) {
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
