// ping as a run's second child, through the same runner as iperf3: the real
// ping on loopback, its own words when it fails, and no ping left behind.
#include "drain.hpp"
#include "event_helpers.hpp"
#include "fake_tool.hpp"
#include "process/iperf.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace trellan {
namespace {

using namespace std::chrono_literals;
using testing::describe;
using testing::drain;
using testing::no_children;
using Clock = std::chrono::steady_clock;

std::string ping_path() {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"})
    if (std::filesystem::exists(std::string(dir) + "/ping")) return std::string(dir) + "/ping";
  return {};
}

bool have_ping() { return !ping_path().empty(); }


TEST(Ping, RepliesArriveStampedAndStopKillsAndReapsIt) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    const std::string family = std::string(host) == "::1" ? "-6" : "-4";
    auto [run, rx] = start_ping({"-n", "-O", "-D", "-i", "0.1", family, "--", host});
    std::vector<PingReply> replies;
    std::int64_t last_at = 0;
    const auto deadline = Clock::now() + 20s;
    while (replies.size() < 5 && Clock::now() < deadline) {
      auto ev = rx.recv();
      ASSERT_TRUE(ev) << "the channel closed early";
      const auto* p = std::get_if<Ping>(&*ev);
      ASSERT_NE(p, nullptr) << describe(*ev);
      const auto* r = std::get_if<PingReply>(&p->event);
      if (!r) continue;  // a probe unanswered at first, on a busy machine
      EXPECT_GE(p->at_us, last_at);
      last_at = p->at_us;
      replies.push_back(*r);
    }
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies.front().seq, 1u);
    EXPECT_GT(replies.front().rtt_ms, 0.0);
    run.stop();
    const auto rest = drain(rx);
    ASSERT_FALSE(rest.empty());
    const auto* exited = std::get_if<Exited>(&rest.back());
    ASSERT_NE(exited, nullptr) << describe(rest.back());
    EXPECT_EQ(exited->code, 0);  // stopped through its handle
  }
  EXPECT_TRUE(no_children()) << "a ping outlived its run";
}

// ping's output held up on its way for 1.5 s, as by a reader that fell behind
// or a process that was stopped: each reply still carries the time ping
// printed it (its -D time, which its own log shows), so the probes of that
// second and a half keep their places instead of sharing the instant they
// were read.
TEST(Ping, RepliesReadLateKeepTheTimesPingPrintedThem) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  testing::TempDir dir;
  const std::string log = dir.file("ping.log");
  // The real ping is this ping's process; what it prints is logged as it
  // comes and passed on late. Ending on its own (-c), it leaves nothing.
  dir.write("ping",
            "#!/bin/bash\nexec " + ping_path() + " \"$@\" > >(tee " + log + " | { sleep 1.5; exec cat; })\n",
            0755);
  std::map<std::uint64_t, std::int64_t> read_at;
  std::int64_t first_taken_us = 0;
  // ping's times are the wall clock's, the run's the monotonic one's. Where
  // the wall clock is slewed or stepped meanwhile (a virtual machine's clock
  // kept in time by its host), the two drift apart and a time moved across is
  // only as exact as that drift; it is watched for the whole run and allowed.
  std::int64_t drift_low = 0, drift_high = 0;
  std::jthread watch([&](std::stop_token stop) {
    const std::int64_t first = g_get_real_time() - g_get_monotonic_time();
    while (!stop.stop_requested()) {
      const std::int64_t off = g_get_real_time() - g_get_monotonic_time() - first;
      drift_low = std::min(drift_low, off);
      drift_high = std::max(drift_high, off);
      std::this_thread::sleep_for(10ms);
    }
  });
  {
    testing::ScopedPath path(dir.path() + ":" + std::getenv("PATH"));
    auto [run, rx] = start_ping({"-n", "-O", "-D", "-i", "0.1", "-c", "20", "-4", "--", "127.0.0.1"});
    for (auto& ev : drain(rx)) {
      if (!first_taken_us) first_taken_us = g_get_monotonic_time();
      if (const auto* p = std::get_if<Ping>(&ev))
        if (const auto* r = std::get_if<PingReply>(&p->event)) read_at[r->seq] = p->at_us;
    }
  }
  std::map<std::uint64_t, std::int64_t> printed_at;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);)
    if (const auto ev = parse_ping_line(line))
      if (const auto* r = std::get_if<PingReply>(&*ev)) printed_at[r->seq] = ping_stamp_us(line).value_or(0);
  watch.request_stop();
  watch.join();
  const double allowed = 1000.0 + static_cast<double>(drift_high - drift_low);
  RecordProperty("clock_drift_us", static_cast<int>(drift_high - drift_low));
  ASSERT_GE(printed_at.size(), 15u) << "ping's own log: " << log;
  ASSERT_EQ(read_at.size(), printed_at.size());
  // The first reply was printed well over a second before anything was read.
  EXPECT_GT(first_taken_us - read_at.at(1), 1'000'000);
  // Each reply's time after the first is ping's own, to the millisecond
  // (the two clocks are compared afresh for each line).
  for (const auto& [seq, printed] : printed_at) {
    ASSERT_TRUE(read_at.count(seq)) << seq;
    EXPECT_NEAR(static_cast<double>(read_at[seq] - read_at[1]), static_cast<double>(printed - printed_at[1]), allowed)
        << "icmp_seq=" << seq << "; the wall clock drifted " << drift_high - drift_low << " µs against the monotonic one";
  }
  EXPECT_TRUE(no_children());
}

TEST(Ping, FailuresComeInPingsOwnWordsOrTheRunnersAndEndTheRun) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  {
    auto [run, rx] = start_ping({"-n", "-O", "-i", "0.1", "--", "nosuch.invalid"});
    const auto events = drain(rx);
    ASSERT_EQ(events.size(), 2u) << describe(events);
    EXPECT_EQ(std::get<PingFailure>(std::get<Ping>(events[0]).event).reason,
              "nosuch.invalid: Name or service not known");
    EXPECT_EQ(std::get<Exited>(events[1]).code, 2);
  }
  // With PATH leading nowhere: the runner's own words.
  const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);
  auto [run, rx] = start_ping({"-n", "--", "127.0.0.1"});
  setenv("PATH", saved.c_str(), 1);
  const auto events = drain(rx);
  ASSERT_EQ(events.size(), 2u) << describe(events);
  EXPECT_EQ(std::get<Error>(events[0]).message, "ping not found in PATH");
  EXPECT_EQ(std::get<Exited>(events[1]).code, -1);
  EXPECT_TRUE(no_children());
}

}  // namespace
}  // namespace trellan
