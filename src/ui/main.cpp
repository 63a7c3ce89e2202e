// Trellan: measures network throughput with iperf3.
#include "ui/app.hpp"

int main(int argc, char** argv) {
  auto* app = static_cast<AdwApplication*>(
      g_object_new(ADW_TYPE_APPLICATION, "application-id", trellan::APP_ID, nullptr));
  g_signal_connect_data(app, "startup", G_CALLBACK(trellan::on_startup), nullptr, nullptr,
                        GConnectFlags{});
  g_signal_connect_data(app, "activate", G_CALLBACK(trellan::on_activate), nullptr, nullptr,
                        GConnectFlags{});
  const int status = g_application_run(G_APPLICATION(app), argc, argv);
  g_object_unref(app);
  return status;
}
