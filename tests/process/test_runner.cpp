// The child runner against the fake iperf3 script put first on PATH.
#include "event_helpers.hpp"
#include "drain.hpp"
#include "fake_tool.hpp"
#include "process/iperf.hpp"
#include "process/runner.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace trellan {
namespace {

using namespace std::chrono_literals;
using testing::describe;
using testing::drain;
using testing::no_children;
using testing::events_eq;
using Clock = std::chrono::steady_clock;

const char* const kNotFound =
    "iperf3 not found in PATH. Install it (e.g. 'sudo apt install iperf3' or 'sudo dnf install iperf3').";

// Receives events until the fake tool reports its process id (an Error whose
// text is a number); everything else received on the way goes to `seen`.
pid_t recv_pid(EventReceiver& rx, std::vector<IperfEvent>& seen) {
  while (auto ev = rx.recv()) {
    if (auto* e = std::get_if<Error>(&*ev)) {
      char* end = nullptr;
      const long pid = std::strtol(e->message.c_str(), &end, 10);
      if (pid > 0 && *end == '\0') return static_cast<pid_t>(pid);
    }
    seen.push_back(std::move(*ev));
  }
  ADD_FAILURE() << "the fake tool never reported its pid; got " << describe(seen);
  return -1;
}

bool process_exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

std::string comm_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}


// --- launching -------------------------------------------------------------

TEST(Launch, MissingToolGivesTheNotFoundTextThenMinusOne) {
  testing::TempDir empty;
  testing::ScopedPath path(empty.path());
  auto [run, rx] = start_iperf({"silent-exit"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Error{kNotFound}, Exited{-1}}));
}

TEST(Launch, ToolWithoutExecutePermissionIsReportedWithItsErrorNumber) {
  testing::TempDir dir;
  dir.write("iperf3", testing::fake_script(), 0644);
  testing::ScopedPath path(dir.path());
  auto [run, rx] = start_iperf({"silent-exit"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Error{"Could not launch iperf3: Permission denied (os error 13)"},
                                    Exited{-1}}));
}

TEST(Launch, ArgumentWithANulByteIsRefusedBeforeAnythingStarts) {
  auto [run, rx] = start_iperf({"silent-exit", std::string("a\0b", 3)}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Error{"Could not launch iperf3: nul byte found in provided data"},
                                    Exited{-1}}));
}

TEST(Launch, SearchSkipsUnusableEntriesLikeExecvp) {
  testing::TempDir not_executable, real;
  not_executable.write("iperf3", "#!/bin/sh\nexit 7\n", 0644);
  real.write("iperf3", testing::fake_script(), 0755);
  testing::ScopedPath path("/nonexistent:" + not_executable.path() + ":" + real.path());
  auto [run, rx] = start_iperf({"silent-exit"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Exited{3}}));
}

TEST(Launch, ScriptWithoutInterpreterLineRunsUnderTheShell) {
  testing::TempDir dir;
  dir.write("iperf3", "echo '[  5] 0.00-1.00 sec 1 MBytes 7 Mbits/sec'\nexit 4\n", 0755);
  testing::ScopedPath path(dir.path());
  auto [run, rx] = start_iperf({}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Interval{7}, Exited{4}}));
}

TEST(Launch, ArgumentsArriveUnchangedAndInOrder) {
  auto [run, rx] = start_iperf({"args", "-c", "two words", "", "\u00FCn\u00EF", "*"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Error{"arg <-c>"}, Error{"arg <two words>"}, Error{"arg <>"},
                                    Error{"arg <\u00FCn\u00EF>"}, Error{"arg <*>"}, Exited{0}}));
}

TEST(Launch, ChildGetsTheProgramsEnvironmentAndDirectory) {
  setenv("TRELLAN_RUN_PROBE", "a b", 1);
  auto [run, rx] = start_iperf({"env"}, false);
  unsetenv("TRELLAN_RUN_PROBE");
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_TRUE(events_eq(drain(rx), {Error{"env <a b> <" + cwd + ">"}, Exited{0}}));
}

TEST(Launch, WorkerThreadThatCannotStartGivesErrorThenMinusOne) {
  detail::fail_thread_start_after(0);
  auto [run, rx] = start_iperf({"pid-sleep"}, false);
  detail::fail_thread_start_after(-1);
  EXPECT_TRUE(events_eq(
      drain(rx),
      {Error{"Could not launch iperf3: Resource temporarily unavailable (os error 11)"}, Exited{-1}}));
}

TEST(Launch, StandardErrorThreadThatCannotStartEndsTheRunAndReapsTheChild) {
  detail::fail_thread_start_after(1);
  auto [run, rx] = start_iperf({"pid-sleep"}, false);
  const auto events = drain(rx);
  detail::fail_thread_start_after(-1);
  EXPECT_TRUE(events_eq(
      events,
      {Error{"Could not launch iperf3: Resource temporarily unavailable (os error 11)"}, Exited{-1}}));
  EXPECT_TRUE(no_children());
}

// --- how a run ends --------------------------------------------------------

TEST(Exit, ErrorLineComesBeforeTheExitCode) {
  auto [run, rx] = start_iperf({"error-exit"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Error{"unable to connect to server: Connection refused"}, Exited{1}}));
}

TEST(Exit, SilentFailureGivesItsCodeAlone) {
  auto [run, rx] = start_iperf({"silent-exit"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Exited{3}}));
}

TEST(Exit, ChildKilledFromOutsideGivesMinusOneAndTheSignal) {
  auto [run, rx] = start_iperf({"pid-sleep"}, false);
  std::vector<IperfEvent> events;
  const pid_t pid = recv_pid(rx, events);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  for (auto& ev : drain(rx)) events.push_back(std::move(ev));
  EXPECT_TRUE(events_eq(events, {Exited{-1, true, SIGTERM}}));
  EXPECT_FALSE(process_exists(pid)) << "the child was not reaped";
}

// --- reading output --------------------------------------------------------

TEST(Output, MegabyteLinesArriveWhole) {
  auto [run, rx] = start_iperf({"long-line"}, false);
  auto events = drain(rx);
  // The two streams are read by two threads: their events may interleave.
  ASSERT_EQ(events.size(), 3u) << describe(events);
  if (std::holds_alternative<Error>(events[0])) std::swap(events[0], events[1]);
  EXPECT_TRUE(events_eq(events, {Interval{5}, Error{std::string(1 << 20, 'x')}, Exited{0}}));
}

TEST(Output, LinesThatAreNotUtf8AreRepairedAndReadingGoesOn) {
  auto [run, rx] = start_iperf({"invalid-utf8"}, false);
  auto events = drain(rx);
  // The two streams are read by two threads: put the error line first.
  std::stable_partition(events.begin(), events.end(),
                        [](const IperfEvent& e) { return std::holds_alternative<Error>(e); });
  EXPECT_TRUE(events_eq(events, {Error{"bad \uFFFD byte"}, Interval{1}, Interval{2}, Interval{3}, Exited{0}}));
}

TEST(Output, CrLfEndingsAndAnUnterminatedLastLineAreLines) {
  auto [run, rx] = start_iperf({"no-newline"}, false);
  EXPECT_TRUE(events_eq(drain(rx), {Interval{1}, Interval{2}, Exited{0}}));
}

TEST(Output, InterleavedFloodOfBothStreamsArrivesCompleteAndInOrder) {
  // 32 MiB of interval lines on standard output and as much of numbered
  // error lines on standard error, written at the same time.
  constexpr long kOutLines = (32L << 20) / 53;
  constexpr long kErrLines = (32L << 20) / 26;
  auto [run, rx] = start_iperf({"flood", std::to_string(kOutLines), std::to_string(kErrLines)}, false);
  long intervals = 0, errors = 0;
  bool in_order = true;
  std::optional<IperfEvent> last;
  while (auto ev = rx.recv()) {
    if (auto* i = std::get_if<Interval>(&*ev)) {
      ++intervals;
      in_order = in_order && i->mbps == 8.0 * static_cast<double>(intervals);
    } else if (auto* e = std::get_if<Error>(&*ev)) {
      ++errors;
      in_order = in_order && std::strtol(e->message.c_str(), nullptr, 10) == errors;
    }
    last = std::move(ev);
  }
  EXPECT_EQ(intervals, kOutLines);
  EXPECT_EQ(errors, kErrLines);
  EXPECT_TRUE(in_order);
  ASSERT_TRUE(last.has_value());
  EXPECT_TRUE(events_eq({*last}, {Exited{0}}));
}

// --- stopping --------------------------------------------------------------

TEST(Stop, OutputAlreadyWrittenStillArrivesAndTheRunEndsWithZero) {
  auto [run, rx] = start_iperf({"lines-then-pid-sleep", "1000"}, false);
  std::vector<IperfEvent> events;
  const pid_t pid = recv_pid(rx, events);  // all 1000 lines are written by now
  ASSERT_GT(pid, 0);
  run.stop();
  for (auto& ev : drain(rx)) events.push_back(std::move(ev));
  std::vector<IperfEvent> expected(1001, Exited{0});
  for (int i = 1; i <= 1000; ++i) expected[static_cast<std::size_t>(i - 1)] = Interval{static_cast<double>(i)};
  EXPECT_TRUE(events_eq(events, expected));
  EXPECT_FALSE(process_exists(pid)) << "the killed child was left a zombie";
}

TEST(Stop, SecondStopAndStopAfterTheEndDoNothing) {
  {
    auto [run, rx] = start_iperf({"pid-sleep"}, false);
    std::vector<IperfEvent> events;
    ASSERT_GT(recv_pid(rx, events), 0);
    run.stop();
    run.stop();
    EXPECT_TRUE(events_eq(drain(rx), {Exited{0}}));
    run.stop();
  }
  {
    auto [run, rx] = start_iperf({"silent-exit"}, false);
    EXPECT_TRUE(events_eq(drain(rx), {Exited{3}}));
    run.stop();
    run.stop();
  }
  RunHandle empty;
  empty.stop();
  EXPECT_TRUE(no_children());
}

TEST(Stop, StopWhileTheChildOutlivesItsOutputDoesNotWait) {
  auto [run, rx] = start_iperf({"close-pipes-sleep"}, false);
  std::vector<IperfEvent> events;
  const pid_t pid = recv_pid(rx, events);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(100ms);  // the worker is in its final wait now
  const auto t0 = Clock::now();
  run.stop();
  EXPECT_LT(Clock::now() - t0, 1s) << "stop blocked on the child";
  EXPECT_TRUE(events_eq(drain(rx), {Exited{0}}));
  EXPECT_LT(Clock::now() - t0, 10s);
  EXPECT_FALSE(process_exists(pid));
}

TEST(Stop, ImmediatelyAfterStartStillKillsTheChild) {
  // These stops land before the workers have stored their children; a child
  // that escaped would sleep for 30 s.
  const auto t0 = Clock::now();
  std::vector<EventReceiver> receivers;
  for (int i = 0; i < 20; ++i) {
    auto [run, rx] = start_iperf({"sleep"}, false);
    run.stop();
    receivers.push_back(std::move(rx));
  }
  for (auto& rx : receivers) EXPECT_TRUE(events_eq(drain(rx), {Exited{0}}));
  EXPECT_LT(Clock::now() - t0, 10s) << "a stopped child kept running";
  EXPECT_TRUE(no_children());
}

TEST(Stop, ReleasingOrReplacingTheHandleStopsItsRun) {
  auto [first, rx1] = start_iperf({"sleep"}, false);
  auto [second, rx2] = start_iperf({"sleep"}, false);
  first = std::move(second);  // stops the first run
  EXPECT_TRUE(events_eq(drain(rx1), {Exited{0}}));
  { RunHandle gone = std::move(first); }
  EXPECT_TRUE(events_eq(drain(rx2), {Exited{0}}));
}

// --- runs and channels -----------------------------------------------------

TEST(Runs, DroppedReceiverDoesNotCutTheRunShort) {
  testing::TempDir dir;
  const std::string mark = dir.file("done");
  auto [run, rx] = start_iperf({"slow-writer", mark}, false);
  { EventReceiver gone = std::move(rx); }
  const auto deadline = Clock::now() + 10s;
  while (!std::filesystem::exists(mark) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(std::filesystem::exists(mark)) << "the child could not finish writing";
}

// The descriptors a process has open, with what each points to.
std::map<int, std::string> open_fds(pid_t pid) {
  std::map<int, std::string> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::error_code ec;
    out[std::stoi(entry.path().filename())] = std::filesystem::read_symlink(entry.path(), ec).string();
  }
  return out;
}

TEST(Runs, RunsStartedTogetherShareNothing) {
  for (int round = 0; round < 5; ++round) {
    auto [run_a, rx_a] = start_iperf({"talk", "11"}, false);
    auto [run_b, rx_b] = start_iperf({"talk", "22"}, false);
    std::vector<IperfEvent> seen_a, seen_b;
    const pid_t a = recv_pid(rx_a, seen_a), b = recv_pid(rx_b, seen_b);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    // Right after its exec the child's loader still has libraries open for a
    // moment; a leaked descriptor stays, so wait until only 0, 1, 2 are left.
    auto settled_fds = [](pid_t pid) {
      const auto deadline = Clock::now() + 5s;
      while (comm_of(pid) != "sleep" && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
      auto fds = open_fds(pid);
      while (fds.size() > 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        fds = open_fds(pid);
      }
      return fds;
    };
    const auto fds_a = settled_fds(a), fds_b = settled_fds(b);
    for (const auto* fds : {&fds_a, &fds_b}) {
      std::set<int> numbers;
      for (const auto& [fd, target] : *fds) numbers.insert(fd);
      numbers.erase(0);  // standard input is inherited as it is
      std::string listing;
      for (const auto& [fd, target] : *fds) listing += " " + std::to_string(fd) + "->" + target;
      EXPECT_EQ(numbers, (std::set<int>{1, 2})) << "a descriptor leaked into the child:" << listing;
      EXPECT_TRUE(fds->at(1).starts_with("pipe:") && fds->at(2).starts_with("pipe:"));
    }
    EXPECT_NE(fds_a.at(1), fds_b.at(1));
    EXPECT_NE(fds_a.at(2), fds_b.at(2));
    run_a.stop();
    run_b.stop();
    for (auto& ev : drain(rx_a)) seen_a.push_back(std::move(ev));
    for (auto& ev : drain(rx_b)) seen_b.push_back(std::move(ev));
    EXPECT_TRUE(events_eq(seen_a, {Interval{11}, Interval{11}, Interval{11}, Exited{0}}));
    EXPECT_TRUE(events_eq(seen_b, {Interval{22}, Interval{22}, Interval{22}, Exited{0}}));
  }
  EXPECT_TRUE(no_children());
}

TEST(Runs, ServerModeRunsTheServerRules) {
  testing::TempDir dir;
  dir.write("iperf3",
            "#!/bin/sh\n"
            "echo 'Server listening on 5201'\n"
            "echo 'Accepted connection from 10.1.2.3, port 4'\n"
            "echo '[  5] 0.00-1.00 sec 1 MBytes 9 Mbits/sec receiver'\n",
            0755);
  testing::ScopedPath path(dir.path());
  auto [server, rx] = start_iperf({}, true);
  EXPECT_TRUE(events_eq(testing::without_details(drain(rx)),
                        {Listening{}, ClientConnected{"10.1.2.3"}, Summary{0, 9}, ClientFinished{}, Exited{0}}));
  auto [client, rx2] = start_iperf({}, false);
  EXPECT_TRUE(events_eq(testing::without_details(drain(rx2)), {Summary{0, 9}, Exited{0}}));
}

// --- the program dies with a run in progress --------------------------------

TEST(Orphans, ChildIsKilledWhenTheProgramDies) {
  const char* helper = std::getenv("TRELLAN_ORPHAN_HELPER");
  ASSERT_NE(helper, nullptr) << "TRELLAN_ORPHAN_HELPER is not set (run the tests through meson)";
  // Orphans of the helper come to this process, so their end can be seen.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const gchar* argv[] = {helper, nullptr};
  GPid helper_pid = 0;
  gint out_fd = -1;
  GError* error = nullptr;
  ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), nullptr,
                                       G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &helper_pid,
                                       nullptr, &out_fd, nullptr, &error))
      << error->message;
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = ::read(out_fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(out_fd);
  ::waitpid(helper_pid, nullptr, 0);
  const pid_t child = static_cast<pid_t>(std::atol(text.c_str()));
  ASSERT_GT(child, 0) << "helper printed: " << text;

  int status = 0;
  pid_t reaped = 0;
  const auto deadline = Clock::now() + 5s;
  while ((reaped = ::waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  if (reaped == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_EQ(reaped, child) << "the child outlived the program that started it";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

}  // namespace
}  // namespace trellan
