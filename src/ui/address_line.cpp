#include "ui/address_line.hpp"

#include <utility>

#include "core/listen_addresses.hpp"

namespace trellan {

AddressLine::AddressLine() : label_(Ref<GtkWidget>::sink(gtk_label_new(nullptr))) {
  GtkLabel* label = GTK_LABEL(label_.get());
  gtk_label_set_selectable(label, TRUE);
  gtk_label_set_wrap(label, TRUE);
  gtk_label_set_wrap_mode(label, PANGO_WRAP_WORD_CHAR);  // long IPv6 addresses
  gtk_label_set_xalign(label, 0.0f);
  gtk_widget_set_visible(label_.get(), FALSE);
}

AddressLine::~AddressLine() { stop_watching(); }

void AddressLine::show(std::string bind, std::uint16_t port) {
  bind_ = std::move(bind);
  port_ = port;
  if (bind_.empty() && !monitor_) {
    monitor_ = Ref<GNetworkMonitor>::add(g_network_monitor_get_default());
    handler_ = g_signal_connect(monitor_.get(), "network-changed", G_CALLBACK(on_network_changed), this);
  } else if (!bind_.empty()) {
    stop_watching();
  }
  refresh();
  gtk_widget_set_visible(label_.get(), TRUE);
}

void AddressLine::hide() {
  stop_watching();
  gtk_widget_set_visible(label_.get(), FALSE);
}

void AddressLine::on_network_changed(GNetworkMonitor*, gboolean, gpointer self) noexcept {
  static_cast<AddressLine*>(self)->refresh();
}

void AddressLine::refresh() {
  const std::string text =
      bind_.empty() ? connect_line(reachable_addresses(read_interface_addresses()), "", port_)
                    : connect_line({}, bind_, port_);
  gtk_label_set_text(GTK_LABEL(label_.get()), text.c_str());
}

void AddressLine::stop_watching() {
  if (monitor_) g_clear_signal_handler(&handler_, monitor_.get());
  monitor_.reset();
}

}  // namespace trellan
