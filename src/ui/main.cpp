// Trellan: measures network throughput with iperf3.
#include "core/gobject.hpp"
#include "ui/app.hpp"

int main(int argc, char** argv) {
  const auto app = trellan::Ref<AdwApplication>::take(static_cast<AdwApplication*>(
      g_object_new(ADW_TYPE_APPLICATION, "application-id", trellan::APP_ID, "flags", G_APPLICATION_HANDLES_OPEN, nullptr)));
  g_signal_connect_data(app.get(), "startup", G_CALLBACK(trellan::on_startup), nullptr, nullptr,
                        GConnectFlags{});
  g_signal_connect_data(app.get(), "activate", G_CALLBACK(trellan::on_activate), nullptr, nullptr,
                        GConnectFlags{});
  g_signal_connect_data(app.get(), "open", G_CALLBACK(trellan::on_open), nullptr, nullptr, GConnectFlags{});
  return g_application_run(G_APPLICATION(app.get()), argc, argv);
}
