// A run's record as CSV and as a plain-text report, from the records the
// parser gives for real iperf3 output. The expected texts are written by hand
// from the captured lines.
#include "core/output_parser.hpp"
#include "core/run_export.hpp"
#include "core/run_words.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace trellan {
namespace {

RunRecord parsed_run(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  OutputParser parser(false);
  RunRecord run;
  for (std::string line; std::getline(in, line);)
    for (auto& ev : parser.feed_line(line))
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) run.intervals.push_back(std::move(*i->record));
  return run;
}

TEST(RunExport, CsvHasOneLinePerRecordWithAFullStopInEveryLocale) {
  const RunRecord udp = parsed_run("iperf3-3.12/udp-bidir-client.txt");
  const RunRecord tcp = parsed_run("iperf3-3.12/omit-client.txt");
  const std::string want_udp =
      "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,latency_rtt_median_ms,probes_lost\n"
      "0.00,1.01,send,16700.000,1.96 GBytes,,,,64290,no,,\n"
      "0.00,1.01,receive,103.000,12.4 MBytes,,0.225,57471,57867,no,,\n"
      "1.01,2.00,send,16900.000,1.94 GBytes,,,,63610,no,,\n"
      "1.01,2.00,receive,105.000,12.4 MBytes,,0.285,58332,58728,no,,\n"
      "2.00,3.00,send,16200.000,1.89 GBytes,,,,61770,no,,\n"
      "2.00,3.00,receive,104.000,12.4 MBytes,,0.060,57465,57861,no,,\n";
  const std::string want_tcp =
      "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,latency_rtt_median_ms,probes_lost\n"
      "0.00,1.00,send,9110.000,1.06 GBytes,14,,,,yes,,\n"
      "1.00,1.00,send,4800.000,1.12 GBytes,6,,,,no,,\n"
      "1.00,2.00,send,9190.000,1.07 GBytes,13,,,,no,,\n"
      "2.00,3.00,send,8480.000,1009 MBytes,9,,,,no,,\n";
  EXPECT_EQ(intervals_csv(udp), want_udp);
  EXPECT_EQ(intervals_csv(tcp), want_tcp);

  // Rates below a Mbit/s keep their three decimals.
  RunRecord slow;
  slow.intervals.push_back(
      IntervalRecord{0, 1, "0.00", "1.00", Direction::Receive, 0.85, "104 KBytes", {}, {}, {}, {}, false, "850 Kbits/sec"});
  EXPECT_EQ(intervals_csv(slow),
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,latency_rtt_median_ms,probes_lost\n"
            "0.00,1.00,receive,0.850,104 KBytes,,,,,no,,\n");

  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing";
  const std::string udp_de = intervals_csv(udp), tcp_de = intervals_csv(tcp);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(udp_de, want_udp);
  EXPECT_EQ(tcp_de, want_tcp);
}

TEST(RunExport, ReportForATicketHasTheCommandLineVersionOptionsInWordsAndRatesAsPrinted) {
  setenv("TZ", "UTC", 1);
  tzset();
  using namespace std::chrono;
  RunRecord run = parsed_run("iperf3-3.12/tuned-client.txt");
  run.page = RunPage::Client;
  run.started = sys_days{year{2026} / 12 / 7} + hours{16} + minutes{40} + seconds{12};
  run.far_end = "127.0.0.1, port 5201";
  run.options_summary = "TCP · 3 s";
  run.command = {"iperf3", "-c", "127.0.0.1", "-p", "5201", "-t", "3", "-i", "1", "--forceflush",
                 "-w", "256K", "-M", "1200", "-C", "reno"};
  run.end = RunEnd::Result;
  run.result_text = "Result — send: 8.66 Gbit/s · receive: 8.66 Gbit/s";
  run.details_text = "Retransmits: 58";
  EXPECT_EQ(run_report(run, "3.12"),
            "Client — 127.0.0.1, port 5201\n"
            "Started: 2026-12-07 16:40:12 +0000\n"
            "Command: iperf3 -c 127.0.0.1 -p 5201 -t 3 -i 1 --forceflush -w 256K -M 1200 -C reno\n"
            "iperf3 version: 3.12\n"
            "Options: TCP · 3 s · a reading every 1 s · window 256K · MSS 1200 · congestion control reno\n"
            "Result — send: 8.66 Gbit/s · receive: 8.66 Gbit/s\n"
            "Retransmits: 58\n"
            "\n"
            "Interval     Direction         Bitrate     Transfer  Retransmits\n"
            "0.00-1.00 s  send       8.04 Gbits/sec   960 MBytes           24\n"
            "1.00-2.00 s  send       9.15 Gbits/sec  1.07 GBytes           16\n"
            "2.00-3.00 s  send       8.81 Gbits/sec  1.02 GBytes           18\n");

  // A UDP receiver's columns; a served client that went early says so; a
  // record without its command line keeps its summary.
  RunRecord served = parsed_run("iperf3-3.12/udp-reverse-client.txt");
  served.page = RunPage::Server;
  served.started = run.started;
  served.far_end = "192.0.2.7";
  served.options_summary = "port 5201";
  served.end = RunEnd::EndedEarly;
  served.error_text = "the client has terminated";
  served.dropped_intervals = 12;
  EXPECT_EQ(run_report(served, "unknown"),
            "Server — client 192.0.2.7\n"
            "Started: 2026-12-07 16:40:12 +0000\n"
            "iperf3 version: unknown\n"
            "Options: port 5201\n"
            "The client ended early: the client has terminated\n"
            "\n"
            "The first 12 intervals are no longer kept.\n"
            "Interval     Direction         Bitrate    Transfer    Jitter   Lost  Datagrams\n"
            "0.00-1.00 s  receive    8.00 Gbits/sec  953 MBytes  0.184 ms  48183      78692\n"
            "1.00-2.00 s  receive    5.20 Gbits/sec  620 MBytes  0.001 ms  30242      50066\n"
            "2.00-3.00 s  receive    5.91 Gbits/sec  705 MBytes  0.478 ms  36069      58626\n");

  served.end = RunEnd::Stopped;
  served.intervals.clear();
  served.dropped_intervals = 0;
  served.command = {"iperf3", "-s", "-p", "5201", "-i", "1", "--forceflush", "-B", "127.0.0.1", "-1"};
  // An opened file's version line and the version asked of iperf3 read alike.
  EXPECT_EQ(run_report(served, "iperf 3.12 (cJSON 1.7.15)"), run_report(served, "3.12"));
  EXPECT_EQ(run_report(served, "3.12"),
            "Server — client 192.0.2.7\n"
            "Started: 2026-12-07 16:40:12 +0000\n"
            "Command: iperf3 -s -p 5201 -i 1 --forceflush -B 127.0.0.1 -1\n"
            "iperf3 version: 3.12\n"
            "Options: server · port 5201 · a reading every 1 s · bound to 127.0.0.1 · one client, then exit\n"
            "Stopped.\n"
            "\n"
            "No intervals.\n");
}

TEST(RunExport, EveryClientOptionHasItsWordsAndOddArgumentsAreQuoted) {
  EXPECT_EQ(options_in_words({"iperf3", "-c", "server.example", "-p", "5201", "-t", "10", "-i", "1",
                              "--forceflush", "-P", "4", "-R", "-u", "-b", "0", "-O", "2", "-6", "-B",
                              "fe80::1%eth0", "-l", "128K", "-N", "-Z"}),
            "UDP · 10 s · a reading every 1 s · 4 streams · reverse (the server sends) · no bitrate limit · "
            "first 2 s left out as warm-up · IPv6 only · bound to fe80::1%eth0 · buffer length 128K · "
            "no delay · zero-copy");
  EXPECT_EQ(options_in_words({"iperf3", "-c", "h", "-t", "5", "--bidir", "-b", "100M", "-4", "--unknown"}),
            "TCP · 5 s · bidirectional · target bitrate 100M · IPv4 only · --unknown");
  EXPECT_EQ(command_line_text({"iperf3", "-c", "my host", "-C", "it's", "-B", ""}),
            "iperf3 -c 'my host' -C 'it'\\''s' -B ''");
}

TEST(RunTexts, TheCapNoticeCountsTheRunsThatWentByWhereTheyCameFrom) {
  EXPECT_EQ(dropped_runs_text(0, 0), "");
  EXPECT_EQ(dropped_runs_text(1, 0), "1 older run was removed: the window keeps the last 100.");
  EXPECT_EQ(dropped_runs_text(3, 0), "3 older runs were removed: the window keeps the last 100.");
  EXPECT_EQ(dropped_runs_text(0, 1),
            "1 run from files was left out: the window keeps 100 runs, and those measured here stay.");
  EXPECT_EQ(dropped_runs_text(0, 51),
            "51 runs from files were left out: the window keeps 100 runs, and those measured here stay.");
  EXPECT_EQ(dropped_runs_text(2, 51),
            "Older runs were removed, 2 measured here and 51 runs from files: the window keeps the last 100.");
}

TEST(RunTexts, OpeningSaysWhichFileWhatStepHowManyWaitAndWhatACancelLeft) {
  EXPECT_EQ(opening_text("big.jsonl", false, 0), "Opening “big.jsonl”…");
  EXPECT_EQ(opening_text("big.jsonl", true, 1), "Adding the runs of “big.jsonl”… (1 more file waiting)");
  EXPECT_EQ(opening_text("a.json", false, 49), "Opening “a.json”… (49 more files waiting)");
  EXPECT_EQ(could_not_open_text("x.json", "The file is empty"), "Could not open “x.json”: The file is empty");
  EXPECT_EQ(open_cancelled_text("", 0, {}), "");
  EXPECT_EQ(open_cancelled_text("", 0, {"big.jsonl"}), "Cancelled: “big.jsonl” was not opened.");
  EXPECT_EQ(open_cancelled_text("", 0, {"a.json", "b.json"}), "Cancelled: “a.json” and “b.json” were not opened.");
  EXPECT_EQ(open_cancelled_text("log.json", 60, {"a.json", "b.json", "c.json"}),
            "Cancelled: 60 runs of “log.json” were not added; “a.json” and 2 more files were not opened.");
  EXPECT_EQ(open_cancelled_text("log.json", 1, {}), "Cancelled: 1 run of “log.json” was not added.");
}

// What stands in place of the chart for a run that ended without a reading.
TEST(RunTexts, ARunEndedWithoutReadingsSaysWhyInsteadOfAnEmptyChart) {
  auto notice = [](RunPage page, RunEnd end, const char* error, bool reading) {
    RunRecord run;
    run.page = page;
    run.end = end;
    run.error_text = error;
    if (reading) run.intervals.emplace_back();
    const auto n = failure_notice(run);
    return n ? n->title + " / " + n->description + (n->error ? " [error]" : "") : "(chart)";
  };
  EXPECT_EQ(notice(RunPage::Client, RunEnd::Error, "iperf3 error: unable to connect to server: Connection refused", false),
            "The test failed / iperf3 error: unable to connect to server: Connection refused [error]");
  EXPECT_EQ(notice(RunPage::Server, RunEnd::Error, "", false), "Serving the client failed / iperf3 gave no reason. [error]");
  EXPECT_EQ(notice(RunPage::Client, RunEnd::Stopped, "", false),
            "Stopped before the first reading / The test was stopped before iperf3 measured an interval.");
  EXPECT_EQ(notice(RunPage::Server, RunEnd::EndedEarly, "the client has terminated", false),
            "Ended before the first reading / the client has terminated [error]");
  EXPECT_EQ(notice(RunPage::Server, RunEnd::Result, "", false),
            "No readings / iperf3 gave its result without measuring intervals.");
  EXPECT_EQ(notice(RunPage::Client, RunEnd::Running, "", false), "(chart)");  // the first reading may come
  EXPECT_EQ(notice(RunPage::Client, RunEnd::Error, "iperf3 terminated (code 1).", true), "(chart)");
  EXPECT_EQ(notice(RunPage::Client, RunEnd::Stopped, "", true), "(chart)");
}

TEST(RunTexts, AStoppedRunSaysHowFarItGotAndTheMeanOfItsReadings) {
  // Each capture's readings by hand: how long each lasted and its rate,
  // weighed by its length; warm-up readings and iperf3's empty 1.00-1.00
  // reading after them count for nothing.
  const struct {
    const char* capture;
    const char* row;
  } cases[] = {
      // 15.7 · 1 + 9.63 · 1 + 7.66 · 0.49 over 2.49 s
      {"iperf3-3.12/stopped-early-client.txt", "Stopped after 2.5 s — send: 11.68 Gbit/s mean"},
      // the [SUM] lines: 3.78, 3.44 (1.01 s), 3.13 (0.46 s); 5.39, 5.10, 4.74
      {"iperf3-3.12/stopped-early-bidir-P2-client.txt",
       "Stopped after 2.5 s — send: 3.52 Gbit/s mean · receive: 5.15 Gbit/s mean"},
      // 9.19 and 8.48 after the warm-up's 9.11 and the empty 4.80
      {"iperf3-3.12/omit-client.txt", "Stopped after 3.0 s — send: 8.84 Gbit/s mean"},
      {"iperf3-3.12/udp-reverse-client.txt", "Stopped after 3.0 s — receive: 6.37 Gbit/s mean"},
  };
  for (const auto& c : cases) {
    RunRecord run = parsed_run(c.capture);
    run.end = RunEnd::Stopped;
    EXPECT_EQ(run_ending_text(run), c.row) << c.capture;
    EXPECT_EQ(report_ending_lines(run), std::vector<std::string>{std::string(c.row) + "."}) << c.capture;
  }
  RunRecord none;
  none.end = RunEnd::Stopped;
  EXPECT_EQ(run_ending_text(none), "Stopped");
}

}  // namespace
}  // namespace trellan
