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
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-i", "0.1", "-6", "--", "::1"}));
  o.server = "192.0.2.7";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-i", "0.1", "-4", "--", "192.0.2.7"}));
  o.server = "example.net";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-i", "0.1", "--", "example.net"}));
  o.ip_version = IpVersion::V6;
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-i", "0.1", "-6", "--", "example.net"}));
  // A host that looks like an option stays a host.
  o.ip_version = IpVersion::Auto;
  o.server = "-f";
  EXPECT_EQ(o.ping_args(), (Args{"-n", "-O", "-i", "0.1", "--", "-f"}));
}

TEST(LatencyText, MillisecondsWithTwoSignificantDigitsInEveryLocale) {
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
    EXPECT_EQ(ms_text(0.031), "0.031");
    EXPECT_EQ(ms_text(0.0005), "0.00050");
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

// Feeds a capture's lines as if ping printed one every 0.1 s from `t0`,
// its sequence numbers after `seq0` and its times scaled by `scale`. After
// the line at `close_at`, the first interval of the test ends.
void feed(LatencyRun& run, const std::string& name, double t0, std::uint64_t seq0 = 0,
          double scale = 1, int close_after = -1, bool omitted = false) {
  int i = 0;
  for (const auto& line : capture_lines(name)) {
    const double t = t0 + 0.1 * i;
    if (auto ev = parse_ping_line(line)) {
      if (auto* r = std::get_if<PingReply>(&*ev)) {
        r->rtt_ms *= scale;
        r->seq += seq0;
      }
      if (auto* u = std::get_if<PingUnanswered>(&*ev)) u->seq += seq0;
      run.on_ping(t, *ev);
    }
    if (i == close_after) {
      IntervalRecord r;
      r.start_text = "0.00";
      r.end_text = "1.00";
      r.end = 1;
      r.omitted = omitted;
      run.on_interval(t + 0.05, r);
      r.direction = Direction::Receive;  // a bidirectional test's other row
      run.on_interval(t + 0.05, r);
    }
    ++i;
  }
}

IntervalRecord second_interval() {
  IntervalRecord r;
  r.start_text = "1.00";
  r.end_text = "2.00";
  r.start = 1;
  r.end = 2;
  return r;
}

TEST(LatencyRun, IdleThenLoadedFiguresLinesAndLostProbes) {
  // Idle: the five IPv6 loopback replies, 0.019 0.062 0.039 0.042 0.042 →
  // median 0.042, one every 0.1 s from 0.1 s.
  LatencyRun run(0.0);
  feed(run, "iputils-20221126/replies-ipv6.txt", 0.0);
  EXPECT_FALSE(run.idle_over(0.9));
  EXPECT_TRUE(run.idle_over(1.0));
  ASSERT_TRUE(run.start_load(1.0));
  EXPECT_EQ(run.line(), "");

  // Loaded: no-answer.txt from 1.0 s, times ×100, seq 6…15: replies 11.6
  // (1.1 s) 5.1 (1.2) — seq 8 unanswered, said at 1.3, sent 1.2 — 5.0 (1.4)
  // 5.2 (1.5) 5.0 (1.6) — seq 12 said at 1.7, sent 1.6 — 4.8 4.8 4.4 (1.8 …
  // 2.0). The first interval ends at 1.65, the second at 2.05.
  feed(run, "iputils-20221126/no-answer.txt", 1.0, 5, 100, 6);
  // The last second (0.65 … 1.65 s): 11.6 5.1 5.0 5.2 5.0 → 5.1.
  EXPECT_EQ(run.line(), "Latency 5.1 ms (idle 0.042 ms)");
  run.on_interval(2.05, second_interval());
  run.finish();
  EXPECT_EQ(run.line(), "Latency: 0.042 ms idle, 5.0 ms under load (+5.0 ms)");

  // Both probes were sent in the first interval (the second at 1.6 s).
  const auto intervals = run.intervals();
  ASSERT_EQ(intervals.size(), 2u);
  EXPECT_NEAR(*intervals[0].median_ms, 5.1, 1e-9);
  EXPECT_EQ(intervals[0].lost, 2u);
  EXPECT_NEAR(*intervals[1].median_ms, 4.8, 1e-9);
  EXPECT_EQ(intervals[1].lost, 0u);

  // Under load: 4.4 4.8 4.8 5.0 5.0 5.1 5.2 11.6.
  const auto f = run.figures();
  ASSERT_TRUE(f);
  EXPECT_NEAR(f->idle_ms, 0.042, 1e-12);
  EXPECT_NEAR(*f->loaded_median_ms, 5.0, 1e-9);
  EXPECT_NEAR(*f->loaded_p95_ms, 11.6, 1e-9);
  EXPECT_NEAR(*f->loaded_max_ms, 11.6, 1e-9);
  EXPECT_EQ(f->lost, 2u);
  EXPECT_EQ(f->sent, 15u);
  EXPECT_EQ(latency_sentence(*f),
            "Latency: idle 0.042 ms; under load median 5.0 ms, 95th percentile 12 ms, maximum 12 ms; "
            "2 of 15 probes lost.");

  // An omitted first interval keeps its median but not its replies.
  LatencyRun omit(0.0);
  feed(omit, "iputils-20221126/replies-ipv6.txt", 0.0);
  omit.start_load(1.0);
  feed(omit, "iputils-20221126/no-answer.txt", 1.0, 5, 100, 6, true);
  omit.on_interval(2.05, second_interval());
  EXPECT_NEAR(*omit.intervals()[0].median_ms, 5.1, 1e-9);
  EXPECT_NEAR(*omit.figures()->loaded_median_ms, 4.8, 1e-9);
  EXPECT_NEAR(*omit.figures()->loaded_max_ms, 4.8, 1e-9);

  // Duplicates count once: the first reply of each of seq 1…3.
  LatencyRun dup(0.0);
  feed(dup, "iputils-20221126/duplicates.txt", 0.0);
  dup.start_load(1.0);
  EXPECT_EQ(dup.meter().idle_replies(), 3u);
  EXPECT_NEAR(*dup.meter().idle_median(), 0.059, 1e-12);  // 0.054 0.059 0.066
}

TEST(LatencyRun, NotMeasuredSaysWhyAndGoesOnAtOnce) {
  for (const std::string v : kVersions) {
    SCOPED_TRACE(v);
    // ping's own words end the idle second at once.
    LatencyRun unresolved(0.0);
    for (const auto& line : capture_lines(v + "/unresolved.err"))
      if (auto f = parse_ping_error(line)) unresolved.on_ping(0.01, *f);
    unresolved.on_ping_exit(2);
    EXPECT_TRUE(unresolved.idle_over(0.02));
    EXPECT_FALSE(unresolved.start_load(0.02));
    EXPECT_EQ(unresolved.line(), "Latency not measured: nosuch.invalid: Name or service not known");
    unresolved.on_interval(1.0, second_interval());
    unresolved.finish();
    EXPECT_EQ(unresolved.line(), "Latency not measured: nosuch.invalid: Name or service not known");
    EXPECT_FALSE(unresolved.figures());

    // Nobody answers within the second: only "no answer yet" came by then.
    LatencyRun silent(0.0);
    const auto lines = capture_lines(v + "/host-unreachable.txt");
    for (std::size_t i = 0; i < 10; ++i)
      if (auto ev = parse_ping_line(lines[i])) silent.on_ping(0.1 * static_cast<double>(i), *ev);
    EXPECT_TRUE(silent.idle_over(1.0));
    EXPECT_FALSE(silent.start_load(1.0));
    EXPECT_EQ(silent.line(), "Latency not measured: no reply to ping within a second");
    // Had the router's word come by then, it would be the reason.
    LatencyRun unreachable(0.0);
    feed(unreachable, v + "/host-unreachable.txt", 0.0);
    EXPECT_FALSE(unreachable.start_load(6.0));
    EXPECT_EQ(unreachable.line(), "Latency not measured: Destination Host Unreachable");
  }
  // ping is missing: the runner's words.
  LatencyRun missing(0.0);
  missing.on_ping_failure("ping not found in PATH");
  missing.on_ping_exit(-1);
  EXPECT_FALSE(missing.start_load(0.0));
  EXPECT_EQ(missing.line(), "Latency not measured: ping not found in PATH");
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

TEST(LatencyRecord, CsvAndReportCarryTheIntervalsLatencyAfterTheFirstTenColumns) {
  RunLog log;
  const std::uint64_t id = log.begin(RunPage::Client, "127.0.0.1, port 5201", "UDP · bidirectional · 3 s");
  for (auto& r : bidir_run().intervals) log.add_interval(id, r);
  LatencyFigures f{0.052, 5.0, 11.6, 11.6, 2, 15};
  log.set_latency(id, latency_end_text(f), f, {{5.1, 2}, {std::nullopt, 1}, {4.8, 0}});
  log.end(id, RunEnd::Result, "Result — send: 16.7 Gbit/s · receive: 103 Mbit/s", "Jitter 0.060 ms");
  const RunRecord& run = *log.find(id);

  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing";
  const std::string csv = intervals_csv(run);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(csv,
            "start_s,end_s,direction,bitrate_mbit_s,transfer,retransmits,jitter_ms,lost,total,omitted,"
            "latency_ms,probes_lost\n"
            "0.00,1.01,send,16700.000,1.96 GBytes,,,,64290,no,5.100,2\n"
            "0.00,1.01,receive,103.000,12.4 MBytes,,0.225,57471,57867,no,5.100,2\n"
            "1.01,2.00,send,16900.000,1.94 GBytes,,,,63610,no,,1\n"
            "1.01,2.00,receive,105.000,12.4 MBytes,,0.285,58332,58728,no,,1\n"
            "2.00,3.00,send,16200.000,1.89 GBytes,,,,61770,no,4.800,0\n"
            "2.00,3.00,receive,104.000,12.4 MBytes,,0.060,57465,57861,no,4.800,0\n");

  const std::string report = run_report(run, "3.12");
  EXPECT_NE(report.find("Jitter 0.060 ms\nLatency: 0.052 ms idle, 5.0 ms under load (+4.9 ms)\n\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("Datagrams  Latency  Lost probes\n"), std::string::npos) << report;
  EXPECT_NE(report.find("61770   4.8 ms            0\n"), std::string::npos) << report;

  // Not measured: the reason in the report, both columns empty in the CSV.
  const std::uint64_t off = log.begin(RunPage::Client, "127.0.0.1, port 5201", "UDP");
  for (auto& r : bidir_run().intervals) log.add_interval(off, r);
  log.set_latency(off, "Latency not measured: ping not found in PATH", std::nullopt, {});
  log.end(off, RunEnd::Result, "Result", "Details");
  EXPECT_NE(intervals_csv(*log.find(off)).find("\n2.00,3.00,send,16200.000,1.89 GBytes,,,,61770,no,,\n"),
            std::string::npos);
  EXPECT_NE(run_report(*log.find(off), "3.12").find("Details\nLatency not measured: ping not found in PATH\n"),
            std::string::npos);
  EXPECT_EQ(run_report(*log.find(off), "3.12").find("Lost probes"), std::string::npos);
}

}  // namespace
}  // namespace trellan
