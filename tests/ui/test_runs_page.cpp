// The Runs page as a user and a screen reader meet it: the runs of the
// window newest first, the run that starts shown live, its chart described
// in words, its interval table cell by cell, and its buttons in sight at the
// window's default size. Runs with GTK's test accessibility backend.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/run_export.hpp"
#include "core/run_file.hpp"
#include "fake_tool.hpp"
#include "file_chooser.hpp"
#include "runs_page_fixture.hpp"
#include "ui/app.hpp"
#include "ui/compat.hpp"
#include "ui/runs_page.hpp"

using namespace trellan;
using namespace trellan::testing;

TEST_F(RunsPageTest, ARunThatStartsIsShownLiveNewestFirstAndEveryPartReachesAScreenReader) {
  open_runs();
  ASSERT_TRUE(pump_until([&] { return missing(page, {"No runs yet"}).empty(); }, 5));

  const auto first = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 2 streams · 10 s");
  log->add_interval(first, send_interval("0.00", "1.00", 942, "112 MBytes", 0));
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"Client — 127.0.0.1, port 5201", "0.00–1.00 s", "Send", "942.0 Mbit/s", "112 MBytes",
                           "Copy as text", "Copy as CSV", "Save as CSV…"}).empty();
  }, 5)) << ::testing::PrintToString(missing(page, {"Client — 127.0.0.1, port 5201", "0.00–1.00 s", "Send",
                                                      "942.0 Mbit/s", "112 MBytes", "Copy as text",
                                                      "Copy as CSV", "Save as CSV…"}));
  EXPECT_FALSE(has(reachable_texts(page), "No runs yet"));

  // The run grows live: a UDP receive interval with loss, then the end.
  IntervalRecord udp;
  udp.start = 1;
  udp.end = 2;
  udp.start_text = "1.00";
  udp.end_text = "2.00";
  udp.direction = Direction::Receive;
  udp.mbps = 1.05;
  udp.transfer = "128 KBytes";
  udp.jitter_ms = "0.013";
  udp.lost = 3;
  udp.total = 91;
  log->add_interval(first, udp);
  const std::vector<std::string> second_row = {"1.00–2.00 s", "Receive", "1.1 Mbit/s", "128 KBytes", "0.013 ms",
                                               "3 of 91"};
  EXPECT_TRUE(pump_until([&] { return missing(page, second_row).empty(); }, 5))
      << ::testing::PrintToString(missing(page, second_row));
  EXPECT_EQ(gtk_accessible_get_accessible_role(GTK_ACCESSIBLE(chart())), GTK_ACCESSIBLE_ROLE_IMG);
  EXPECT_EQ(chart_description_problem("Send: min 942.00, mean 942.00, max 942.00 Mbit/s over 1 s. "
                                      "Receive: min 1.05, mean 1.05, max 1.05 Mbit/s over 1 s."),
            "");
  log->end(first, RunEnd::Result, "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s",
           "Retransmits: 0");
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s", "Retransmits: 0"}).empty();
  }, 5));

  // At the default size the detail and its buttons are in sight as they come.
  trellan::testing::pump_for(0.5);  // layout
  for (const char* b : {"Copy as text", "Copy as CSV", "Save as CSV…"})
    EXPECT_TRUE(in_sight(button_labelled(page, b), win())) << b;
  EXPECT_TRUE(in_sight(chart(), win()));
  trellan::testing::save_window_png(win(), trellan::testing::shot_path("runs-page-test.png"));

  // A second run goes first and is shown; intervals of the first no longer
  // reach the detail; choosing the first row shows it again.
  const auto second = log->begin(RunPage::Server, "192.0.2.7", "TCP");
  EXPECT_EQ(row_title(gtk_list_box_get_row_at_index(run_list(), 0)), "Server — client 192.0.2.7");
  EXPECT_EQ(row_title(gtk_list_box_get_row_at_index(run_list(), 1)), "Client — 127.0.0.1, port 5201");
  EXPECT_EQ(row_title(chosen_row()), "Server — client 192.0.2.7");
  EXPECT_EQ(chart_description_problem("No readings yet."), "");
  log->end(second, RunEnd::EndedEarly);
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Ended before the first reading"}).empty(); }, 5));
  EXPECT_FALSE(has(reachable_texts(page), "0.00–1.00 s"));

  g_signal_emit_by_name(gtk_list_box_get_row_at_index(run_list(), 1), "activate");
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"0.00–1.00 s", "1.00–2.00 s", "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s"})
        .empty();
  }, 5));
}

namespace {

// A two-stream client test that prints its first second, waits for the file
// "go" beside it, then prints the second and its summary.
const char* kTwoStreamsWaiting = R"(
go="$(dirname "$0")/go"
echo 'Connecting to host 127.0.0.1, port 5201'
echo '[  5] local 127.0.0.1 port 40000 connected to 127.0.0.1 port 5201'
echo '[  7] local 127.0.0.1 port 40002 connected to 127.0.0.1 port 5201'
echo '[ ID] Interval           Transfer     Bitrate         Retr  Cwnd'
echo '[  5]   0.00-1.00   sec  56.2 MBytes   471 Mbits/sec    0   1.06 MBytes'
echo '[  7]   0.00-1.00   sec  56.0 MBytes   470 Mbits/sec    2   1.06 MBytes'
echo '[SUM]   0.00-1.00   sec   112 MBytes   942 Mbits/sec    2'
echo '- - - - - - - - - - - - - - - - - - - - - - - - -'
while [ ! -e "$go" ]; do sleep 0.05; done
echo '[  5]   1.00-2.00   sec  56.1 MBytes   470 Mbits/sec    0   1.06 MBytes'
echo '[  7]   1.00-2.00   sec  55.9 MBytes   469 Mbits/sec    0   1.06 MBytes'
echo '[SUM]   1.00-2.00   sec   112 MBytes   939 Mbits/sec    0'
echo '- - - - - - - - - - - - - - - - - - - - - - - - -'
echo '[ ID] Interval           Transfer     Bitrate         Retr'
echo '[  5]   0.00-2.00   sec   112 MBytes   470 Mbits/sec    0             sender'
echo '[  5]   0.00-2.04   sec   112 MBytes   467 Mbits/sec                  receiver'
echo '[  7]   0.00-2.00   sec   112 MBytes   470 Mbits/sec    2             sender'
echo '[  7]   0.00-2.04   sec   111 MBytes   467 Mbits/sec                  receiver'
echo '[SUM]   0.00-2.00   sec   224 MBytes   940 Mbits/sec    2             sender'
echo '[SUM]   0.00-2.04   sec   223 MBytes   934 Mbits/sec                  receiver'
echo ''
echo 'iperf Done.'
)";

std::string row_subtitle(GtkListBoxRow* row) { return row_subtitle_of(row); }

}  // namespace

TEST_F(RunsPageTest, AClientTestIsFollowedLiveOnTheRunsPageAndCopiedAsCsv) {
  trellan::testing::FakeTool tool(kTwoStreamsWaiting);
  const ClientForm& client = *client_form_of(window);
  compat::spin_row_set_value(client.parallel_row.get(), 2);
  compat::spin_row_set_value(client.duration_row.get(), 2);
  gtk_widget_activate(client.start_button.get());
  open_runs();

  // While the tool waits, the run is there, chosen, with its first second.
  ASSERT_TRUE(pump_until([&] { return missing(page, {"0.00–1.00 s", "942.0 Mbit/s"}).empty(); }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  GtkListBoxRow* selected = chosen_row();
  EXPECT_EQ(row_title(selected), "Client — 127.0.0.1, port 5201");
  EXPECT_NE(row_subtitle(selected).find("TCP · 2 streams · 2 s\nRunning… send 942.0 Mbit/s at 1.00 s"),
            std::string::npos)
      << row_subtitle(selected);
  EXPECT_FALSE(has(reachable_texts(page), "1.00–2.00 s"));

  g_file_set_contents((tool.dir() + "/go").c_str(), "", 0, nullptr);
  const std::string result = "Result — send: 940.0 Mbit/s · receive: 934.0 Mbit/s";
  ASSERT_TRUE(pump_until([&] {
    return row_subtitle(chosen_row()).find(result) != std::string::npos;
  }, 10)) << row_subtitle(chosen_row());
  EXPECT_TRUE(pump_until([&] { return missing(page, {"1.00–2.00 s", "939.0 Mbit/s", result}).empty(); }, 5))
      << ::testing::PrintToString(missing(page, {"1.00–2.00 s", "939.0 Mbit/s", result}));

  EXPECT_EQ(copied_by(button_labelled(page, "Copy as CSV")),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,latency_rtt_median_ms,probes_lost\n"
            "0.00,1.00,send,942.000,112 MBytes,2,,,,no,,\n"
            "1.00,2.00,send,939.000,112 MBytes,0,,,,no,,\n");
  const std::string report = copied_by(button_labelled(page, "Copy as text"));
  EXPECT_EQ(report.rfind("Client — 127.0.0.1, port 5201\n", 0), 0u) << report;
  // The command line the click ran, as the record kept it.
  EXPECT_NE(report.find("\nCommand: iperf3 -c 127.0.0.1 -p 5201 -t 2 -i 1 --forceflush -P 2\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find(result + "\n"), std::string::npos) << report;
}

TEST_F(RunsPageTest, SaveAsCsvProposesTheRunsStartAsNameAndWritesTheFile) {
  GDateTime* start = g_date_time_new_local(2026, 3, 14, 9, 26, 53);
  const auto started = std::chrono::system_clock::from_time_t(g_date_time_to_unix(start));
  g_date_time_unref(start);
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s", started);
  log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 2));
  open_runs();
  // The chooser opens in the current folder: a fresh one, whose name is
  // not UTF-8.
  char tmpl[] = "/tmp/trellan-s\xE9" "ve-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string shown_dir = "/tmp/trellan-s\xEF\xBF\xBD" "ve-" + dir.substr(dir.size() - 6);
  gchar* previous = g_get_current_dir();
  ASSERT_EQ(g_chdir(dir.c_str()), 0);

  g_signal_emit_by_name(button_labelled(page, "Save as CSV…"), "clicked");
  GtkWidget* chooser = open_file_chooser();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser_name(chooser), "trellan-20260314-092653.csv");
  accept_chooser(chooser);
  const std::string path = dir + "/trellan-20260314-092653.csv";
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"Saved as “" + shown_dir + "/trellan-20260314-092653.csv”."}).empty();
  }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  gchar* contents = nullptr;
  EXPECT_TRUE(g_file_get_contents(path.c_str(), &contents, nullptr, nullptr));
  EXPECT_STREQ(contents,
               "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,latency_rtt_median_ms,probes_lost\n"
               "0.00,1.00,send,942.000,112 MBytes,2,,,,no,,\n");
  g_free(contents);

  EXPECT_EQ(g_chdir(previous), 0);
  g_free(previous);
  g_remove(path.c_str());
  g_rmdir(dir.c_str());
}

namespace {

std::string read_file(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  std::string out(contents, length);
  g_free(contents);
  return out;
}

std::string files_dir() { return g_getenv("TRELLAN_RUN_FILES") ? g_getenv("TRELLAN_RUN_FILES") : "."; }

// The lines the page shows about opening files.
std::vector<std::string> lines_starting(GtkWidget* page, const std::string& start) {
  std::vector<std::string> out;
  for (const std::string& text : reachable_texts(page)) {
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t end = std::min(text.find('\n', from), text.size());
      const std::string line = text.substr(from, end - from);
      if (line.rfind(start, 0) == 0) out.push_back(line);
      from = end + 1;
    }
  }
  return out;
}

}  // namespace

TEST_F(RunsPageTest, FilesThatCannotBeOpenedAreSaidInWordsAndLoseNothing) {
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s");
  log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 2));
  log->end(id, RunEnd::Stopped);
  char tmpl[] = "/tmp/trellan-open-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string empty = dir + "/empty.json", folder = dir + "/folder", odd = dir + "/b\xE9" "d.json";
  ASSERT_TRUE(g_file_set_contents(empty.c_str(), "", 0, nullptr));
  ASSERT_EQ(g_mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(g_file_set_contents(odd.c_str(), "not json\n", -1, nullptr));
  std::vector<Ref<GFile>> files;
  for (const std::string& path : {empty, folder, odd}) files.push_back(Ref<GFile>::take(g_file_new_for_path(path.c_str())));
  open_files_in_window(window, std::move(files));

  // Each file has its line, in the order given, named as a file manager
  // names it; the run there stays, alone and chosen.
  std::vector<std::string> said;
  EXPECT_TRUE(pump_until([&] { return (said = lines_starting(page, "Could not open ")).size() == 3; }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  const char* names[] = {"“empty.json”: ", "“folder”: ", "“b\xEF\xBF\xBD" "d.json”: "};
  for (std::size_t i = 0; i < said.size() && i < 3; ++i) {
    const std::string head = std::string("Could not open ") + names[i];
    EXPECT_EQ(said[i].rfind(head, 0), 0u) << said[i];
    EXPECT_GT(said[i].size(), head.size()) << "no reason: " << said[i];
  }
  EXPECT_EQ(log->runs().size(), 1u);
  EXPECT_EQ(row_title(chosen_row()), "Client — 127.0.0.1, port 5201");
  g_remove(empty.c_str());
  g_rmdir(folder.c_str());
  g_remove(odd.c_str());
  g_rmdir(dir.c_str());
}

// Ctrl+O's action, from another page: the Runs page comes up with a file
// chooser, and the file chosen there is opened (an empty one, which no
// reader takes, is said to be so).
TEST_F(RunsPageTest, OpenFromAnyPageShowsTheRunsPageAndOpensTheFileChosen) {
  char tmpl[] = "/tmp/trellan-choose-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string empty = dir + "/empty.json";
  ASSERT_TRUE(g_file_set_contents(empty.c_str(), "", 0, nullptr));
  adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack), "client");
  ASSERT_TRUE(gtk_widget_activate_action(win(), "win.open-runs", nullptr));
  EXPECT_STREQ(adw_view_stack_get_visible_child_name(ADW_VIEW_STACK(stack)), "runs");
  GtkWidget* chooser = open_file_chooser();
  ASSERT_NE(chooser, nullptr);
  GFile* file = g_file_new_for_path(empty.c_str());
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_TRUE(gtk_file_chooser_set_file(GTK_FILE_CHOOSER(chooser), file, nullptr));
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_object_unref(file);
  accept_chooser(chooser);
  EXPECT_TRUE(pump_until([&] { return lines_starting(page, "Could not open “empty.json”: ").size() == 1; }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  EXPECT_TRUE(log->runs().empty());
  g_remove(empty.c_str());
  g_rmdir(dir.c_str());
}

// A file that keeps the reader waiting (a pipe nobody writes to yet)
// shows its progress after half a second, with a Cancel that ends the open
// at once: no run and no failure from it, and the window answers.
TEST_F(RunsPageTest, ASlowFileShowsItsProgressAndCanBeCancelled) {
  open_runs();
  char tmpl[] = "/tmp/trellan-slow-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string fifo = dir + "/slow.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<Ref<GFile>> files;
  files.push_back(Ref<GFile>::take(g_file_new_for_path(fifo.c_str())));
  // Held open for writing, the pipe has a writer that sends nothing yet.
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const gint64 start = g_get_monotonic_time();
  open_files_in_window(window, std::move(files));
  ASSERT_TRUE(pump_until([&] { return missing(page, {"Opening “slow.json”…"}).empty(); }, 5));
  EXPECT_GE(g_get_monotonic_time() - start, 500'000);
  GtkWidget* cancel = button_labelled(page, "Cancel");
  ASSERT_NE(cancel, nullptr);
  gtk_widget_activate(cancel);
  EXPECT_TRUE(pump_until([&] { return !gtk_widget_get_mapped(cancel); }, 5));
  // The reader gets to the end of its file, and its runs go nowhere.
  close(writer);
  pump_for(0.5);
  EXPECT_TRUE(log->runs().empty());
  EXPECT_TRUE(lines_starting(page, "Could not open ").empty()) << ::testing::PrintToString(reachable_texts(page));
  g_remove(fifo.c_str());
  g_rmdir(dir.c_str());
}

// Files asked for one after another, as many launches at once hand them
// over, wait their turn behind a slow one, and none is dropped without a
// word. A file of more runs than the window keeps lets its own older runs
// go, never the run measured here; a cancel says what it left unopened.
TEST_F(RunsPageTest, FilesAskedForWhileOneIsReadWaitTheirTurnAndRunsMeasuredHereStay) {
  open_runs();
  const auto measured = log->begin(RunPage::Client, "192.0.2.9, port 5201", "TCP · 10 s");
  log->add_interval(measured, send_interval("0.00", "1.00", 942, "112 MBytes", 0));
  log->end(measured, RunEnd::Stopped);
  char tmpl[] = "/tmp/trellan-queue-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  const std::string fifo = dir + "/server-log.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const std::string one = read_file(files_dir() + "/tcp-client-3.12.json");
  ASSERT_FALSE(one.empty());
  const auto open_one = [&](const std::string& path) {
    std::vector<Ref<GFile>> files;
    files.push_back(Ref<GFile>::take(g_file_new_for_path(path.c_str())));
    open_files_in_window(window, std::move(files));
  };
  const auto button_mapped = [&](const char* label) {
    GtkWidget* b = button_labelled(page, label);
    return b && gtk_widget_get_mapped(b);
  };
  open_one(fifo);
  std::vector<std::string> small;
  for (int i = 0; i < 30; ++i) {
    small.push_back(dir + "/client-" + std::to_string(i) + ".json");
    ASSERT_TRUE(g_file_set_contents(small.back().c_str(), one.c_str(), -1, nullptr));
    open_one(small.back());
  }
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Opening “server-log.json”… (30 more files waiting)"}).empty(); },
                         5))
      << ::testing::PrintToString(reachable_texts(page));

  // The slow file comes: a server's log of 150 tests.
  const std::string test = read_file(std::string(g_getenv("TRELLAN_CAPTURES")) + "/iperf3-3.12/json-tcp-server.json");
  ASSERT_FALSE(test.empty());
  std::string server_log;
  for (int i = 0; i < 150; ++i) server_log += test;
  std::thread feed([&] {
    for (std::size_t at = 0; at < server_log.size();) {
      const ssize_t n = write(writer, server_log.data() + at, server_log.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    close(writer);
  });
  const bool all_came = pump_until([&] { return log->runs().back()->source_file == "client-29.json"; }, 60);
  feed.join();
  ASSERT_TRUE(all_came) << log->runs().size() << " runs";
  EXPECT_TRUE(lines_starting(page, "Could not open ").empty()) << ::testing::PrintToString(reachable_texts(page));
  EXPECT_EQ(log->runs().front()->id, measured);
  for (std::size_t i = 0; i < small.size(); ++i)
    EXPECT_EQ(log->runs()[RunLog::kMaxRuns - small.size() + i]->source_file, "client-" + std::to_string(i) + ".json");
  // 150 + 30 opened, 99 kept beside the measured run.
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"81 runs from files were left out: the window keeps 100 runs, and those measured here stay."})
        .empty();
  }, 5)) << ::testing::PrintToString(reachable_texts(page));

  // A cancel while one is read and two wait: none of the three opens, and
  // the page says so.
  const int writer2 = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer2, 0);
  open_one(fifo);
  open_one(small[0]);
  open_one(small[1]);
  ASSERT_TRUE(pump_until([&] { return button_mapped("Cancel"); }, 5));
  gtk_widget_activate(button_labelled(page, "Cancel"));
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"Cancelled: “server-log.json” and 2 more files were not opened."}).empty();
  }, 5)) << ::testing::PrintToString(reachable_texts(page));
  close(writer2);
  pump_for(0.3);
  EXPECT_EQ(log->runs().back()->source_file, "client-29.json");
  for (const std::string& path : small) g_remove(path.c_str());
  g_remove(fifo.c_str());
  g_rmdir(dir.c_str());
}

// Two iperf3 -J files given as arguments, as `trellan a.json b.json`
// would: both open, are marked and compared, the comparison is copied,
// and all runs saved to one file reopen to the same copies.
TEST_F(RunsPageTest, TwoFilesOpenedByArgumentAreComparedSavedTogetherAndReopened) {
  const std::string tcp = files_dir() + "/tcp-client-3.12.json", udp = files_dir() + "/udp-client-3.12.json";
  ASSERT_FALSE(read_file(tcp).empty()) << tcp;
  if (read_runs(read_file(tcp), "tcp-client-3.12.json").runs.empty())
    GTEST_SKIP() << "this build has no reader of iperf3's JSON yet";
  GFile* args[] = {g_file_new_for_path(tcp.c_str()), g_file_new_for_path(udp.c_str())};
  on_open(test_application(), args, 2, "", nullptr);
  for (GFile* f : args) g_object_unref(f);
  ASSERT_TRUE(pump_until([&] { return log->runs().size() == 2; }, 10)) << log->runs().size() << " runs";
  EXPECT_EQ(log->runs()[0]->source_file, "tcp-client-3.12.json");
  EXPECT_EQ(log->runs()[1]->source_file, "udp-client-3.12.json");
  EXPECT_NE(row_subtitle_of(gtk_list_box_get_row_at_index(run_list(), 0)).find("udp-client-3.12.json"),
            std::string::npos);

  // Both marked: the comparison comes up in place of the chosen run.
  for (int i = 0; i < 2; ++i) {
    GtkWidget* compare = find_widget(GTK_WIDGET(gtk_list_box_get_row_at_index(run_list(), i)),
                                     [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
    ASSERT_NE(compare, nullptr);
    gtk_check_button_set_active(GTK_CHECK_BUTTON(compare), TRUE);
  }
  GtkWidget* copy = nullptr;
  ASSERT_TRUE(pump_until([&] {
    copy = button_labelled(page, "Copy comparison as CSV");
    return copy && gtk_widget_get_mapped(copy);
  }, 10));
  const std::string csv = copied_by(copy);
  EXPECT_EQ(csv.substr(0, csv.find('\n') + 1),
            "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
            "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
  // The copy is told, as a run's copy is.
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Copied the comparison of 2 runs as CSV"}).empty(); }, 5));

  // Saved together and reopened: two more runs, whose copies are those of
  // the first two to the byte.
  char tmpl[] = "/tmp/trellan-save-all-XXXXXX";
  const std::string dir = g_mkdtemp(tmpl);
  gchar* previous = g_get_current_dir();
  ASSERT_EQ(g_chdir(dir.c_str()), 0);
  g_signal_emit_by_name(button_labelled(page, "Save all runs…"), "clicked");
  GtkWidget* chooser = open_file_chooser();
  ASSERT_NE(chooser, nullptr);
  const std::string path = dir + "/" + chooser_name(chooser);
  accept_chooser(chooser);
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Saved as “" + path + "”."}).empty(); }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  EXPECT_EQ(g_chdir(previous), 0);
  g_free(previous);
  std::vector<Ref<GFile>> saved;
  saved.push_back(Ref<GFile>::take(g_file_new_for_path(path.c_str())));
  runs_page_open_files(page, std::move(saved));
  ASSERT_TRUE(pump_until([&] { return log->runs().size() == 4; }, 10)) << log->runs().size() << " runs";
  for (int i = 0; i < 2; ++i) {
    const RunRecord& first = *log->runs()[i];
    const RunRecord& again = *log->runs()[i + 2];
    EXPECT_EQ(intervals_csv(again), intervals_csv(first));
    EXPECT_EQ(run_report(again, again.facts.iperf_version), run_report(first, first.facts.iperf_version));
  }
  g_remove(path.c_str());
  g_rmdir(dir.c_str());
}

TEST_F(RunsPageTest, AFailedRunShowsItsErrorWhereTheChartAndTableWouldBe) {
  trellan::testing::FakeTool tool(
      "echo 'iperf3: error - unable to connect to server: Connection refused' >&2; exit 1");
  gtk_widget_activate(client_form_of(window)->start_button.get());
  open_runs();
  const std::vector<std::string> failure = {"The test failed",
                                            "iperf3 error: unable to connect to server: Connection refused"};
  EXPECT_TRUE(pump_until([&] { return missing(page, failure).empty(); }, 10))
      << ::testing::PrintToString(reachable_texts(page));
  EXPECT_FALSE(gtk_widget_get_mapped(chart()));
  GtkWidget* table = find_widget(page, [](GtkWidget* w) { return GTK_IS_COLUMN_VIEW(w); });
  ASSERT_NE(table, nullptr);
  EXPECT_FALSE(gtk_widget_get_mapped(table));
  trellan::testing::pump_for(0.5);  // layout
  trellan::testing::save_window_png(win(), trellan::testing::shot_path("runs-page-failed.png"));

  // A run with readings shows its chart and table again.
  const auto id = log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s");
  log->add_interval(id, send_interval("0.00", "1.00", 942, "112 MBytes", 0));
  EXPECT_TRUE(pump_until([&] { return gtk_widget_get_mapped(chart()) && gtk_widget_get_mapped(table); }, 5));
  EXPECT_FALSE(has(reachable_texts(page), "The test failed"));

  // Nor does a run stopped before its first reading draw empty axes.
  log->end(log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s"), RunEnd::Stopped);
  EXPECT_TRUE(pump_until([&] { return missing(page, {"Stopped before the first reading"}).empty(); }, 5));
  EXPECT_FALSE(gtk_widget_get_mapped(chart()));
}

TEST_F(RunsPageTest, ThePageSaysHowManyOldRunsTheCapRemoved) {
  open_runs();
  for (std::size_t i = 0; i < RunLog::kMaxRuns + 3; ++i)
    log->end(log->begin(RunPage::Client, "127.0.0.1, port 5201", "TCP · 10 s"), RunEnd::Stopped);
  EXPECT_TRUE(pump_until([&] {
    return missing(page, {"3 older runs were removed: the window keeps the last 100."}).empty();
  }, 10)) << ::testing::PrintToString(reachable_texts(page));
}

TRELLAN_GTK_TEST_MAIN()
