// Runs compared: their figures against the oldest, as CSV, text and a
// sentence each, and the series their overlays draw, from records of real
// iperf3 output. The expectations are worked out by hand from the captured
// lines.
#include "core/compare.hpp"
#include "core/output_parser.hpp"

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
      "5.100,-35.5,\n"
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

}  // namespace
}  // namespace trellan
