// The parser on what real iperf3 printed on loopback (3.12 and 3.18, client
// and server side, the options the app passes). Expected values are read off
// the captured lines by hand.
#include "captures.hpp"
#include "event_helpers.hpp"
#include "core/output_parser.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace trellan {
namespace {

using testing::capture_lines;
using testing::events_eq;
using testing::without_details;
using Events = std::vector<IperfEvent>;

struct Run {
  Events all;
  std::optional<Summary> summary;         // the last one
  std::optional<SummaryDetails> details;  // the last one
  Events session;                         // the server's own events, in order
};

Run parse(const std::string& name, bool server) {
  OutputParser parser(server);
  Run run;
  for (const auto& line : capture_lines(name)) {
    for (auto& ev : parser.feed_line(line)) {
      if (const auto* s = std::get_if<Summary>(&ev)) run.summary = *s;
      else if (const auto* d = std::get_if<SummaryDetails>(&ev)) run.details = *d;
      else if (!std::holds_alternative<Interval>(ev)) run.session.push_back(ev);
      run.all.push_back(std::move(ev));
    }
  }
  return run;
}

FlowFigures flow(std::optional<double> sender, std::optional<std::uint64_t> retransmits,
                 std::optional<double> receiver, std::optional<UdpLoss> loss = std::nullopt) {
  return FlowFigures{sender, retransmits, receiver, std::move(loss)};
}
constexpr std::nullopt_t none = std::nullopt;

struct Case {
  const char* file;
  bool server;
  std::optional<Summary> summary;
  SummaryDetails details;
};

void check(const Case& c) {
  SCOPED_TRACE(c.file);
  const Run run = parse(c.file, c.server);
  if (c.summary) {
    ASSERT_TRUE(run.summary.has_value());
    EXPECT_TRUE(events_eq({*run.summary}, {*c.summary}));
  } else {
    EXPECT_FALSE(run.summary.has_value()) << testing::describe(*run.summary);
  }
  ASSERT_TRUE(run.details.has_value());
  EXPECT_TRUE(events_eq({*run.details}, {c.details}));
  const Events session =
      c.server ? Events{Listening{}, ClientConnected{"127.0.0.1"}, ClientFinished{}, Listening{}} : Events{};
  EXPECT_TRUE(events_eq(run.session, session));
}

TEST(Captures, BidirectionalResultsKeepBothDirections) {
  for (const Case& c : std::vector<Case>{
           // 3.12
           {"iperf3-3.12/bidir-P1-client.txt", false, Summary{4530, 4470},
            {true, flow(4530, 8, 4520), flow(4490, 14, 4470)}},
           {"iperf3-3.12/bidir-P1-server.txt", true, Summary{4480, 4520},
            {true, flow(4480, 14, none), flow(none, none, 4520)}},
           {"iperf3-3.12/bidir-P2-client.txt", false, Summary{5480, 4790},
            {true, flow(5480, 19, 5430), flow(4880, 19, 4790)}},
           {"iperf3-3.12/bidir-P2-server.txt", true, Summary{4860, 5430},
            {true, flow(4860, 19, none), flow(none, none, 5430)}},
           // 3.18
           {"iperf3-3.18/bidir-P1-client.txt", false, Summary{14300, 3300},
            {true, flow(14300, 17, 14300), flow(3320, 60, 3300)}},
           {"iperf3-3.18/bidir-P1-server.txt", true, Summary{3320, 14300},
            {true, flow(3320, 60, none), flow(none, none, 14300)}},
           {"iperf3-3.18/bidir-P2-client.txt", false, Summary{6000, 8020},
            {true, flow(6000, 35, 5990), flow(8040, 50, 8020)}},
           {"iperf3-3.18/bidir-P2-server.txt", true, Summary{8040, 5990},
            {true, flow(8040, 50, none), flow(none, none, 5990)}},
       })
    check(c);
}

TEST(Captures, UdpLossAndJitterComeFromTheReceiverLine) {
  for (const Case& c : std::vector<Case>{
           {"iperf3-3.12/udp-client.txt", false, Summary{24700, 7660},
            {false, flow(24700, none, 7660, UdpLoss{"0.010", 195074, 282700, "69", {}}), {}}},
           {"iperf3-3.12/udp-server.txt", true, Summary{0, 7660},
            {false, flow(none, none, 7660, UdpLoss{"0.010", 195074, 282700, "69", {}}), {}}},
           {"iperf3-3.12/udp-bidir-client.txt", false, Summary{16600, 103},
            {true, flow(16600, none, 103, UdpLoss{"0.644", 187473, 188655, "99", {}}),
             flow(15300, none, 103, UdpLoss{"0.060", 173268, 174456, "99", {}})}},
           {"iperf3-3.12/udp-bidir-server.txt", true, Summary{15300, 103},
            {true, flow(15300, none, none), flow(none, none, 103, UdpLoss{"0.644", 187473, 188655, "99", {}})}},
           {"iperf3-3.18/udp-client.txt", false, Summary{19500, 10200},
            {false, flow(19500, none, 10200, UdpLoss{"0.001", 105689, 222940, "47", {}}), {}}},
           {"iperf3-3.18/udp-server.txt", true, Summary{0, 10200},
            {false, flow(none, none, 10200, UdpLoss{"0.001", 105689, 222940, "47", {}}), {}}},
           {"iperf3-3.18/udp-bidir-client.txt", false, Summary{17700, 12900},
            {true, flow(17700, none, 9040, UdpLoss{"0.075", 99047, 202585, "49", {}}),
             flow(24300, none, 12900, UdpLoss{"0.004", 130357, 277519, "47", {}})}},
           {"iperf3-3.18/udp-bidir-server.txt", true, Summary{24300, 9040},
            {true, flow(24300, none, none), flow(none, none, 9040, UdpLoss{"0.075", 99047, 202585, "49", {}})}},
       })
    check(c);
}

TEST(Captures, TcpRetransmitsComeFromTheSenderLineThatGaveTheRate) {
  for (const Case& c : std::vector<Case>{
           {"iperf3-3.12/tcp-client.txt", false, Summary{13400, 13400}, {false, flow(13400, 1, 13400), {}}},
           {"iperf3-3.12/tcp-P2-client.txt", false, Summary{10800, 10800}, {false, flow(10800, 2, 10800), {}}},
           {"iperf3-3.12/tcp-reverse-P2-client.txt", false, Summary{13800, 13800},
            {false, flow(13800, 4, 13800), {}}},
           // A reverse test's server has sender lines only: no Summary, but details.
           {"iperf3-3.12/tcp-reverse-P2-server.txt", true, std::nullopt, {false, flow(13800, 4, none), {}}},
           {"iperf3-3.18/tcp-client.txt", false, Summary{6500, 6490}, {false, flow(6500, 55, 6490), {}}},
           {"iperf3-3.18/tcp-P2-client.txt", false, Summary{8040, 8030}, {false, flow(8040, 112, 8030), {}}},
           {"iperf3-3.18/tcp-reverse-P2-server.txt", true, std::nullopt, {false, flow(8030, 69, none), {}}},
       })
    check(c);
}

TEST(Captures, BidirectionalLinesOneByOne) {
  // iperf3 3.18, --bidir -P 1: the first interval of both directions, then
  // every summary line.
  OutputParser client(false);
  const auto lines = capture_lines("iperf3-3.18/bidir-P1-client.txt");
  std::vector<Events> got;
  for (const auto& line : lines)
    if (line.find("0.00-1.00") != std::string::npos || line.find("sender") != std::string::npos ||
        line.find("receiver") != std::string::npos)
      got.push_back(without_details(client.feed_line(line)));
    else
      client.feed_line(line);
  const std::vector<Events> want = {
      {Interval{13400}}, {Interval{18160}},  // 13.4 + 4.76 Gbits/sec
      {Summary{14300, 0}}, {Summary{14300, 0}}, {Summary{14300, 0}}, {Summary{14300, 3300}},
  };
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(events_eq(got[i], want[i])) << "line " << i;

  OutputParser server(true);
  Events summaries;
  for (const auto& line : capture_lines("iperf3-3.18/bidir-P1-server.txt"))
    if (line.find("sender") != std::string::npos || line.find("receiver") != std::string::npos)
      for (auto& ev : without_details(server.feed_line(line))) summaries.push_back(std::move(ev));
    else
      server.feed_line(line);
  // The first receiver line closes the client; the sender line after it
  // completes the result.
  EXPECT_TRUE(events_eq(summaries, {Summary{0, 14300}, ClientFinished{}, Summary{3320, 14300}}));
}

TEST(Captures, FiguresNeedTheirWholeLayout) {
  OutputParser parser(false);
  const auto details = [&](const std::string& line) {
    const auto events = parser.feed_line(line);
    return std::get<SummaryDetails>(events.back()).tx;
  };
  // Retransmits are a whole number right after the rate.
  EXPECT_EQ(details("[  5] 0.00-3.00 sec 1 GBytes 6.50 Gbits/sec 55x sender").retransmits, std::nullopt);
  EXPECT_EQ(details("[  5] 0.00-3.00 sec 1 GBytes 6.50 Gbits/sec -3 sender").retransmits, std::nullopt);
  // Loss needs jitter, "ms", lost/total and the bracketed percentage.
  for (const char* tail : {"0.075 ms 99047/202585 sender", "0.075 s 99047/202585 (49%) receiver",
                           "x ms 99047/202585 (49%) receiver", "0.075 ms 99047-202585 (49%) receiver",
                           "0.075 ms 99047/ (49%) receiver", "0.075 ms 99047/202585 49% receiver",
                           "0.075 ms 99047/202585 (%) receiver", "0.075 ms 99047/202585 (4x%) receiver"}) {
    EXPECT_FALSE(details(std::string("[  5] 0.00-3.00 sec 1 GBytes 9.04 Gbits/sec ") + tail).loss.has_value())
        << tail;
  }
}

}  // namespace
}  // namespace trellan
