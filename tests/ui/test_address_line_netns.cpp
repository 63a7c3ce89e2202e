// The Server page's line that says where clients can connect, against the
// addresses of a network namespace this test makes for itself: loopback
// alone, then a veth pair that comes up and gains addresses while the server
// runs, then a server bound to one address. The real iperf3 serves inside the
// namespace, so the form's own port 5201 is free there.
//
// The process enters the namespace for good: this file holds one test, in an
// executable of its own. The display and the session bus were reached before.
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "gtk_helpers.hpp"
#include "ui/window.hpp"

using namespace trellan;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

namespace {

std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }
std::string button_text(GtkWidget* b) { return gtk_button_get_label(GTK_BUTTON(b)); }
void click(GtkWidget* button) { g_signal_emit_by_name(button, "clicked"); }

bool ip(const std::string& args) {
  const std::string command = "ip " + args;
  const int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << command;
  return status == 0;
}

}  // namespace

TEST(ServerAddressLine, NamesTheNamespacesAddressesAndFollowsThem) {
  AdwApplication* app = trellan::testing::test_application();
  if (std::system("ip -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ip command (iproute2)";
  if (unshare(CLONE_NEWNET) != 0)
    GTEST_SKIP() << "cannot make a network namespace: " << std::strerror(errno);
  ASSERT_TRUE(ip("link set lo up"));

  AdwApplicationWindow* window = build_main_window(app);
  gtk_window_present(GTK_WINDOW(window));
  const ServerForm* server = server_form_of(window);
  GtkWidget* line = server->address_line->widget();
  GtkWidget* status = server->status_label.get();
  auto line_is = [&](const std::string& want) {
    return pump_until([&] { return gtk_widget_get_visible(line) && label_text(line) == want; }, 10);
  };
  auto wait_listening = [&] {
    return pump_until([&] { return label_text(status) == "Waiting for client connections…"; }, 20);
  };
  EXPECT_FALSE(gtk_widget_get_visible(line));
  EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(line)));

  // Loopback alone.
  click(server->start_button.get());
  ASSERT_TRUE(wait_listening()) << label_text(status);
  EXPECT_TRUE(line_is("Only this machine can connect: no network address is up."))
      << label_text(line);

  // A veth pair comes up while the server runs; v1 has only its link-local
  // address and the higher index.
  ASSERT_TRUE(ip("link add v0 index 20 type veth peer name v1 index 30"));
  ASSERT_TRUE(ip("addr add 192.0.2.10/24 dev v0"));
  ASSERT_TRUE(ip("addr add 2001:db8::10/64 dev v0 nodad"));
  ASSERT_TRUE(ip("link set v0 up"));
  ASSERT_TRUE(ip("link set v1 up"));
  EXPECT_TRUE(line_is("Clients can connect to 192.0.2.10 or 2001:db8::10, port 5201"))
      << label_text(line);

  // An address added to v1 comes after v0's in its group; one more on v0
  // joins v0's.
  ASSERT_TRUE(ip("addr add 2001:db8:1::30/64 dev v1 nodad"));
  ASSERT_TRUE(ip("addr add 192.0.2.11/24 dev v0"));
  EXPECT_TRUE(line_is(
      "Clients can connect to 192.0.2.10 or 192.0.2.11 or 2001:db8::10 or 2001:db8:1::30, port 5201"))
      << label_text(line);
  ASSERT_TRUE(ip("addr add 198.51.100.30/24 dev v1"));
  EXPECT_TRUE(line_is("Clients can connect to 192.0.2.10 or 192.0.2.11 or 198.51.100.30 or "
                      "2001:db8::10 and 1 more, port 5201"))
      << label_text(line);

  // v1 goes down: its addresses are no use to anyone.
  ASSERT_TRUE(ip("link set v1 down"));
  EXPECT_TRUE(line_is("Clients can connect to 192.0.2.10 or 192.0.2.11 or 2001:db8::10, port 5201"))
      << label_text(line);

  // Stopping the server hides the line.
  click(server->start_button.get());
  EXPECT_FALSE(gtk_widget_get_visible(line));

  // Bound to one address: that address alone, as typed.
  gtk_editable_set_text(GTK_EDITABLE(server->bind_row.get()), "192.0.2.10");
  click(server->start_button.get());
  ASSERT_TRUE(wait_listening()) << label_text(status);
  EXPECT_TRUE(line_is("Clients can connect to 192.0.2.10, port 5201")) << label_text(line);
  click(server->start_button.get());
  EXPECT_FALSE(gtk_widget_get_visible(line));

  // A server that ends by itself (nothing here has this address) takes the
  // line with it.
  gtk_editable_set_text(GTK_EDITABLE(server->bind_row.get()), "192.0.2.99");
  click(server->start_button.get());
  EXPECT_TRUE(gtk_widget_get_visible(line));
  EXPECT_TRUE(pump_until([&] { return button_text(server->start_button.get()) == "Start server"; }, 20))
      << label_text(status);
  EXPECT_FALSE(gtk_widget_get_visible(line)) << label_text(status);

  gtk_window_destroy(GTK_WINDOW(window));
  pump_for(0.2);
}

TRELLAN_GTK_TEST_MAIN()
