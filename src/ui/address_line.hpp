// The Server page's line that tells where clients can connect, shown while
// the page's server runs. Main thread only.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "core/gobject.hpp"

namespace trellan {

// A selectable label, hidden until `show`. While it shows the machine's own
// addresses, it reads them again each time GIO's network monitor reports a
// change.
class AddressLine {
 public:
  AddressLine();
  ~AddressLine();
  AddressLine(const AddressLine&) = delete;
  AddressLine& operator=(const AddressLine&) = delete;

  GtkWidget* widget() const { return label_.get(); }

  // Shows the line for a server on `port`; with `bind` not empty the server
  // listens on that address alone and the line names just it.
  void show(std::string bind, std::uint16_t port);
  void hide();

 private:
  static void on_network_changed(GNetworkMonitor*, gboolean, gpointer self) noexcept;
  void refresh();
  void stop_watching();

  Ref<GtkWidget> label_;
  std::string bind_;
  std::uint16_t port_ = 0;
  Ref<GNetworkMonitor> monitor_;  // while the line follows the addresses
  gulong handler_ = 0;
};

}  // namespace trellan
