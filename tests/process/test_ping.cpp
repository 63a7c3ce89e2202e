// ping as a run's second child, through the same runner as iperf3: the real
// ping on loopback, its own words when it fails, and no ping left behind.
#include "drain.hpp"
#include "event_helpers.hpp"
#include "process/iperf.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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

bool have_ping() {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"})
    if (std::filesystem::exists(std::string(dir) + "/ping")) return true;
  return false;
}


TEST(Ping, RepliesArriveStampedAndStopKillsAndReapsIt) {
  if (!have_ping()) GTEST_SKIP() << "ping is not installed (Debian: iputils-ping)";
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    const std::string family = std::string(host) == "::1" ? "-6" : "-4";
    auto [run, rx] = start_ping({"-n", "-O", "-i", "0.1", family, "--", host});
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
