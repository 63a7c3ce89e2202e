// End to end with the real iperf3 on loopback: a window's Server page serves
// and its Client page measures against it. A pass-through wrapper first on
// PATH keeps a copy of everything iperf3 prints, and what the pages finally
// show must be what those lines say.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ui/compat.hpp"
#include "fake_tool.hpp"
#include "gtk_helpers.hpp"
#include "ui/window.hpp"

using namespace trellan;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

namespace {

std::string real_iperf3() {
  std::string found;
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string candidate = path.substr(start, end - start) + "/iperf3";
    if (found.empty() && access(candidate.c_str(), X_OK) == 0) found = candidate;
    start = end + 1;
  }
  return found;
}

int free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string result_text(const Summary& s) {
  auto [sn, su] = format_rate(s.sender_mbps);
  auto [rn, ru] = format_rate(s.receiver_mbps);
  return "Result — send: " + sn + " " + su + " · receive: " + rn + " " + ru;
}

// The last summary the captured lines carry, as the page's result text.
std::optional<std::string> last_result(const std::vector<std::string>& lines, bool server_mode) {
  OutputParser parser(server_mode);
  std::optional<std::string> text;
  for (const auto& line : lines)
    for (const auto& event : parser.feed_line(line))
      if (const auto* s = std::get_if<Summary>(&event)) text = result_text(*s);
  return text;
}

std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }

struct LoopbackFixture : ::testing::Test {
  AdwApplicationWindow* window = nullptr;
  const ClientForm* client = nullptr;
  const ServerForm* server = nullptr;
  std::unique_ptr<trellan::testing::FakeTool> wrapper;
  int port = 0;

  void SetUp() override {
    const std::string iperf3 = real_iperf3();
    ASSERT_FALSE(iperf3.empty()) << "iperf3 is not installed";
    // Each launch copies its standard output to out.<pid> and passes it on.
    wrapper = std::make_unique<trellan::testing::FakeTool>(
        "exec '" + iperf3 + "' \"$@\" > >(tee \"$(dirname \"$0\")/out.$$\")");
    window = build_main_window(trellan::testing::test_application());
    gtk_window_present(GTK_WINDOW(window));
    client = client_form_of(window);
    server = server_form_of(window);
    compat::switch_row_set_active(client->latency_row.get(), false);  // iperf3 alone
    port = free_tcp_port();
    compat::spin_row_set_value(server->listen_port_row.get(), port);
    compat::spin_row_set_value(client->port_row.get(), port);
    compat::spin_row_set_value(client->duration_row.get(), 2);
    g_signal_emit_by_name(server->start_button.get(), "clicked");
    ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()) == "Waiting for client connections…"; }, 20))
        << label_text(server->status_label.get());
  }

  void TearDown() override {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    pump_for(0.3);
  }

  std::string output_of_launch(const char* first_arg) {
    for (size_t i = 0; i < wrapper->pids().size(); ++i) {
      auto args = wrapper->args(i);
      if (!args.empty() && args[0] == first_arg)
        return wrapper->dir() + "/out." + std::to_string(wrapper->pids()[i]);
    }
    return {};
  }

  // Runs one client test and checks both pages against the captured lines.
  void measure(const std::function<void()>& configure) {
    configure();
    g_signal_emit_by_name(client->start_button.get(), "clicked");
    const auto idle = [&] { return std::string(gtk_button_get_label(GTK_BUTTON(client->start_button.get()))) == "Start test"; };
    // The gauge shows the readings. On a starved machine all of a 2 s run's
    // events can reach the main loop in one turn, the reset at its end with
    // them, and the gauge is never seen moving: its record still has them.
    bool moved = false;
    ASSERT_TRUE(pump_until([&] { return (moved = moved || client->meter.peak() > 0) || idle(); }, 20))
        << label_text(client->status_label.get());
    ASSERT_TRUE(pump_until(idle, 30));
    if (!moved) {
      const auto log = run_log_of(window);
      EXPECT_TRUE(!log->runs().empty() && !log->runs().back()->intervals.empty()) << "no reading reached the page";
    }
    ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()) == "Waiting for client connections…"; }, 10))
        << label_text(server->status_label.get());
    pump_for(0.3);  // let tee finish writing

    const auto client_lines = lines_of(output_of_launch("-c"));
    const auto server_lines = lines_of(output_of_launch("-s"));
    ASSERT_FALSE(client_lines.empty());
    ASSERT_FALSE(server_lines.empty());
    const auto expected = last_result(client_lines, false);
    ASSERT_TRUE(expected.has_value()) << "the captured client lines hold no summary";
    EXPECT_EQ(label_text(client->status_label.get()), *expected);
    // The server page went through the server's own result and waits again.
    EXPECT_TRUE(last_result(server_lines, true).has_value());
    EXPECT_EQ(label_text(server->status_label.get()), "Waiting for client connections…");
    EXPECT_EQ(std::string(gtk_button_get_label(GTK_BUTTON(server->start_button.get()))), "Stop server");
  }
};

}  // namespace

TEST_F(LoopbackFixture, PlainTcpTestShowsTheToolsOwnResult) {
  measure([] {});
}

TEST_F(LoopbackFixture, ThreeParallelStreamsShowTheSummedResult) {
  measure([&] { compat::spin_row_set_value(client->parallel_row.get(), 3); });
}

TEST_F(LoopbackFixture, BidirectionalTestShowsTheResult) {
  measure([&] { compat::switch_row_set_active(client->bidir_row.get(), true); });
}

TEST_F(LoopbackFixture, UdpTestShowsTheResult) {
  measure([&] {
    compat::switch_row_set_active(client->udp_row.get(), true);
    gtk_editable_set_text(GTK_EDITABLE(client->bitrate_row.get()), "200M");
  });
}

// A client of the Server page's real iperf3 that is interrupted, then one
// that is killed outright: each is named as having ended early, in iperf3's
// words, and the server goes on listening.
TEST_F(LoopbackFixture, ServerNamesRealClientsThatStopEarly) {
  struct Case {
    int signal;
    const char* ending;
    bool figures;
  } cases[] = {{SIGINT, " · ended early (the client has terminated)", true},
               {SIGKILL, "Last client: 127.0.0.1 — ended early (the client has unexpectedly closed the connection)", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    const std::string port_text = std::to_string(port);
    const char* argv[] = {"iperf3", "-c", "127.0.0.1", "-p", port_text.c_str(), "-t", "10", nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                              GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                          G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                              nullptr, nullptr, &pid, nullptr));
    // Two intervals on the server's gauge, then the signal.
    ASSERT_TRUE(pump_until([&] { return server->meter.peak() > 0; }, 20));
    pump_for(1.5);
    kill(pid, c.signal);
    ASSERT_TRUE(pump_until([&] { return label_text(server->details_label.get()).ends_with(c.ending); }, 20))
        << label_text(server->details_label.get());
    const std::string details = label_text(server->details_label.get());
    EXPECT_EQ(details.starts_with("Last client: 127.0.0.1 — receive: "), c.figures) << details;
    ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()) == "Waiting for client connections…"; }, 10));
    EXPECT_EQ(std::string(gtk_button_get_label(GTK_BUTTON(server->start_button.get()))), "Stop server");
    g_spawn_close_pid(pid);
    waitpid(pid, nullptr, 0);
  }
}

TRELLAN_GTK_TEST_MAIN()
