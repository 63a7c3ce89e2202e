// Latency from what iputils ping printed (Debian 12 and 13, with -n -O -i
// 0.1): the parser, the figures of a run, the texts, and the record's CSV and
// report. Expected values are read off the captured lines by hand.
#include "core/latency_run.hpp"
#include "core/latency_text.hpp"
#include "core/options.hpp"
#include "core/output_parser.hpp"
#include "core/ping_parser.hpp"
#include "core/run_export.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace trellan {
namespace {

std::vector<std::string> capture_lines(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<PingEvent> parse_out(const std::string& name) {
  std::vector<PingEvent> out;
  for (const auto& line : capture_lines(name))
    if (auto ev = parse_ping_line(line)) out.push_back(*ev);
  return out;
}

std::vector<std::string> parse_err(const std::string& name) {
  std::vector<std::string> out;
  for (const auto& line : capture_lines(name))
    if (auto f = parse_ping_error(line)) out.push_back(f->reason);
  return out;
}

const char* const kVersions[] = {"iputils-20221126", "iputils-20240905"};

TEST(PingParser, RepliesDuplicatesAndUnansweredProbesFromRealOutput) {
  for (const std::string v : kVersions) {
    SCOPED_TRACE(v);
    const auto replies = parse_out(v + "/replies.txt");
    ASSERT_EQ(replies.size(), 10u);  // header and statistics say nothing
    for (std::uint64_t i = 0; i < 10; ++i) {
      const auto* r = std::get_if<PingReply>(&replies[i]);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->seq, i + 1);
      EXPECT_FALSE(r->duplicate);
    }
    EXPECT_EQ(parse_out(v + "/replies-ipv6.txt").size(), 5u);

    // Probes 3 and 7 were sent back unanswered.
    const auto gaps = parse_out(v + "/no-answer.txt");
    ASSERT_EQ(gaps.size(), 10u);
    for (std::size_t i : {2u, 6u}) {
      const auto* u = std::get_if<PingUnanswered>(&gaps[i]);
      ASSERT_NE(u, nullptr) << i;
      EXPECT_EQ(u->seq, i + 1);
      EXPECT_EQ(u->reason, "");
    }

    // Each reply came four times: once, then "(DUP!)" three times.
    const auto dups = parse_out(v + "/duplicates.txt");
    ASSERT_EQ(dups.size(), 9u);
    EXPECT_FALSE(std::get<PingReply>(dups[0]).duplicate);
    EXPECT_TRUE(std::get<PingReply>(dups[1]).duplicate);
    EXPECT_EQ(std::get<PingReply>(dups[3]).seq, 1u);
    EXPECT_FALSE(std::get<PingReply>(dups[8]).duplicate);
    EXPECT_EQ(std::get<PingReply>(dups[8]).seq, 3u);

    // Nobody holds the address: "no answer yet", then the router's word.
    bool said_unreachable = false;
    for (const auto& ev : parse_out(v + "/host-unreachable.txt")) {
      const auto* u = std::get_if<PingUnanswered>(&ev);
      ASSERT_NE(u, nullptr);
      if (!u->reason.empty()) {
        EXPECT_EQ(u->reason, "Destination Host Unreachable");
        said_unreachable = true;
      }
    }
    EXPECT_TRUE(said_unreachable);
  }

  // The times as printed, in Debian 12's capture.
  const auto replies = parse_out("iputils-20221126/replies.txt");
  EXPECT_DOUBLE_EQ(std::get<PingReply>(replies[0]).rtt_ms, 0.036);
  EXPECT_DOUBLE_EQ(std::get<PingReply>(replies[9]).rtt_ms, 0.037);
  const auto dups = parse_out("iputils-20221126/duplicates.txt");
  EXPECT_DOUBLE_EQ(std::get<PingReply>(dups[2]).rtt_ms, 0.054);
  // At and above 100 ms ping prints fewer decimals.
  EXPECT_DOUBLE_EQ(
      std::get<PingReply>(*parse_ping_line("64 bytes from 10.77.0.2: icmp_seq=41 ttl=64 time=312 ms")).rtt_ms,
      312.0);
  EXPECT_FALSE(parse_ping_line("64 bytes from 10.77.0.2: icmp_seq=41 ttl=64 time=nan ms"));
}

TEST(PingParser, TheTimePingPutsBeforeEachLineWithMinusD) {
  // Probes 3 and 7 sent back unanswered, as in no-answer.txt, with -D.
  struct Want {
    const char* version;
    std::int64_t first_reply_us, no_answer_7_us, last_reply_us;
  };
  for (const Want& w : {Want{"iputils-20221126", 1796786267259497, 1796786268015188, 1796786268235238},
                        Want{"iputils-20240905", 1796786268387390, 1796786269139170, 1796786269355264}}) {
    SCOPED_TRACE(w.version);
    const auto lines = capture_lines(std::string(w.version) + "/stamped.txt");
    std::vector<PingEvent> events;
    std::vector<std::int64_t> stamps;
    for (const auto& line : lines) {
      if (auto ev = parse_ping_line(line)) {
        events.push_back(*ev);
        const auto stamp = ping_stamp_us(line);
        ASSERT_TRUE(stamp) << line;
        stamps.push_back(*stamp);
      } else {
        EXPECT_FALSE(ping_stamp_us(line)) << line;  // the header and statistics have none
      }
    }
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(stamps[0], w.first_reply_us);
    EXPECT_EQ(stamps[6], w.no_answer_7_us);
    EXPECT_EQ(stamps[9], w.last_reply_us);
    EXPECT_EQ(std::get<PingUnanswered>(events[2]).seq, 3u);
    EXPECT_EQ(std::get<PingUnanswered>(events[6]).seq, 7u);
    EXPECT_EQ(std::get<PingReply>(events[7]).seq, 8u);
  }
  EXPECT_DOUBLE_EQ(std::get<PingReply>(*parse_ping_line(capture_lines("iputils-20221126/stamped.txt")[1])).rtt_ms,
                   0.178);
  // Not a time: no stamp, and the line is read as if it had none.
  for (const char* line : {"[1796786267] 64 bytes from 10.77.0.2: icmp_seq=1 ttl=64 time=0.178 ms",
                           "[-1.000000] no answer yet for icmp_seq=3", "[1796786267.2594x7] no answer yet for icmp_seq=3",
                           "[] no answer yet for icmp_seq=3", "[1796786267.259497]no answer yet for icmp_seq=3"})
    EXPECT_FALSE(ping_stamp_us(line)) << line;
}

TEST(PingParser, FailuresInPingsOwnWords) {
  for (const std::string v : kVersions) {
    SCOPED_TRACE(v);
    EXPECT_EQ(parse_err(v + "/unresolved.err"),
              std::vector<std::string>{"nosuch.invalid: Name or service not known"});
    // The lines around the reason only explain it.
    EXPECT_EQ(parse_err(v + "/no-socket.err"), std::vector<std::string>{"socket: Operation not permitted"});
    EXPECT_EQ(parse_err(v + "/no-route.err"), std::vector<std::string>{"connect: Network is unreachable"});
    EXPECT_EQ(parse_err(v + "/blackhole.err"), std::vector<std::string>{"connect: Invalid argument"});
    EXPECT_TRUE(parse_out(v + "/unresolved.txt").empty());
  }
}

TEST(PingArgs, TenProbesASecondInTheFamilyOfTheFormOrOfTheHostAsTyped) {
  using Args = std::vector<std::string>;
  ClientOptions o;
  o.server = "::1";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-D", "-i", "0.1", "-6", "--", "::1"}));
  o.server = "192.0.2.7";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-D", "-i", "0.1", "-4", "--", "192.0.2.7"}));
  o.server = "example.net";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-D", "-i", "0.1", "--", "example.net"}));
  o.ip_version = IpVersion::V6;
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-D", "-i", "0.1", "-6", "--", "example.net"}));
  // A host that looks like an option stays a host.
  o.ip_version = IpVersion::Auto;
  o.server = "-f";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-D", "-i", "0.1", "--", "-f"}));
}

TEST(LatencyText, MillisecondsWithTwoSignificantDigitsToTheMicrosecondInEveryLocale) {
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
    EXPECT_EQ(ms_text(0.031), "0.031");
    // No finer than ping's microsecond: a median between two of its
    // readings is shown as ping would show it.
    EXPECT_EQ(ms_text(0.0094), "0.009");
    EXPECT_EQ(ms_text(0.0006), "0.001");
    EXPECT_EQ(ms_text(0.25), "0.25");
    EXPECT_EQ(ms_text(5.1), "5.1");
    EXPECT_EQ(ms_text(21.4), "21");
    EXPECT_EQ(ms_text(312), "312");
    EXPECT_EQ(ms_text(86400000), "86400000");
  }
  std::setlocale(LC_ALL, "C");
}

TEST(RunningQuantile, MatchesTheSortedValuesAtEveryCount) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> dist(0.01, 300);
  RunningQuantile median(0.5), p95(0.95);
  std::vector<double> all;
  for (int i = 0; i < 500; ++i) {
    const double v = i % 7 == 0 && !all.empty() ? all.back() : dist(gen);  // some ties
    all.push_back(v);
    median.add(v);
    p95.add(v);
    std::vector<double> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double want_median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    const std::size_t rank = (95 * n + 99) / 100;  // nearest rank: ceil(0.95 n)
    ASSERT_DOUBLE_EQ(*median.value(), want_median) << n;
    ASSERT_DOUBLE_EQ(*p95.value(), sorted[rank - 1]) << n;
  }
}

PingRunEvent run_event(const PingEvent& e) {
  return std::visit([](const auto& v) -> PingRunEvent { return v; }, e);
}

// Feeds a capture's lines as if ping printed one every 0.1 s from `t0`,
// its sequence numbers after `seq0` and its times scaled by `scale`; the
// lines from `from` on, `count` of them at most.
void feed(LatencyRun& run, const std::string& name, double t0, std::uint64_t seq0 = 0, double scale = 1,
          std::size_t from = 0, std::size_t count = 1000) {
  std::size_t i = 0;
  for (const auto& line : capture_lines(name)) {
    auto ev = parse_ping_line(line);
    if (!ev) continue;
    if (i >= from && i < from + count) {
      if (auto* r = std::get_if<PingReply>(&*ev)) {
        r->rtt_ms *= scale;
        r->seq += seq0;
      }
      if (auto* u = std::get_if<PingUnanswered>(&*ev)) u->seq += seq0;
      run.on_ping(t0 + 0.1 * static_cast<double>(i - from), run_event(*ev));
    }
    ++i;
  }
}

IntervalRecord interval(double start, double end) {
  IntervalRecord r;
  r.start = start;
  r.end = end;
  return r;
}

// The test's first interval, [0, 1) on its clock, whose line came at `t`.
void first_interval(LatencyRun& run, double t) {
  run.on_test_line(t);
  run.on_interval(t, interval(0, 1));
}

TEST(LatencyRun, IdleLossIsNeverCountedAsLossUnderLoad) {
  // Idle: no-answer.txt, seq 1…10 from 0 s; 3 and 7 unanswered; replies
  // 0.116 0.051 0.050 0.052 0.050 0.048 0.048 0.044 → median 0.050. Under
  // load, from 1.05 s: replies.txt as seq 11…20, times ×100 (3.6 4.1 3.6 3.0
  // 3.7 4.0 4.0 4.0 4.2 3.7 → median 3.85, a hair below it as the scaled
  // times add up: shown 3.8), in the interval that ends at 2 s.
  LatencyRun idle_loss(-0.05);
  feed(idle_loss, "iputils-20221126/no-answer.txt", 0.0);
  ASSERT_TRUE(idle_loss.start_load(1.0));
  feed(idle_loss, "iputils-20221126/replies.txt", 1.05, 10, 100);
  first_interval(idle_loss, 2.0);
  idle_loss.finish();
  auto f = *idle_loss.figures();
  EXPECT_EQ(f.idle_sent, 10u);
  EXPECT_EQ(f.idle_lost, 2u);
  EXPECT_EQ(f.sent, 10u);
  EXPECT_EQ(f.lost, 0u);
  ASSERT_EQ(idle_loss.meter().intervals().size(), 1u);
  EXPECT_NEAR(*idle_loss.meter().intervals()[0].median_ms, 3.85, 1e-9);
  EXPECT_EQ(idle_loss.meter().intervals()[0].lost, 0u);
  EXPECT_EQ(idle_loss.line(), "Latency: 0.050 ms idle (2 of 10 probes lost), 3.8 ms under load (+3.8 ms)");

  // And the other way round: the two lost probes under load, none idle.
  LatencyRun load_loss(-0.05);
  feed(load_loss, "iputils-20221126/replies.txt", 0.0);
  ASSERT_TRUE(load_loss.start_load(1.0));
  feed(load_loss, "iputils-20221126/no-answer.txt", 1.05, 10, 100);
  first_interval(load_loss, 2.0);
  load_loss.finish();
  f = *load_loss.figures();
  EXPECT_EQ(f.idle_sent, 10u);
  EXPECT_EQ(f.idle_lost, 0u);
  EXPECT_EQ(f.sent, 10u);
  EXPECT_EQ(f.lost, 2u);
  EXPECT_EQ(load_loss.meter().intervals()[0].lost, 2u);
  EXPECT_EQ(load_loss.line(), "Latency: 0.038 ms idle, 5.0 ms under load (+5.0 ms), 2 of 10 probes lost");

  // Duplicates count once: the first reply of each of seq 1…3.
  LatencyRun dup(0.0);
  feed(dup, "iputils-20221126/duplicates.txt", 0.0);
  dup.start_load(1.0);
  EXPECT_EQ(dup.meter().idle_replies(), 3u);
  EXPECT_NEAR(*dup.meter().idle_median(), 0.059, 1e-12);  // 0.054 0.059 0.066
}

TEST(LatencyRun, SaysWhyItWasNotMeasuredAndWhatWasWhenIdleWentUnanswered) {
  for (const std::string v : kVersions) {
    SCOPED_TRACE(v);
    // ping's own words end the idle second at once.
    LatencyRun unresolved(0.0);
    for (const auto& line : capture_lines(v + "/unresolved.err"))
      if (auto f = parse_ping_error(line)) unresolved.on_ping(0.01, *f);
    unresolved.on_ping(0.01, PingEnded{2});
    EXPECT_TRUE(unresolved.idle_over(0.02));
    EXPECT_FALSE(unresolved.start_load(0.02));
    EXPECT_TRUE(unresolved.gave_up());
    EXPECT_EQ(unresolved.line(), "Latency not measured: nosuch.invalid: Name or service not known");
    first_interval(unresolved, 1.0);
    unresolved.finish();
    EXPECT_EQ(unresolved.line(), "Latency not measured: nosuch.invalid: Name or service not known");
    EXPECT_FALSE(unresolved.figures());

    // Nobody answers within the second: the test goes on measuring; the
    // line says how long no reply came, then the router's own words, when
    // they come, end the probing.
    LatencyRun unreachable(0.0);
    feed(unreachable, v + "/host-unreachable.txt", 0.0, 0, 1, 0, 10);
    EXPECT_TRUE(unreachable.start_load(1.0));
    EXPECT_FALSE(unreachable.gave_up());
    feed(unreachable, v + "/host-unreachable.txt", 1.0, 0, 1, 10, 15);  // to 2.4 s
    EXPECT_EQ(unreachable.line(), "Latency: no reply for 1 s (idle: no reply)");
    feed(unreachable, v + "/host-unreachable.txt", 2.5, 0, 1, 25);
    EXPECT_TRUE(unreachable.gave_up());
    EXPECT_EQ(unreachable.line(), "Latency not measured: Destination Host Unreachable");
  }
  // ping is missing: the runner's words.
  LatencyRun missing(0.0);
  missing.on_ping(0.0, PingFailure{"ping not found in PATH"});
  missing.on_ping(0.0, PingEnded{-1});
  EXPECT_FALSE(missing.start_load(0.0));
  EXPECT_EQ(missing.line(), "Latency not measured: ping not found in PATH");

  // The idle second went unanswered, the test's did not: what was measured
  // is told, and what was not. no-answer.txt ×100 from 1.05 s, seq 1…10.
  LatencyRun late(0.0);
  ASSERT_TRUE(late.start_load(1.0));
  EXPECT_EQ(late.line(), "");
  feed(late, "iputils-20221126/no-answer.txt", 1.05, 0, 100);
  first_interval(late, 2.0);
  EXPECT_EQ(late.line(), "Latency 5.0 ms (idle: no reply)");
  late.finish();
  EXPECT_EQ(late.line(), "Latency: no reply while idle, 5.0 ms under load, 2 of 10 probes lost");
  EXPECT_FALSE(late.figures()->idle_replied);
}

TEST(LatencyRun, TheLiveLineSaysHowLongNoReplyCameAndComesBackWithTheReplies) {
  LatencyRun run(0.0);
  feed(run, "iputils-20221126/replies.txt", 0.0);
  ASSERT_TRUE(run.start_load(1.0));
  feed(run, "iputils-20221126/replies.txt", 1.05, 10, 100);  // 1.05 … 1.95 s
  first_interval(run, 2.0);
  EXPECT_EQ(run.line(), "Latency 3.8 ms (idle 0.038 ms)");
  // Then only "no answer yet", ten a second, for 3.5 s.
  for (std::uint64_t i = 0; i < 35; ++i) run.on_ping(2.05 + 0.1 * static_cast<double>(i), PingUnanswered{21 + i, {}});
  EXPECT_EQ(run.line(), "Latency: no reply for 3 s (idle 0.038 ms)");
  run.on_ping(5.6, PingReply{56, 7.5, false});
  EXPECT_EQ(run.line(), "Latency 7.5 ms (idle 0.038 ms)");
}

RunRecord bidir_run() {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/iperf3-3.12/udp-bidir-client.txt");
  EXPECT_TRUE(in.good());
  OutputParser parser(false);
  RunRecord run;
  for (std::string line; std::getline(in, line);)
    for (auto& ev : parser.feed_line(line))
      if (auto* i = std::get_if<Interval>(&ev); i && i->record) run.intervals.push_back(std::move(*i->record));
  return run;
}

LatencyFigures figures(double idle, std::optional<double> median, std::uint64_t lost, std::uint64_t sent) {
  LatencyFigures f;
  f.idle_ms = idle;
  f.loaded_median_ms = median;
  f.lost = lost;
  f.sent = sent;
  f.idle_sent = 10;
  return f;
}

TEST(LatencyText, EndLineTellsLossAndOnlyTheIncreaseTheShownFiguresMake) {
  struct Row {
    LatencyFigures f;
    const char* want;
  };
  LatencyFigures idle_loss = figures(0.034, 5.9, 0, 100);
  idle_loss.idle_lost = 3;
  LatencyFigures noisy = figures(0.031, 0.034, 0, 100);
  noisy.idle_jitter_ms = 0.005;
  LatencyFigures silent_idle = figures(0, 5.1, 0, 50);
  silent_idle.idle_replied = false;
  const Row rows[] = {
      {figures(0.034, 5.9, 75, 100), "Latency: 0.034 ms idle, 5.9 ms under load (+5.9 ms), 75 of 100 probes lost"},
      {figures(0.034, 5.9, 0, 100), "Latency: 0.034 ms idle, 5.9 ms under load (+5.9 ms)"},
      {idle_loss, "Latency: 0.034 ms idle (3 of 10 probes lost), 5.9 ms under load (+5.9 ms)"},
      {figures(0.034, std::nullopt, 40, 40), "Latency: 0.034 ms idle, no reply under load (40 of 40 probes lost)"},
      {silent_idle, "Latency: no reply while idle, 5.1 ms under load"},
      // Shown 0.031 and 0.034: 0.003 ms more, within the idle replies' jitter.
      {noisy, "Latency: 0.031 ms idle, 0.034 ms under load (no increase)"},
      // Less under load than idle is no improvement either.
      {figures(0.050, 0.035, 0, 100), "Latency: 0.050 ms idle, 0.035 ms under load (no increase)"},
      // Shown 0.0312 → "0.031" and 0.0338 → "0.034": +0.003, as shown.
      {figures(0.0312, 0.0338, 0, 100), "Latency: 0.031 ms idle, 0.034 ms under load (+0.003 ms)"},
      // 21.4 shows as 21 and 5.14 as 5.1: 15.9, at the coarser precision 16.
      {figures(5.14, 21.4, 0, 100), "Latency: 5.1 ms idle, 21 ms under load (+16 ms)"},
      // Two significant digits: 9.96 is 10; none past the point above 100.
      {figures(0.0523, 9.96, 0, 100), "Latency: 0.052 ms idle, 10 ms under load (+10 ms)"},
      {figures(0.0523, 123.4, 1, 100), "Latency: 0.052 ms idle, 123 ms under load (+123 ms), 1 of 100 probes lost"},
  };
  for (const Row& row : rows) EXPECT_EQ(latency_end_text(row.f), row.want);

  const std::pair<double, const char*> ms[] = {{0.031, "0.031"}, {0.0006, "0.001"},   {0.0996, "0.10"},
                                               {0.25, "0.25"},   {5.1, "5.1"},          {9.96, "10"},
                                               {21.4, "21"},     {99.6, "100"},         {312.4, "312"}};
  for (const auto& [v, want] : ms) EXPECT_EQ(ms_text(v), want) << v;

  LatencyFigures spread = figures(0.034, 5.9, 75, 100);
  spread.loaded_p95_ms = 21.3;
  spread.loaded_max_ms = 24.0;
  spread.jitter_ms = 1.23;
  spread.idle_lost = 1;
  EXPECT_EQ(latency_spread_text(spread),
            "Round-trip time under load: median 5.9 ms, 95th percentile 21 ms, maximum 24 ms, jitter 1.2 ms; "
            "75 of 100 probes lost (idle: median 0.034 ms, 1 of 10 probes lost)");
}

RunLatency per_record(std::vector<IntervalLatency> records, std::size_t first = 0) {
  RunLatency l;
  l.first_record = first;
  l.records = std::move(records);
  return l;
}

TEST(LatencyRecord, CsvAndReportCarryTheIntervalsLatencyAfterTheFirstTenColumns) {
  RunLog log;
  const std::uint64_t id = log.begin(RunPage::Client, "127.0.0.1, port 5201", "UDP · bidirectional · 3 s");
  const auto records = bidir_run().intervals;
  // While the run goes, each ended interval's latency is in the CSV.
  for (std::size_t i = 0; i < 4; ++i) log.add_interval(id, records[i]);
  log.update_latency(id, per_record({{5.1, 2}, {5.1, 2}}));
  log.update_latency(id, per_record({{std::nullopt, 1}, {std::nullopt, 1}}, 2));
  EXPECT_NE(intervals_csv(*log.find(id)).find(",no,5.1,2\n1.01,2.00,send,16900.000,1.94 GBytes,,,,63610,no,,1\n"),
            std::string::npos)
      << intervals_csv(*log.find(id));
  for (std::size_t i = 4; i < records.size(); ++i) log.add_interval(id, records[i]);
  LatencyFigures f = figures(0.052, 5.0, 2, 15);
  f.loaded_p95_ms = 11.6;
  f.loaded_max_ms = 11.6;
  RunLatency end = per_record({{4.8, 0}, {4.8, 0}}, 4);
  end.ended = true;
  end.text = latency_end_text(f);
  end.figures = f;
  log.update_latency(id, end);
  log.end(id, RunEnd::Result, "Result — send: 16.7 Gbit/s · receive: 103 Mbit/s", "Jitter 0.060 ms");
  const RunRecord& run = *log.find(id);

  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing";
  const std::string csv = intervals_csv(run);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(csv,
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
            "latency_rtt_median_ms,probes_lost\n"
            "0.00,1.01,send,16700.000,1.96 GBytes,,,,64290,no,5.1,2\n"
            "0.00,1.01,receive,103.000,12.4 MBytes,,0.225,57471,57867,no,5.1,2\n"
            "1.01,2.00,send,16900.000,1.94 GBytes,,,,63610,no,,1\n"
            "1.01,2.00,receive,105.000,12.4 MBytes,,0.285,58332,58728,no,,1\n"
            "2.00,3.00,send,16200.000,1.89 GBytes,,,,61770,no,4.8,0\n"
            "2.00,3.00,receive,104.000,12.4 MBytes,,0.060,57465,57861,no,4.8,0\n");

  const std::string report = run_report(run, "3.12");
  EXPECT_NE(report.find("Jitter 0.060 ms\nLatency: 0.052 ms idle, 5.0 ms under load (+4.9 ms), 2 of 15 probes lost\n"
                        "Round-trip time under load: median 5.0 ms, 95th percentile 12 ms, maximum 12 ms; "
                        "2 of 15 probes lost (idle: median 0.052 ms, 0 of 10 probes lost)\n\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("Datagrams  RTT median  Lost probes\n"), std::string::npos) << report;
  EXPECT_NE(report.find("61770      4.8 ms            0\n"), std::string::npos) << report;

  // Not measured: the reason in the report, both columns empty in the CSV.
  const std::uint64_t off = log.begin(RunPage::Client, "127.0.0.1, port 5201", "UDP");
  for (auto& r : bidir_run().intervals) log.add_interval(off, r);
  RunLatency none;
  none.ended = true;
  none.text = "Latency not measured: ping not found in PATH";
  log.update_latency(off, none);
  log.end(off, RunEnd::Result, "Result", "Details");
  EXPECT_NE(intervals_csv(*log.find(off)).find("\n2.00,3.00,send,16200.000,1.89 GBytes,,,,61770,no,,\n"),
            std::string::npos);
  EXPECT_NE(run_report(*log.find(off), "3.12").find("Details\nLatency not measured: ping not found in PATH\n"),
            std::string::npos);
  EXPECT_EQ(run_report(*log.find(off), "3.12").find("Lost probes"), std::string::npos);
}

}  // namespace
}  // namespace trellan
