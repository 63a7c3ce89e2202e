#include "ui/run_controls.hpp"

#include <optional>
#include <utility>

#include "core/run_words.hpp"

namespace trellan {

namespace {

// Each change of a label's text is a message to whoever listens on the
// accessibility bus, and GTK notifies a button's label and a widget's style
// classes even when they stay the same: each is set only when it differs.
void set_text(GtkWidget* label, const std::string& text) {
  const std::string shown = shown_text(text);
  if (shown != gtk_label_get_text(GTK_LABEL(label))) gtk_label_set_text(GTK_LABEL(label), shown.c_str());
}

void set_class(GtkWidget* widget, const char* css_class, bool on) {
  if (on == static_cast<bool>(gtk_widget_has_css_class(widget, css_class))) return;
  if (on)
    gtk_widget_add_css_class(widget, css_class);
  else
    gtk_widget_remove_css_class(widget, css_class);
}

}  // namespace

void apply_look(GtkWidget* button, const Look& look) {
  if (g_strcmp0(gtk_button_get_label(GTK_BUTTON(button)), look.label) != 0)
    gtk_button_set_label(GTK_BUTTON(button), look.label);
  set_class(button, look.remove, false);
  set_class(button, look.add, true);
}

void set_status(GtkWidget* label, const std::string& text, StatusKind kind) {
  set_text(label, text);
  set_class(label, "error", kind == StatusKind::Error);
  set_class(label, "dim-label", kind == StatusKind::Progress);
}

void set_details(GtkWidget* label, const std::string& text, bool figures) {
  set_text(label, text);
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

std::uint64_t install_run(RunSlot& slot, RunHandle handle, std::shared_ptr<RunSession> session) {
  stop_current_run(slot);
  slot.handle = std::move(handle);
  slot.session = std::move(session);
  return ++slot.run_id;
}

void show_answer(const PageWidgets& page, RunSlot& slot, const PageAnswer& answer) {
  if (answer.stop_run) {
    // A latency that waits for its probes in flight keeps its ping.
    std::optional<RunHandle> ping;
    if (answer.settle_latency_s) ping = std::exchange(slot.ping, std::nullopt);
    stop_current_run(slot);
    slot.ping = std::move(ping);
  }
  if (answer.gauge == PageAnswer::Gauge::Set) {
    VuMeter meter = page.meter;
    meter.set_value(answer.gauge_mbps);
  } else if (answer.gauge == PageAnswer::Gauge::Reset) {
    VuMeter meter = page.meter;
    meter.reset();
  }
  if (answer.look) apply_look(page.start_button.get(), *answer.look);
  if (answer.status) set_status(page.status_label.get(), answer.status->text, answer.status->kind);
  if (answer.details) set_details(page.details_label.get(), answer.details->text, answer.details->figures);
  if (answer.stop_ping) std::exchange(slot.ping, std::nullopt);  // its handle stops it
  if (answer.latency_line && slot.show_latency) slot.show_latency(*answer.latency_line);
  for (const RecordStep& step : answer.record) slot.recording.apply(step);
  if (answer.settle_latency_s && slot.settle_latency) slot.settle_latency(*answer.settle_latency_s);
  if (slot.on_answer) slot.on_answer(answer);
}

}  // namespace trellan
