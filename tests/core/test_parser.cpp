// The output parser and the standard-error filter, grouped by rule.
#include "event_helpers.hpp"
#include "core/output_parser.hpp"
#include "core/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace trellan {
namespace {

using testing::events_eq;
using Events = std::vector<IperfEvent>;
using Step = std::pair<std::string, Events>;

// Feeds the lines in order and checks the events of each one, leaving out
// the SummaryDetails events (checked on their own below).
void expect_steps(OutputParser& parser, const std::vector<Step>& steps) {
  for (const auto& [line, expected] : steps) {
    EXPECT_TRUE(events_eq(testing::without_details(parser.feed_line(line)), expected)) << "line: " << line;
  }
}

std::optional<double> bitrate(std::string_view line) {
  const auto tokens = split_ws(line);
  return parse_bitrate(tokens);
}

// --- which lines carry nothing ---------------------------------------------

TEST(Classification, LinesWithoutDataYieldNothing) {
  for (bool server : {false, true}) {
    OutputParser parser(server);
    for (const char* line : {
             "",
             "   ",
             "Connecting to host 127.0.0.1, port 5201",
             "[ ID] Interval           Transfer     Bitrate         Retr  Cwnd",
             "[ ID][Role] Interval           Transfer     Bitrate         Retr",
             "[  5] local 127.0.0.1 port 40502 connected to 127.0.0.1 port 5201",
             "- - - - - - - - - - - - - - - - - - - - - - - - -",
             "-----------------------------------------------------------",
             "iperf Done.",
             "Reverse mode, remote host 127.0.0.1 is sending",
             // data that does not start with "[" after the leading blanks
             "x [  5]   0.00-1.00   sec  56.2 MBytes   471 Mbits/sec",
             "  5]   0.00-1.00   sec  56.2 MBytes   471 Mbits/sec",
             // a header is a header even with a rate in it
             "[ ID] 0.00-1.00 sec 1 MBytes 471 Mbits/sec",
         }) {
      EXPECT_TRUE(events_eq(parser.feed_line(line), {})) << "line: " << line;
    }
  }
}

TEST(Classification, LeadingUnicodeWhitespaceBeforeTheBracketIsAllowed) {
  OutputParser parser(false);
  EXPECT_TRUE(events_eq(parser.feed_line("\t\u00A0\u3000[  5] 0.00-1.00 sec 1 MBytes 4 Mbits/sec"),
                        {Interval{4}}));
}

TEST(Classification, ClientModeTreatsServerPhrasesAsOrdinaryLines) {
  OutputParser parser(false);
  expect_steps(parser, {
                           {"Server listening on 5201", {}},
                           {"Accepted connection from 127.0.0.1, port 40502", {}},
                           {"[  5] Server listening 0.00-1.00 sec 1 MBytes 7 Mbits/sec", {Interval{7}}},
                       });
}

// --- bitrate ---------------------------------------------------------------

TEST(Bitrate, UnitPrefixesArePowersOfAThousand) {
  const std::vector<std::pair<const char*, double>> cases = {
      {"[  5] 0.00-1.00 sec 1 GBytes 9.41 Gbits/sec", 9410.0},
      {"[  5] 0.00-1.00 sec 1 KBytes 850 Kbits/sec", 0.85},
      {"[  5] 0.00-1.00 sec 1 KBytes 850 kbits/sec", 0.85},
      {"[  5] 0.00-1.00 sec 1 Bytes 1000 bits/sec", 0.001},
      {"[  5] 0.00-1.00 sec 1 TBytes 1 Tbits/sec", 1e6},
      {"[  5] 0.00-1.00 sec 56.2 MBytes 471 Mbits/sec", 471.0},
      {"[  5] 0.00-1.00 sec 0.00 Bytes 0.00 bits/sec", 0.0},
  };
  for (const auto& [line, want] : cases) {
    const auto got = bitrate(line);
    ASSERT_TRUE(got.has_value()) << line;
    EXPECT_TRUE(testing::close_to(*got, want)) << line << " gave " << *got;
  }
}

TEST(Bitrate, OtherPrefixesGiveNoBitrateAndNoEvents) {
  for (const char* unit : {"mbits/sec", "gbits/sec", "tbits/sec", "Kibits/sec", "KKbits/sec",
                           "Pbits/sec", "xbits/sec", "\u00B5bits/sec"}) {
    const std::string line = std::string("[  5] 0.00-1.00 sec 1 MBytes 120 ") + unit;
    EXPECT_FALSE(bitrate(line).has_value()) << line;
    OutputParser parser(false);
    EXPECT_TRUE(events_eq(parser.feed_line(line), {})) << line;
  }
}

TEST(Bitrate, TheNumberMustBeTheWholeTokenBeforeTheUnit) {
  for (const char* line : {
           "Mbits/sec [  5] 0.00-1.00 sec 1 MBytes 471",  // unit is the first token
           "[bits/sec 0.00-1.00 sec 1 MBytes 5 Mbits/sec",  // ... even with a good one later
           "[  5] 0.00-1.00 sec 1 MBytes - Mbits/sec",     // a dash
           "[  5] 0.00-1.00 sec 1 MBytes fast Mbits/sec",  // a word
           "[  5] 0.00-1.00 sec 1 MBytes 471Mbits/sec",    // glued to the unit
           "[  5] 0.00-1.00 sec 1 MBytes 4,71 Mbits/sec",  // a comma
           "[  5] 0.00-1.00 sec 1 MBytes 471 Mbits/s",     // no "bits/sec" token
       }) {
    EXPECT_FALSE(bitrate(line).has_value()) << line;
    OutputParser parser(false);
    EXPECT_TRUE(events_eq(parser.feed_line(line), {})) << line;
  }
  EXPECT_FALSE(parse_bitrate({}).has_value());
}

TEST(Bitrate, OnlyTheFirstRateTokenCounts) {
  EXPECT_EQ(bitrate("[  5] 0.00-1.00 sec 3 Mbits/sec 4 Gbits/sec"), 3.0);
  // The first "bits/sec" token has a bad number: no second chance.
  EXPECT_FALSE(bitrate("[  5] 0.00-1.00 sec x Mbits/sec 4 Gbits/sec").has_value());
}

TEST(Bitrate, AcceptsSignsExponentsAndSpecialValues) {
  EXPECT_EQ(bitrate("[SUM] 1 sec +1.5e3 Kbits/sec"), 1.5);
  EXPECT_EQ(bitrate("[SUM] 1 sec -2 Mbits/sec"), -2.0);
  EXPECT_TRUE(std::isinf(*bitrate("[SUM] 1 sec INF Mbits/sec")));
  EXPECT_TRUE(std::isnan(*bitrate("[SUM] 1 sec nan Gbits/sec")));
}

// --- intervals -------------------------------------------------------------

TEST(Intervals, TwoStreamClientTestSumsStreamsThenTakesTheSumLine) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[ ID] Interval Transfer Bitrate Retr Cwnd", {}},
      {"[  5]   0.00-1.00 sec 56.2 MBytes 471 Mbits/sec 0 1.06 MBytes", {Interval{471}}},
      {"[  7]   0.00-1.00 sec 56.0 MBytes 470 Mbits/sec 0 1.06 MBytes", {Interval{941}}},
      {"[SUM]   0.00-1.00 sec 112 MBytes 942 Mbits/sec 0", {Interval{942}}},
      {"[  5]   1.00-2.00 sec 56.1 MBytes 470 Mbits/sec 0 1.06 MBytes", {Interval{470}}},
      {"[  5]   0.00-10.00 sec 561 MBytes 471 Mbits/sec 0 sender", {}},
      {"[  5]   0.00-10.04 sec 560 MBytes 468 Mbits/sec receiver", {Summary{471, 468}}},
      {"[  7]   0.00-10.00 sec 559 MBytes 469 Mbits/sec 0 sender", {}},
      {"[  7]   0.00-10.04 sec 558 MBytes 466 Mbits/sec receiver", {Summary{469, 466}}},
      {"[SUM]   0.00-10.00 sec 1.09 GBytes 940 Mbits/sec 0 sender", {}},
      {"[SUM]   0.00-10.04 sec 1.09 GBytes 934 Mbits/sec receiver", {Summary{940, 934}}},
  });
}

TEST(Intervals, SecondSumLineOfAnIntervalAddsToTheFirst) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[  5][TX-C]   0.00-1.00 sec 50 MBytes 450 Mbits/sec", {Interval{450}}},
      {"[SUM][TX-C]   0.00-1.00 sec 100 MBytes 900 Mbits/sec", {Interval{900}}},
      {"[  7][RX-C]   0.00-1.00 sec 50 MBytes 400 Mbits/sec", {}},
      {"[SUM][RX-C]   0.00-1.00 sec 90 MBytes 800 Mbits/sec", {Interval{1700}}},
      {"[SUM][TX-C]   1.00-2.00 sec 100 MBytes 901 Mbits/sec", {Interval{901}}},
  });
}

TEST(Intervals, PerStreamLineAfterTheSumOfItsIntervalIsIgnored) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[SUM] 0.00-1.00 sec 1 MBytes 942 Mbits/sec", {Interval{942}}},
      {"[  5] 0.00-1.00 sec 1 MBytes 471 Mbits/sec", {}},
      {"[  5] 1.00-2.00 sec 1 MBytes 300 Mbits/sec", {Interval{300}}},
  });
}

TEST(Intervals, KeyIsTheTokenBeforeTheFirstSecToken) {
  OutputParser parser(false);
  expect_steps(parser, {
      // No "sec" token: no key; absent keys are equal, so these add up.
      {"[  5] 0.00-1.00 1 MBytes 10 Mbits/sec", {Interval{10}}},
      {"[  7] 0.00-1.00 1 MBytes 5 Mbits/sec", {Interval{15}}},
      // Only a token that is exactly "sec" counts.
      {"[  5] 0.00-1.00 secs 1 MBytes 1 Mbits/sec", {Interval{16}}},
      // A key starts a new interval; the same key text continues it.
      {"[  5] A sec 1 MBytes 2 Mbits/sec", {Interval{2}}},
      {"[  5] A sec B sec 1 MBytes 3 Mbits/sec", {Interval{5}}},
      {"[  5] B sec 1 MBytes 4 Mbits/sec", {Interval{4}}},
      {"[  5] 1 MBytes 7 Mbits/sec", {Interval{7}}},
  });
}

// --- summaries -------------------------------------------------------------

TEST(Summaries, ReceiverBeforeAnySenderReportsZeroSender) {
  OutputParser parser(false);
  expect_steps(parser, {{"[  5] 0.00-10.04 sec 560 MBytes 468 Mbits/sec receiver", {Summary{0.0, 468}}}});
}

TEST(Summaries, StoredSumValuesWinOverLaterPerStreamLines) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[SUM] 0.00-10.00 sec 1 GBytes 940 Mbits/sec sender", {}},
      {"[  5] 0.00-10.00 sec 1 GBytes 470 Mbits/sec sender", {}},
      {"[SUM] 0.00-10.04 sec 1 GBytes 934 Mbits/sec receiver", {Summary{940, 934}}},
      {"[  5] 0.00-10.04 sec 1 GBytes 467 Mbits/sec receiver", {Summary{940, 934}}},
      {"[SUM] 0.00-10.00 sec 1 GBytes 1 Gbits/sec sender", {}},
      {"[  7] 0.00-10.04 sec 1 GBytes 3 Mbits/sec receiver", {Summary{1000, 934}}},
  });
}

TEST(Summaries, LineWithBothWordsIsSenderThenReceiver) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[  5] 0.00-10.00 sec 1 MBytes 12 Mbits/sec sender/receiver", {Summary{12, 12}}},
      {"[  5] 0.00-10.00 sec 1 MBytes 13 Mbits/sec senderx", {}},
      {"[  5] 0.00-10.00 sec 1 MBytes 14 Mbits/sec xreceiver", {Summary{13, 14}}},
  });
}

TEST(Summaries, SummaryLinesDoNotDisturbTheRunningInterval) {
  OutputParser parser(false);
  expect_steps(parser, {
      {"[  5] 0.00-1.00 sec 1 MBytes 10 Mbits/sec", {Interval{10}}},
      {"[  5] 0.00-1.00 sec 1 MBytes 99 Mbits/sec receiver", {Summary{0, 99}}},
      {"[  7] 0.00-1.00 sec 1 MBytes 5 Mbits/sec", {Interval{15}}},
  });
}

// --- server mode -----------------------------------------------------------

TEST(ServerMode, ListeningAcceptedAndTheEndOfAClient) {
  OutputParser parser(true);
  expect_steps(parser, {
      {"-----------------------------------------------------------", {}},
      {"Server listening on 5201 (test #1)", {Listening{}}},
      {"Accepted connection from 127.0.0.1, port 40502", {ClientConnected{"127.0.0.1"}}},
      {"[  5] local 127.0.0.1 port 5201 connected to 127.0.0.1 port 40504", {}},
      {"[  5]   0.00-1.00 sec 56.2 MBytes 471 Mbits/sec", {Interval{471}}},
      {"[  5]   0.00-10.04 sec 560 MBytes 468 Mbits/sec receiver", {Summary{0, 468}, ClientFinished{}}},
      {"[SUM]   0.00-10.04 sec 560 MBytes 470 Mbits/sec receiver", {Summary{0, 470}}},
      {"Server listening on 5201 (test #2)", {Listening{}}},
  });
}

TEST(ServerMode, ListeningWhileAClientIsActiveFinishesIt) {
  OutputParser parser(true);
  expect_steps(parser, {
      {"Accepted connection from 127.0.0.1, port 40502", {ClientConnected{"127.0.0.1"}}},
      {"Server listening on 5201", {ClientFinished{}, Listening{}}},
      {"Server listening on 5201", {Listening{}}},
  });
}

TEST(ServerMode, PeerIsTheTrimmedTextBeforeTheFirstComma) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"Accepted connection from 127.0.0.1, port 40502", "127.0.0.1"},
      {"Accepted connection from ::1, port 40502", "::1"},
      {"Accepted connection from\t fe80::1%eth0 , port 1, x", "fe80::1%eth0"},
      {"Accepted connection from 10.0.0.2", "10.0.0.2"},
      {"Accepted connection from", ""},
      {"Accepted connection from , port 5", ""},
      {"prefix Accepted connection from a Accepted connection from b", "a Accepted connection from b"},
  };
  for (const auto& [line, peer] : cases) {
    OutputParser parser(true);
    EXPECT_TRUE(events_eq(parser.feed_line(line), {ClientConnected{peer}})) << line;
  }
}

TEST(ServerMode, AcceptedConnectionStartsAFreshTest) {
  OutputParser parser(true);
  expect_steps(parser, {
      {"Accepted connection from a, port 1", {ClientConnected{"a"}}},
      {"[  5] 0.00-1.00 sec 1 MBytes 10 Mbits/sec", {Interval{10}}},
      {"[SUM] 0.00-10.00 sec 1 MBytes 20 Mbits/sec sender", {}},
      {"[SUM] 0.00-10.00 sec 1 MBytes 30 Mbits/sec receiver", {Summary{20, 30}, ClientFinished{}}},
      {"Accepted connection from b, port 2", {ClientConnected{"b"}}},
      // Same interval text as the previous client, but a new test.
      {"[  5] 0.00-1.00 sec 1 MBytes 4 Mbits/sec", {Interval{4}}},
      {"[  5] 0.00-10.00 sec 1 MBytes 6 Mbits/sec receiver", {Summary{0, 6}, ClientFinished{}}},
  });
}

TEST(ServerMode, ServerPhrasesWinOverDataRules) {
  OutputParser parser(true);
  expect_steps(parser, {
      {"[  5] Server listening 0.00-1.00 sec 1 MBytes 7 Mbits/sec", {Listening{}}},
      {"[  5] Accepted connection from x, 1 Mbits/sec receiver Server listening",
       {ClientConnected{"x"}}},
  });
}

// --- standard error --------------------------------------------------------

TEST(StderrMessage, PrefixesAreRemovedAndBlankOrExitingLinesDropped) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"iperf3: error - unable to connect to server: Connection refused",
       "unable to connect to server: Connection refused"},
      {"  iperf3: error - the server is busy running a test. try again later  \r",
       "the server is busy running a test. try again later"},
      {"iperf3: interrupt - the client has terminated", "interrupt - the client has terminated"},
      {"iperf3: error -", "error -"},
      {"iperf3: error -  two spaces", " two spaces"},
      {"iperf3:  spaced", " spaced"},
      {"iperf3: exiting", std::nullopt},
      {"\t iperf3: exiting \u3000", std::nullopt},
      {"iperf3: exiting now", "exiting now"},
      {"iperf3:", "iperf3:"},
      {"warning: something odd", "warning: something odd"},
      {"", std::nullopt},
      {" \t\u00A0\u2028 ", std::nullopt},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(stderr_message(line), want) << "'" << line << "'";
}

}  // namespace
}  // namespace trellan
