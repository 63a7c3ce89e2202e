// The interval records the parser gives for what real iperf3 printed on
// loopback (3.12 and 3.18). Every expected row is read off the captured lines
// by hand: the "[SUM]" line where several streams run, the direction from the
// role tag or the column header, the figures after the rate.
#include "event_helpers.hpp"
#include "core/output_parser.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace trellan {
namespace {

using Rows = std::vector<IntervalRecord>;
constexpr auto S = Direction::Send;
constexpr auto R = Direction::Receive;

// The records of each client in turn (a client run has one).
std::vector<Rows> records(const std::string& name, bool server) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  OutputParser parser(server);
  std::vector<Rows> out;
  if (!server) out.emplace_back();
  for (std::string line; std::getline(in, line);) {
    for (auto& ev : parser.feed_line(line)) {
      if (std::holds_alternative<ClientConnected>(ev)) out.emplace_back();
      auto* interval = std::get_if<Interval>(&ev);
      if (interval && interval->record) {
        if (out.empty()) ADD_FAILURE() << "a record before any client: " << line;
        else out.back().push_back(std::move(*interval->record));
      }
    }
  }
  return out;
}

Rows only_client(const std::string& name, bool server) {
  auto all = records(name, server);
  EXPECT_EQ(all.size(), 1u) << name;
  return all.empty() ? Rows{} : all.front();
}

// Rows as the test wants them written: a TCP sender, a TCP receiver, a UDP
// sender, a UDP receiver. The times are written as printed; their numbers
// are what the standard library reads from the same digits.
double seconds(std::string_view text) {
  double v = -1;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v;
}
IntervalRecord row(const char* start, const char* end, Direction d, double mbps, const char* transfer) {
  IntervalRecord r;
  r.start = seconds(start);
  r.end = seconds(end);
  r.start_text = start;
  r.end_text = end;
  r.direction = d;
  r.mbps = mbps;
  r.transfer = transfer;
  return r;
}
IntervalRecord tcp(const char* start, const char* end, Direction d, double mbps, const char* transfer,
                   std::optional<std::uint64_t> retransmits = std::nullopt) {
  IntervalRecord r = row(start, end, d, mbps, transfer);
  r.retransmits = retransmits;
  return r;
}
IntervalRecord udp_send(const char* start, const char* end, double mbps, const char* transfer,
                        std::uint64_t total) {
  IntervalRecord r = row(start, end, S, mbps, transfer);
  r.total = total;
  return r;
}
IntervalRecord udp_receive(const char* start, const char* end, double mbps, const char* transfer,
                           const char* jitter, std::uint64_t lost, std::uint64_t total) {
  IntervalRecord r = row(start, end, R, mbps, transfer);
  r.jitter_ms = jitter;
  r.lost = lost;
  r.total = total;
  return r;
}
IntervalRecord omitted(IntervalRecord r) {
  r.omitted = true;
  return r;
}

::testing::AssertionResult same_rows(const Rows& got, const Rows& want) {
  std::vector<IperfEvent> a, b;
  for (const auto& r : got) a.emplace_back(Interval{0, r});
  for (const auto& r : want) b.emplace_back(Interval{0, r});
  return testing::events_eq(a, b);
}

TEST(IntervalRecords, SeveralStreamsGiveTheirSumLineOneStreamItsOwnLine) {
  // --bidir -P 2, client: "[SUM][TX-C]" sends, "[SUM][RX-C]" receives.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/bidir-P2-client.txt", false),
                        {tcp("0.00", "1.02", S, 4360, "531 MBytes", 12), tcp("0.00", "1.02", R, 5360, "652 MBytes"),
                         tcp("1.02", "2.01", S, 4700, "552 MBytes", 7), tcp("1.02", "2.01", R, 3710, "436 MBytes"),
                         tcp("2.01", "3.00", S, 7390, "875 MBytes", 0), tcp("2.01", "3.00", R, 5350, "633 MBytes")}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/bidir-P2-client.txt", false),
                        {tcp("0.00", "1.01", S, 5890, "710 MBytes", 18), tcp("0.00", "1.01", R, 5930, "715 MBytes"),
                         tcp("1.01", "2.00", S, 4830, "570 MBytes", 12), tcp("1.01", "2.00", R, 6310, "745 MBytes"),
                         tcp("2.00", "3.00", S, 7260, "866 MBytes", 5), tcp("2.00", "3.00", R, 11800, "1.37 GBytes")}));
  // The server's side of it: "[RX-S]" receives, "[TX-S]" sends.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/bidir-P2-server.txt", true),
                        {tcp("0.00", "1.00", R, 4390, "523 MBytes"), tcp("0.00", "1.00", S, 5790, "690 MBytes", 10),
                         tcp("1.00", "2.00", R, 4560, "546 MBytes"), tcp("1.00", "2.00", S, 3540, "424 MBytes", 6),
                         tcp("2.00", "3.01", R, 7350, "879 MBytes"), tcp("2.00", "3.01", S, 5260, "629 MBytes", 3),
                         tcp("3.01", "3.01", R, 4560, "3.94 MBytes"), tcp("3.01", "3.01", S, 4350, "3.75 MBytes", 0)}));
  // --bidir with one stream each way: the streams' own lines.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/bidir-P1-client.txt", false),
                        {tcp("0.00", "1.00", S, 4750, "566 MBytes", 7), tcp("0.00", "1.00", R, 5350, "638 MBytes"),
                         tcp("1.00", "2.01", S, 3550, "429 MBytes", 1), tcp("1.00", "2.01", R, 3350, "405 MBytes"),
                         tcp("2.01", "3.00", S, 5310, "625 MBytes", 0), tcp("2.01", "3.00", R, 4760, "560 MBytes")}));
  // -P 2 -R: the client receives; its server sends, with retransmits.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/tcp-reverse-P2-client.txt", false),
                        {tcp("0.00", "1.00", R, 15900, "1.86 GBytes"), tcp("1.00", "2.00", R, 12400, "1.44 GBytes"),
                         tcp("2.00", "3.00", R, 13100, "1.53 GBytes")}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/tcp-reverse-P2-server.txt", true),
                        {tcp("0.00", "1.00", S, 11200, "1.31 GBytes", 12), tcp("1.00", "2.01", S, 6100, "730 MBytes", 26),
                         tcp("2.01", "3.01", S, 6810, "812 MBytes", 31)}));
}

TEST(IntervalRecords, UdpReceiversGiveJitterAndLossSendersTheirDatagrams) {
  EXPECT_TRUE(same_rows(
      only_client("iperf3-3.12/udp-bidir-client.txt", false),
      {udp_send("0.00", "1.01", 16700, "1.96 GBytes", 64290),
       udp_receive("0.00", "1.01", 103, "12.4 MBytes", "0.225", 57471, 57867),
       udp_send("1.01", "2.00", 16900, "1.94 GBytes", 63610),
       udp_receive("1.01", "2.00", 105, "12.4 MBytes", "0.285", 58332, 58728),
       udp_send("2.00", "3.00", 16200, "1.89 GBytes", 61770),
       udp_receive("2.00", "3.00", 104, "12.4 MBytes", "0.060", 57465, 57861)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/udp-bidir-server.txt", true),
                        {udp_receive("0.00", "1.00", 12000, "1.40 GBytes", "0.004", 48086, 94013),
                         udp_send("0.00", "1.00", 25200, "2.94 GBytes", 96217),
                         udp_receive("1.00", "2.00", 6310, "753 MBytes", "0.015", 20618, 44705),
                         udp_send("1.00", "2.00", 24300, "2.83 GBytes", 92738),
                         udp_receive("2.00", "3.00", 8780, "1.02 GBytes", "0.001", 30343, 63860),
                         udp_send("2.00", "3.00", 23200, "2.71 GBytes", 88712),
                         udp_receive("3.00", "3.00", 7460, "224 KBytes", "0.075", 0, 7),
                         udp_send("3.00", "3.00", 54800, "1.59 MBytes", 51)}));
  // Untagged: the header with "Total Datagrams" sends, the one with
  // "Jitter" receives.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/udp-client.txt", false),
                        {udp_send("0.00", "1.00", 20900, "2.43 GBytes", 79653),
                         udp_send("1.00", "2.00", 16700, "1.95 GBytes", 63900),
                         udp_send("2.00", "3.00", 20800, "2.42 GBytes", 79387)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/udp-server.txt", true),
                        {udp_receive("0.00", "1.00", 10800, "1.26 GBytes", "0.002", 38363, 79653),
                         udp_receive("1.00", "2.00", 8820, "1.03 GBytes", "0.096", 29286, 63008),
                         udp_receive("2.00", "3.00", 11100, "1.29 GBytes", "0.001", 38040, 80265),
                         udp_receive("3.00", "3.00", 9710, "448 KBytes", "0.001", 0, 14)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/udp-reverse-client.txt", false),
                        {udp_receive("0.00", "1.00", 8000, "953 MBytes", "0.184", 48183, 78692),
                         udp_receive("1.00", "2.00", 5200, "620 MBytes", "0.001", 30242, 50066),
                         udp_receive("2.00", "3.00", 5910, "705 MBytes", "0.478", 36069, 58626)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/udp-reverse-client.txt", false),
                        {udp_receive("0.00", "1.00", 8800, "1.03 GBytes", "0.381", 26286, 60005),
                         udp_receive("1.00", "2.00", 6570, "781 MBytes", "0.005", 28865, 53844),
                         udp_receive("2.00", "3.02", 7050, "854 MBytes", "0.000", 22569, 49894)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/udp-reverse-server.txt", true),
                        {udp_send("0.00", "1.00", 20600, "2.40 GBytes", 78710),
                         udp_send("1.00", "2.00", 13100, "1.53 GBytes", 50060),
                         udp_send("2.00", "3.00", 15400, "1.79 GBytes", 58620)}));
}

TEST(IntervalRecords, WarmUpSecondsAreMarkedOmitted) {
  // 3.18 counts the test's seconds afresh after the warm-up: "0.00-1.00"
  // comes twice, once omitted, and both are records.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/omit-client.txt", false),
                        {omitted(tcp("0.00", "1.00", S, 17800, "2.07 GBytes", 8)),
                         omitted(tcp("1.00", "2.00", S, 17500, "2.04 GBytes", 5)),
                         tcp("0.00", "1.00", S, 17100, "2.00 GBytes", 1), tcp("1.00", "2.00", S, 14800, "1.72 GBytes", 1),
                         tcp("2.00", "3.00", S, 15500, "1.81 GBytes", 0)}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/omit-server.txt", true),
                        {omitted(tcp("0.00", "1.00", R, 17700, "2.06 GBytes")),
                         omitted(tcp("1.00", "2.00", R, 17500, "2.04 GBytes")), tcp("0.00", "1.00", R, 17100, "1.99 GBytes"),
                         tcp("1.00", "2.00", R, 14800, "1.72 GBytes"), tcp("2.00", "3.00", R, 15600, "1.82 GBytes")}));
  // 3.12 with -O 2 marks only the first second.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/omit-client.txt", false),
                        {omitted(tcp("0.00", "1.00", S, 9110, "1.06 GBytes", 14)),
                         tcp("1.00", "1.00", S, 4800, "1.12 GBytes", 6), tcp("1.00", "2.00", S, 9190, "1.07 GBytes", 13),
                         tcp("2.00", "3.00", S, 8480, "1009 MBytes", 9)}));
}

TEST(IntervalRecords, AServerKeepsEachClientApartAndAClientThatWentEarlyIsNotCountedTwice) {
  for (const char* version : {"iperf3-3.12", "iperf3-3.18"}) {
    SCOPED_TRACE(version);
    const auto clients = records(std::string(version) + "/two-clients-server.txt", true);
    ASSERT_EQ(clients.size(), 2u);
    // The first client sends to the server; the second, reverse, receives.
    const bool old = std::string(version) == "iperf3-3.12";
    EXPECT_TRUE(same_rows(clients[0], old ? Rows{tcp("0.00", "1.00", R, 8500, "1014 MBytes"),
                                                 tcp("1.00", "2.00", R, 8280, "987 MBytes"),
                                                 tcp("2.00", "2.00", R, 6620, "1.12 MBytes")}
                                          : Rows{tcp("0.00", "1.01", R, 9450, "1.11 GBytes"),
                                                 tcp("1.01", "2.00", R, 7540, "893 MBytes"),
                                                 tcp("2.00", "2.00", R, 5760, "384 KBytes")}));
    EXPECT_TRUE(same_rows(clients[1], old ? Rows{tcp("0.00", "1.00", S, 6880, "820 MBytes", 8),
                                                 tcp("1.00", "2.00", S, 11400, "1.33 GBytes", 0),
                                                 tcp("2.00", "2.00", S, 12100, "1.25 MBytes", 0)}
                                          : Rows{tcp("0.00", "1.00", S, 7690, "918 MBytes", 6),
                                                 tcp("1.00", "2.00", S, 7700, "921 MBytes", 13),
                                                 tcp("2.00", "2.01", S, 14200, "2.88 MBytes", 0)}));
  }
  // A client interrupted after 2.5 s: its server prints "1.00-2.00" twice.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/stopped-early-server.txt", true),
                        {tcp("0.00", "1.00", R, 15700, "1.83 GBytes"), tcp("1.00", "2.00", R, 9610, "1.12 GBytes")}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.18/stopped-early-server.txt", true),
                        {tcp("0.00", "1.00", R, 14300, "1.67 GBytes"), tcp("1.00", "2.00", R, 11100, "1.30 GBytes")}));
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/stopped-early-client.txt", false),
                        {tcp("0.00", "1.00", S, 15700, "1.83 GBytes", 11), tcp("1.00", "2.00", S, 9630, "1.12 GBytes", 7),
                         tcp("2.00", "2.49", S, 7660, "445 MBytes", 11)}));
  // --bidir -P 2 interrupted: the server stops after two seconds, no summary.
  EXPECT_TRUE(same_rows(only_client("iperf3-3.12/stopped-early-bidir-P2-server.txt", true),
                        {tcp("0.00", "1.01", R, 3640, "439 MBytes"), tcp("0.00", "1.01", S, 5350, "645 MBytes", 3),
                         tcp("1.01", "2.00", R, 3470, "410 MBytes"), tcp("1.01", "2.00", S, 5160, "610 MBytes", 0)}));
}

}  // namespace
}  // namespace trellan
