// Runs compared: their figures against the oldest, as CSV, text and a
// sentence each, and the series their overlays draw, from records of real
// iperf3 output. The expectations are worked out by hand from the captured
// lines.
#include "core/compare.hpp"
#include "core/output_parser.hpp"
#include "core/run_file.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "captures.hpp"
#include "latency_figures.hpp"

namespace trellan {
namespace {

using namespace std::chrono;

// A client test's record from its captured output; with `summary`, also the
// figures of its summary lines, as a test that ended with its result keeps.
RunRecord client_run(const std::string& capture, std::vector<std::string> command, int minute,
                     bool summary = false) {
  OutputParser parser(false);
  RunRecord run;
  for (const std::string& line : testing::capture_lines(capture))
    for (auto& ev : parser.feed_line(line)) {
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) run.intervals.push_back(std::move(*i->record));
      if (auto* d = std::get_if<SummaryDetails>(&ev); d && summary) run.summary = *d;
    }
  run.page = RunPage::Client;
  run.far_end = "127.0.0.1, port 5201";
  run.started = sys_days{year{2026} / 12 / 7} + hours{16} + minutes{minute} + seconds{minute == 40 ? 12 : 0};
  run.command = std::move(command);
  run.end = RunEnd::Result;
  return run;
}

class Compare : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    // 14.8, 16.5 and 9.02 Gbit/s over a second each; 0, 0 and 1 retransmits.
    tcp = client_run("iperf3-3.12/tcp-client.txt", {"iperf3", "-c", "127.0.0.1", "-t", "3"}, 40);
    // 8.04, 9.15 and 8.81 Gbit/s; 24, 16 and 18 retransmits.
    tuned = client_run("iperf3-3.12/tuned-client.txt", {"iperf3", "-c", "127.0.0.1", "-t", "3", "-C", "reno"}, 45);
    tuned.latency = testing::loaded_latency(0.031, 5.1, 21.0, 24.0, 0, 300);
    // Sending 16.7, 16.9 and 16.2 Gbit/s over 1.01, 0.99 and 1.00 s;
    // receiving 103, 105 and 104 Mbit/s, 57471 of 57867, 58332 of 58728 and
    // 57465 of 57861 datagrams lost.
    udp = client_run("iperf3-3.12/udp-bidir-client.txt",
                     {"iperf3", "-c", "127.0.0.1", "-u", "-b", "0", "--bidir", "-t", "3"}, 50);
  }
  RunRecord tcp, tuned, udp;
};

TEST_F(Compare, FiguresAgainstTheOldestRunAsCsvTextAndSentencesInEveryLocale) {
  const std::vector<const RunRecord*> runs = {&tcp, &tuned, &udp};
  const std::string want_csv =
      "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
      "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n"
      "\"Client — 127.0.0.1, port 5201 · 16:40:12\",2026-12-07T16:40:12+00:00,TCP,1,3.00,13440.000,,1,,,,,\n"
      "\"Client — 127.0.0.1, port 5201 · 16:45:00\",2026-12-07T16:45:00+00:00,TCP,1,3.00,8666.667,,58,,0.031,"
      "5.1,-35.5,\n"
      "\"Client — 127.0.0.1, port 5201 · 16:50:00\",2026-12-07T16:50:00+00:00,UDP,1,3.00,16599.333,103.993,,"
      "99.32,,,23.5,\n";
  EXPECT_EQ(comparison_csv(runs), want_csv);

  EXPECT_EQ(comparison_text(runs),
            "Comparison of 3 runs\n"
            "1. Client — 127.0.0.1, port 5201 · 16:40:12, started 2026-12-07 16:40:12 +0000 (the others are "
            "compared with it)\n"
            "2. Client — 127.0.0.1, port 5201 · 16:45:00, started 2026-12-07 16:45:00 +0000\n"
            "3. Client — 127.0.0.1, port 5201 · 16:50:00, started 2026-12-07 16:50:00 +0000\n"
            "\n"
            "Run  Protocol  Streams  Duration          Send   Change       Receive  Retransmits     Lost  "
            "Idle latency  Loaded latency\n"
            "  1  TCP             1    3.00 s  13.44 Gbit/s                                   1\n"
            "  2  TCP             1    3.00 s   8.67 Gbit/s  −35.5 %                         58               "
            "0.031 ms          5.1 ms\n"
            "  3  UDP             1    3.00 s  16.60 Gbit/s  +23.5 %  104.0 Mbit/s               99.32 %\n");

  const std::vector<std::string> sentences = comparison_sentences(runs);
  ASSERT_EQ(sentences.size(), 3u);
  EXPECT_EQ(sentences[0], "Run 1, Client — 127.0.0.1, port 5201 · 16:40:12: TCP, 1 stream, 3.0 s; send 13.44 Gbit/s; "
                          "1 retransmit.");
  EXPECT_EQ(sentences[1], "Run 2, Client — 127.0.0.1, port 5201 · 16:45:00: TCP, 1 stream, 3.0 s; send 8.67 Gbit/s, "
                          "35.5 % less than run 1; 58 retransmits; latency 0.031 ms idle, 5.1 ms under load.");
  EXPECT_EQ(sentences[2], "Run 3, Client — 127.0.0.1, port 5201 · 16:50:00: UDP, 1 stream, 3.0 s; send 16.60 Gbit/s, "
                          "23.5 % more than run 1; receive 104.0 Mbit/s; 99.32 % of datagrams lost.");

  // A comma-decimal locale changes no number.
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing";
  const std::string csv_de = comparison_csv(runs);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(csv_de, want_csv);

  // Runs of different days are named with their dates; a run without
  // intervals or a command line has only its name and start.
  RunRecord later;
  later.page = RunPage::Server;
  later.far_end = "192.0.2.7";
  later.started = tcp.started + days{1};
  later.end = RunEnd::Stopped;
  EXPECT_EQ(comparison_csv({&tcp, &later}),
            "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
            "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n"
            "\"Client — 127.0.0.1, port 5201 · 2026-12-07 16:40\",2026-12-07T16:40:12+00:00,TCP,1,3.00,13440.000,,"
            "1,,,,,\n"
            "Server — client 192.0.2.7 · 2026-12-08 16:40,2026-12-08T16:40:12+00:00,,,,,,,,,,,\n");
  EXPECT_EQ(comparison_sentences({&tcp, &later})[1], "Run 2, Server — client 192.0.2.7 · 2026-12-08 16:40: no readings.");
}

// A run that ended with its result is compared by iperf3's own end figures:
// the rates of its summary lines ("13.4 Gbits/sec" sender and receiver), the
// sender's retransmits, and in a bidirectional UDP test the incoming flow's
// receiver rate and the loss of both flows (187473 of 188655 and 173268 of
// 174456 datagrams: 99.35 %).
TEST_F(Compare, RunsThatEndedWithAResultAreComparedByTheirSummaryFigures) {
  const RunRecord a = client_run("iperf3-3.12/tcp-client.txt", {"iperf3", "-c", "127.0.0.1", "-t", "3"}, 40, true);
  const RunRecord b = client_run("iperf3-3.12/tuned-client.txt", {"iperf3", "-c", "127.0.0.1", "-t", "3"}, 45, true);
  const RunRecord c = client_run("iperf3-3.12/udp-bidir-client.txt",
                                 {"iperf3", "-c", "127.0.0.1", "-u", "-b", "0", "--bidir", "-t", "3"}, 50, true);
  EXPECT_EQ(comparison_csv({&a, &b, &c}),
            "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
            "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n"
            "\"Client — 127.0.0.1, port 5201 · 16:40:12\",2026-12-07T16:40:12+00:00,TCP,1,3.00,13400.000,13400.000,1,"
            ",,,,\n"
            "\"Client — 127.0.0.1, port 5201 · 16:45:00\",2026-12-07T16:45:00+00:00,TCP,1,3.00,8660.000,8660.000,58,"
            ",,,-35.4,-35.4\n"
            "\"Client — 127.0.0.1, port 5201 · 16:50:00\",2026-12-07T16:50:00+00:00,UDP,1,3.00,16600.000,103.000,,"
            "99.35,,,23.9,-99.2\n");
}

TEST_F(Compare, OverlaySeriesStartAtEachRunsOwnStartWithBothDirectionsAdded) {
  const auto near = [](const TimedValue& v, double t0, double t1, double value) {
    return std::abs(v.t0 - t0) < 1e-9 && std::abs(v.t1 - t1) < 1e-9 && std::abs(v.value - value) < 1e-6;
  };
  const auto bidir = throughput_series(udp);
  ASSERT_EQ(bidir.size(), 3u);
  // The line of a bidirectional run says that it adds both directions.
  const auto compared = compare_runs({&tcp, &udp});
  EXPECT_EQ(series_name(1, compared[1], udp), "2. Client — 127.0.0.1, port 5201 · 16:50:00 (send + receive)");
  EXPECT_EQ(series_name(0, compared[0], tcp), "1. Client — 127.0.0.1, port 5201 · 16:40:12");
  EXPECT_TRUE(near(bidir[0], 0.00, 1.01, 16803));
  EXPECT_TRUE(near(bidir[1], 1.01, 2.00, 17005));
  EXPECT_TRUE(near(bidir[2], 2.00, 3.00, 16304));

  // A warm-up second at 9.11 Gbit/s, then iperf3's clock restarts: a scrap
  // of 1.00-1.00 at 4.80 Gbit/s, then 9.19 and 8.48 Gbit/s. The counted
  // seconds start the line.
  RunRecord omit = client_run("iperf3-3.12/omit-client.txt", {"iperf3", "-c", "127.0.0.1", "-O", "1"}, 40);
  const auto counted = throughput_series(omit);
  ASSERT_EQ(counted.size(), 2u);
  EXPECT_TRUE(near(counted[0], 0, 1, 9190));
  EXPECT_TRUE(near(counted[1], 1, 2, 8480));

  // Latency: each interval's median, the two records of a bidirectional
  // interval carrying the same one; an interval without a reply has no point.
  udp.latency = testing::loaded_latency(0.05, 2.0, 3.0, 4.0, 1, 31);
  udp.interval_latency = {{1.5, 0}, {1.5, 0}, {std::nullopt, 10}, {std::nullopt, 10}, {2.5, 0}, {2.5, 0}};
  const auto latency = latency_series(udp);
  ASSERT_EQ(latency.size(), 2u);
  EXPECT_TRUE(near(latency[0], 0.00, 1.01, 1.5));
  EXPECT_TRUE(near(latency[1], 2.00, 3.00, 2.5));

  udp.probes = {{0.1f, 1.5f}, {0.2f, std::numeric_limits<float>::quiet_NaN()}, {0.3f, 0.5f}};
  EXPECT_EQ(distribution_of(loaded_probe_ms(udp)), (std::vector<double>{0.5, 1.5}));
}

// The one run of an iperf3 JSON capture, as the Runs page opens it.
RunRecord opened(const std::string& capture, std::uint64_t id) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  OpenedFile f = open_run_file(std::string(dir ? dir : "captures") + "/" + capture, "shown.json");
  EXPECT_EQ(f.error, "") << capture;
  if (f.runs.size() != 1) {
    ADD_FAILURE() << capture << " opened to " << f.runs.size() << " runs";
    return {};
  }
  f.runs[0].id = id;
  return std::move(f.runs[0]);
}

// Opened files have no command line: their protocol and streams come from
// what iperf3 stated at the start, and their figures are iperf3's own, in
// full. From the captures' "end" sums:
// - 3.12 UDP -R -P 2, port 40703, 05:45:57: sent 20183483 bit/s, received
//   19659896, 4 of 154 datagrams lost (2.597 %);
// - 3.12 TCP -P 2, port 39889, 05:45:40: 9268184256 and 9267975849 bit/s,
//   18 retransmits; the oldest, whatever the order the runs come in;
// - 3.18 UDP, port 41359, 05:45:52: 10085560 and 10085333 bit/s, 0 of 77;
// - 3.18 TCP client stopped with Ctrl-C at 1.50 s, port 55489, 05:46:11:
//   sent 17140039374 bit/s, 22 retransmits; its received sum's 0 is iperf3's
//   stand-in, not a measurement;
// - 3.12 UDP -b 0 -l 32000 of the next day, port 53207: 8129202773 and
//   1416444871 bit/s, 52342 of 63466 datagrams lost (82.415 %, which
//   iperf3's text prints as "82").
TEST_F(Compare, OpenedIperf3FilesAreComparedByTheFactsAndFullFiguresTheyState) {
  const RunRecord udp_reverse = opened("iperf3-3.12/json-udp-reverse-P2-client.json", 1);
  const RunRecord tcp = opened("iperf3-3.12/json-tcp-P2-client.json", 2);
  const RunRecord udp = opened("iperf3-3.18/json-udp-client.json", 3);
  const RunRecord interrupted = opened("iperf3-3.18/json-interrupted-client.json", 4);
  const RunRecord loss = opened("iperf3-3.12/json-udp-loss-client.json", 5);
  const std::vector<const RunRecord*> runs = {&udp_reverse, &tcp, &udp, &interrupted, &loss};
  EXPECT_EQ(comparison_csv(runs),
            "run,started,protocol,streams,duration_s,send_mbit_s,receive_mbit_s,retransmits,lost_percent,"
            "latency_idle_ms,latency_loaded_ms,send_change_percent,receive_change_percent\n"
            "\"Client — 127.0.0.1, port 40703 · 2026-12-08 05:45\",2026-12-08T05:45:57+00:00,UDP,2,2.00,20.183,19.660,,"
            "2.60,,,-99.8,-99.8\n"
            "\"Client — 127.0.0.1, port 39889 · 2026-12-08 05:45\",2026-12-08T05:45:40+00:00,TCP,2,2.00,9268.184,"
            "9267.976,18,,,,,\n"
            "\"Client — 127.0.0.1, port 41359 · 2026-12-08 05:45\",2026-12-08T05:45:52+00:00,UDP,1,2.00,10.086,10.085,,"
            "0.00,,,-99.9,-99.9\n"
            "\"Client — 127.0.0.1, port 55489 · 2026-12-08 05:46\",2026-12-08T05:46:11+00:00,TCP,1,1.50,17140.039,,22,"
            ",,,84.9,\n"
            "\"Client — 127.0.0.1, port 53207 · 2026-12-09 00:02\",2026-12-09T00:02:28+00:00,UDP,1,2.00,8129.203,"
            "1416.445,,82.42,,,-12.3,-84.7\n");
  const ComparisonTable table = comparison_table(runs);
  ASSERT_GE(table.titles.size(), 3u);
  EXPECT_EQ(table.titles[1], "Protocol");
  EXPECT_EQ(table.titles[2], "Streams");
  // The two change columns are told apart by what they change.
  std::vector<std::string> spoken_changes;
  for (std::size_t k = 0; k < table.titles.size(); ++k)
    if (table.titles[k] == "Change") spoken_changes.push_back(table.spoken_titles[k]);
  EXPECT_EQ(spoken_changes, (std::vector<std::string>{"Change in send", "Change in receive"}));
  std::vector<std::string> protocols, streams;
  for (const auto& row : table.rows) {
    protocols.push_back(row[1]);
    streams.push_back(row[2]);
  }
  EXPECT_EQ(protocols, (std::vector<std::string>{"UDP", "TCP", "UDP", "TCP", "UDP"}));
  EXPECT_EQ(streams, (std::vector<std::string>{"2", "2", "1", "1", "1"}));
  EXPECT_EQ(comparison_sentences(runs)[0].substr(0, 75),
            "Run 1, Client — 127.0.0.1, port 40703 · 2026-12-08 05:45: UDP, 2 streams");
  EXPECT_NE(comparison_text(runs).find("2. Client — 127.0.0.1, port 39889 · 2026-12-08 05:45, started 2026-12-08 "
                                       "05:45:40 +0000 (the others are compared with it)"),
            std::string::npos);

  // The facts are kept in a run file and read back from it.
  const OpenedFile back = read_runs(run_file_text(runs), "again.trellan");
  ASSERT_EQ(back.error, "");
  std::vector<const RunRecord*> again;
  for (const RunRecord& r : back.runs) again.push_back(&r);
  EXPECT_EQ(comparison_csv(again), comparison_csv(runs));
}

// Marked runs are compared oldest first, in whatever order they were marked;
// runs that started at the same instant go in the order they were kept.
TEST_F(Compare, TheOldestRunComesFirstWhateverTheOrderOfTheClicks) {
  RunLog log;
  const auto keep = [&log](const RunRecord& r) { return log.adopt(r); };
  RunRecord same_as_tuned = tuned;
  const std::uint64_t a = keep(udp), b = keep(tuned), c = keep(tcp), d = keep(same_as_tuned);
  std::vector<std::uint64_t> marked = {a, d, b, c};
  sort_oldest_first(marked, log);
  EXPECT_EQ(marked, (std::vector<std::uint64_t>{c, b, d, a}));
  // The reference is the oldest wherever it stands.
  const auto compared = compare_runs({log.find(a), log.find(d), log.find(c), log.find(b)});
  std::vector<bool> reference;
  for (const ComparedRun& r : compared) reference.push_back(r.reference);
  EXPECT_EQ(reference, (std::vector<bool>{false, false, true, false}));
}

// Latency measured without a reply has no figure: empty in the CSV, "no
// reply" in the table, the text and the sentence; never 0.
TEST_F(Compare, AnUnansweredLatencyIsSaidNotGivenAFigure) {
  RunRecord silent = tcp;
  silent.started += minutes{1};
  silent.latency = testing::loaded_latency(0, 5.1, 21.0, 24.0, 0, 300);
  silent.latency->idle_replied = false;
  RunRecord none_loaded = silent;
  none_loaded.started += minutes{1};
  none_loaded.latency->idle_replied = true;
  none_loaded.latency->idle_ms = 0.031;
  none_loaded.latency->loaded_median_ms.reset();
  const std::vector<const RunRecord*> runs = {&tcp, &silent, &none_loaded};
  const std::string csv = comparison_csv(runs);
  EXPECT_NE(csv.find(",TCP,1,3.00,13440.000,,1,,,5.1,0.0,\n"), std::string::npos) << csv;
  EXPECT_EQ(csv.find(",0.000,"), std::string::npos) << csv;
  const ComparisonTable table = comparison_table(runs);
  ASSERT_EQ(table.titles.size(), 9u);
  EXPECT_EQ(table.titles[7], "Idle latency");
  EXPECT_EQ(table.rows[0][7], "");
  EXPECT_EQ(table.rows[1][7], "no reply");
  EXPECT_EQ(table.rows[1][8], "5.1 ms");
  EXPECT_EQ(table.rows[2][7], "0.031 ms");
  EXPECT_EQ(table.rows[2][8], "no reply");
  const auto sentences = comparison_sentences(runs);
  EXPECT_NE(sentences[1].find("latency no reply while idle, 5.1 ms under load."), std::string::npos) << sentences[1];
  EXPECT_NE(sentences[2].find("latency 0.031 ms idle, no reply under load."), std::string::npos) << sentences[2];
  EXPECT_NE(comparison_text(runs).find("no reply"), std::string::npos);
}

}  // namespace
}  // namespace trellan
