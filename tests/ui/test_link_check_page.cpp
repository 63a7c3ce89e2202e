// The Client page's link check against a real iperf3 server on loopback (the
// window's own Server page): the three tests with ping beside them, the two
// result lines read against what iperf3 printed, Stop and a refused port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/run_words.hpp"
#include "core/text.hpp"
#include "fake_tool.hpp"
#include "core/link_check_record.hpp"
#include "link_check_helpers.hpp"
#include "window_fixture.hpp"

using namespace trellan;
using trellan::testing::button_text;
using trellan::testing::children;
using trellan::testing::real_tool;
using trellan::testing::receiver_mbps;
using trellan::testing::click;
using trellan::testing::label_text;
using trellan::testing::pump_for;
using trellan::testing::pump_until;

namespace {

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

// The records of the Client page's runs.
std::vector<const RunRecord*> client_runs(const RunLog& log) {
  std::vector<const RunRecord*> out;
  for (const auto& run : log.runs())
    if (run->page == RunPage::Client) out.push_back(run.get());
  return out;
}

struct LinkCheckPage : trellan::testing::WindowFixture {
  std::unique_ptr<trellan::testing::FakeTool> wrapper;
  int port = 0;
  GtkWidget* check_button = nullptr;

  void SetUp() override {
    const std::string iperf3 = real_tool("iperf3");
    ASSERT_FALSE(iperf3.empty()) << "iperf3 is not installed";
    if (real_tool("ping").empty()) GTEST_SKIP() << "ping is not installed";
    // Each client launch copies what it prints to out.<pid>.
    wrapper = std::make_unique<trellan::testing::FakeTool>(
        "exec '" + iperf3 + "' \"$@\" > >(tee \"$(dirname \"$0\")/out.$$\")");
    WindowFixture::SetUp();
    port = free_tcp_port();
    compat::spin_row_set_value(server->listen_port_row.get(), port);
    compat::spin_row_set_value(client->port_row.get(), port);
    compat::spin_row_set_value(client->duration_row.get(), 2);
    // The form's own direction and protocol do not apply to a check.
    compat::switch_row_set_active(client->udp_row.get(), true);
    compat::switch_row_set_active(client->reverse_row.get(), true);
    check_button = gtk_widget_get_next_sibling(client->start_button.get());
    ASSERT_TRUE(check_button && GTK_IS_BUTTON(check_button));
    ASSERT_EQ(button_text(check_button), "Check link");
  }

  void start_server() {
    click(server->start_button.get());
    ASSERT_TRUE(pump_until([&] { return label_text(server->status_label.get()) == "Waiting for client connections…"; }, 20));
  }

  std::string status() const { return label_text(client->status_label.get()); }

  // The link check's phase line: the label that says "Link check: …".
  std::string phase_line() const {
    GtkWidget* area = gtk_widget_get_prev_sibling(gtk_widget_get_parent(client->start_button.get()));
    for (GtkWidget* c = gtk_widget_get_first_child(area); c; c = gtk_widget_get_next_sibling(c))
      if (GTK_IS_LABEL(c) && label_text(c).rfind("Link check", 0) == 0) return label_text(c);
    return {};
  }

  bool check_over() const { return gtk_widget_get_sensitive(check_button) && client_idle(); }

  std::string output_of(size_t launch) const {
    return wrapper->dir() + "/out." + std::to_string(wrapper->pids()[launch]);
  }
};

TEST_F(LinkCheckPage, OneClickMeasuresDownloadUploadAndBothWaysAndSaysItInTwoLines) {
  start_server();
  click(check_button);
  // While it runs: Stop on the start button, the check's own button off,
  // the phase line counting down the idle baseline.
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");
  EXPECT_FALSE(gtk_widget_get_sensitive(check_button));
  EXPECT_TRUE(phase_line().starts_with("Link check: measuring idle latency, ")) << phase_line();
  ASSERT_TRUE(pump_until([&] { return phase_line().starts_with("Link check: uploading (phase 2 of 3), "); }, 20))
      << status() << " / " << phase_line();
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");
  ASSERT_TRUE(pump_until([&] { return check_over(); }, 30)) << status();

  // Three client launches: -R, plain, --bidir, none of them UDP.
  std::vector<size_t> clients;
  for (size_t i = 0; i < wrapper->pids().size(); ++i)
    if (!wrapper->args(i).empty() && wrapper->args(i)[0] == "-c") clients.push_back(i);
  ASSERT_EQ(clients.size(), 3u);
  const auto has = [&](size_t i, const char* flag) {
    const auto a = wrapper->args(clients[i]);
    return std::find(a.begin(), a.end(), flag) != a.end();
  };
  EXPECT_TRUE(has(0, "-R") && !has(0, "--bidir") && !has(0, "-u"));
  EXPECT_TRUE(!has(1, "-R") && !has(1, "--bidir") && !has(1, "-u"));
  EXPECT_TRUE(has(2, "--bidir") && !has(2, "-R") && !has(2, "-u"));

  // The rates are iperf3's receiver figures: of the -R test and of the plain one.
  pump_for(0.3);  // tee's last lines
  const auto down = receiver_mbps(output_of(clients[0]));
  const auto up = receiver_mbps(output_of(clients[1]));
  ASSERT_TRUE(down && up);
  const std::string first = "Link check — download " + rate_text(*down) + ", upload " + rate_text(*up) +
                            "; bufferbloat grade ";
  EXPECT_TRUE(status().starts_with(first)) << status() << "\nwanted " << first;
  // Loopback adds next to nothing under load.
  const std::string grade = status().substr(first.size());
  EXPECT_TRUE(grade == "A+" || grade == "A") << grade;
  const std::string latency = label_text(client->latency_label.get());
  EXPECT_TRUE(latency.starts_with("Latency: ") && latency.find(" ms idle; ") != std::string::npos &&
              latency.find(" downloading, ") != std::string::npos &&
              latency.find(" uploading, ") != std::string::npos && latency.find(" both ways") != std::string::npos)
      << latency;
  const std::string details = label_text(client->details_label.get());
  EXPECT_TRUE(details.starts_with("Grade " + grade + ": ") && details.ends_with("(from ICMP ping probes).")) << details;
  EXPECT_TRUE(gtk_widget_get_visible(client->details_label.get()));

  // Each phase joined the Runs page as a run.
  const auto runs = client_runs(*run_log_of(window));
  ASSERT_EQ(runs.size(), 3u);
  for (const RunRecord* run : runs) EXPECT_EQ(run->end, RunEnd::Result) << run->error_text;
  // They are one check: each is marked with the check and its phase, and
  // with the check's grade and idle baseline once it was over.
  const LinkPhase phases[] = {LinkPhase::Download, LinkPhase::Upload, LinkPhase::Both};
  ASSERT_TRUE(runs[0]->facts.link_check && runs[0]->latency);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& mark = runs[i]->facts.link_check;
    ASSERT_TRUE(mark) << i;
    EXPECT_EQ(mark->check, runs[0]->facts.link_check->check) << i;
    EXPECT_EQ(mark->phase, phases[i]) << i;
    EXPECT_EQ(mark->grade ? grade_text(*mark->grade) : "none", grade) << i;
    EXPECT_EQ(mark->idle_ms, runs[0]->latency->idle_ms) << i;
  }
  std::printf("%s\n%s\n%s\n", status().c_str(), latency.c_str(), details.c_str());
  EXPECT_EQ(children("ping"), 0);
  EXPECT_EQ(children("iperf3", "-c"), 0);
}

TEST_F(LinkCheckPage, StopEndsTheWholeCheckKeepsWhatWasMeasuredAndLeavesNothingRunning) {
  start_server();
  click(check_button);
  ASSERT_TRUE(pump_until([&] { return phase_line().starts_with("Link check: uploading"); }, 20)) << status();
  ASSERT_TRUE(pump_until([&] { return children("iperf3", "-c") == 1; }, 5));
  click(client->start_button.get());  // "Stop"
  EXPECT_EQ(status(), "Link check stopped after download");
  EXPECT_TRUE(check_over());
  EXPECT_EQ(label_text(client->details_label.get()), "");
  EXPECT_TRUE(label_text(client->latency_label.get()).starts_with("Latency: ")) << label_text(client->latency_label.get());
  EXPECT_EQ(label_text(client->latency_label.get()).find("uploading"), std::string::npos);
  ASSERT_TRUE(pump_until([&] { return children("iperf3", "-c") == 0 && children("ping") == 0; }, 5));
  // Nothing starts later on its own.
  pump_for(3);
  EXPECT_EQ(children("iperf3", "-c"), 0);
  EXPECT_EQ(status(), "Link check stopped after download");
  // The download and the stopped upload are in the runs.
  const auto runs = client_runs(*run_log_of(window));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0]->end, RunEnd::Result);
  EXPECT_EQ(runs[1]->end, RunEnd::Stopped);
  // Its runs tell the check as the page did, with no grade.
  ASSERT_TRUE(runs[0]->facts.link_check);
  const LinkCheckRuns check = link_check_runs(runs, runs[0]->facts.link_check->check);
  EXPECT_EQ(link_check_of(check).result_line(), "Link check stopped after download");
  EXPECT_FALSE(runs[0]->facts.link_check->grade);

  // A test of the page's own leaves no check to start until it is over.
  click(client->start_button.get());
  EXPECT_FALSE(gtk_widget_get_sensitive(check_button));
  click(client->start_button.get());  // "Stop"
  EXPECT_TRUE(check_over());
}

TEST_F(LinkCheckPage, ARefusedPortFailsTheCheckInIperfsWordsWithNothingLeftRunning) {
  // No server listens on the port.
  click(check_button);
  ASSERT_TRUE(pump_until([&] { return check_over(); }, 20)) << status();
  // iperf3's own reason, as the page words its errors.
  EXPECT_TRUE(status().starts_with("Link check failed: iperf3 error: unable to connect to server")) << status();
  EXPECT_TRUE(gtk_widget_has_css_class(client->status_label.get(), "error"));
  EXPECT_EQ(label_text(client->details_label.get()), "");
  EXPECT_EQ(children("iperf3", "-c"), 0);
  ASSERT_TRUE(pump_until([&] { return children("ping") == 0; }, 5));
}

// A fake iperf3 that plays captured tests, and says the server is busy the
// first time it is asked for an upload (as a real server does, on stderr).
using FakeServer = trellan::testing::WindowFixture;

TEST_F(FakeServer, ABusyServerIsTriedAgainAndThePhaseGoesOn) {
  const std::string captures = std::string(std::getenv("TRELLAN_CAPTURES")) + "/iperf3-3.12/";
  trellan::testing::FakeTool fake(
      "d=$(dirname \"$0\")\n"
      "case \" $* \" in\n"
      "  *' -R '*) cat '" + captures + "tcp-reverse-P2-client.txt' ;;\n"
      "  *' --bidir '*) cat '" + captures + "bidir-P1-client.txt' ;;\n"
      "  *' -c '*) if [ ! -e \"$d/busy\" ]; then : > \"$d/busy\"\n"
      "      echo 'iperf3: error - the server is busy running a test. try again later' >&2; exit 1; fi\n"
      "    cat '" + captures + "tcp-client.txt' ;;\n"
      "esac\n");
  GtkWidget* check_button = gtk_widget_get_next_sibling(client->start_button.get());
  GtkWidget* area = gtk_widget_get_prev_sibling(gtk_widget_get_parent(client->start_button.get()));
  const auto phase_line = [&] {
    for (GtkWidget* c = gtk_widget_get_first_child(area); c; c = gtk_widget_get_next_sibling(c))
      if (GTK_IS_LABEL(c) && gtk_widget_get_visible(c) && !label_text(c).empty() &&
          label_text(c).find("switches") == std::string::npos)
        return label_text(c);
    return std::string();
  };
  // By keyboard: Tab goes from Start test to Check link, Enter starts it.
  ASSERT_TRUE(gtk_widget_grab_focus(client->start_button.get()));
  gtk_widget_child_focus(GTK_WIDGET(window), GTK_DIR_TAB_FORWARD);
  ASSERT_EQ(gtk_window_get_focus(GTK_WINDOW(window)), check_button);
  gtk_widget_activate(check_button);
  ASSERT_TRUE(pump_until([&] { return phase_line() == "The server is busy; trying again in 2 s (1 of 5)"; }, 20))
      << phase_line();
  EXPECT_EQ(button_text(client->start_button.get()), "Stop");  // Stop still ends the check while it waits
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_sensitive(check_button) && client_idle(); }, 30));
  // The receiver lines of the -R capture's [SUM] and of the plain one.
  EXPECT_TRUE(label_text(client->status_label.get()).starts_with("Link check — download 13.80 Gbit/s, upload 13.40 Gbit/s; "))
      << label_text(client->status_label.get());
  // The busy answer is kept among the runs, between the download and the upload.
  const auto runs = client_runs(*run_log_of(window));
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[1]->end, RunEnd::Error);
  EXPECT_EQ(runs[1]->error_text, "iperf3 error: the server is busy running a test. try again later");
  EXPECT_EQ(runs[2]->end, RunEnd::Result);
  // The busy try is the check's too, a try of its upload phase.
  ASSERT_TRUE(runs[0]->facts.link_check && runs[1]->facts.link_check && runs[2]->facts.link_check);
  EXPECT_EQ(runs[1]->facts.link_check->check, runs[0]->facts.link_check->check);
  EXPECT_EQ(runs[1]->facts.link_check->phase, LinkPhase::Upload);
  EXPECT_EQ(runs[2]->facts.link_check->phase, LinkPhase::Upload);
}

}  // namespace

TRELLAN_GTK_TEST_MAIN()
