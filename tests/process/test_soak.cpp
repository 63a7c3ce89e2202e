// Many short runs in a row leave nothing behind.
#include "event_helpers.hpp"
#include "drain.hpp"
#include "fake_tool.hpp"
#include "process/iperf.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

namespace trellan {
namespace {

using namespace std::chrono_literals;

int entries(const char* dir_path) {
  DIR* dir = ::opendir(dir_path);
  if (!dir) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n;
}

int open_fds() { return entries("/proc/self/fd"); }
int threads() { return entries("/proc/self/task"); }

void one_cycle(std::chrono::microseconds delay, bool release_instead_of_stop) {
  auto [run, rx] = start_iperf({"sleep"}, false);
  std::this_thread::sleep_for(delay);
  if (release_instead_of_stop) {
    RunHandle gone = std::move(run);
  } else {
    run.stop();
  }
  const auto events = testing::drain(rx);
  ASSERT_TRUE(testing::events_eq(events, {Exited{0}}));
}

TEST(Soak, ThousandStartStopCyclesLeaveNoDescriptorsThreadsOrZombies) {
  ASSERT_NO_FATAL_FAILURE(one_cycle(1ms, false));  // warm-up: lazily opened things
  std::this_thread::sleep_for(50ms);
  const int fds_before = open_fds(), threads_before = threads();

  std::mt19937 rng(20240601);
  std::uniform_int_distribution<int> delay_us(0, 5000);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_NO_FATAL_FAILURE(one_cycle(std::chrono::microseconds(delay_us(rng)), i % 2 == 1))
        << "cycle " << i;
  }

  // Worker threads finish just after closing their channels.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (threads() != threads_before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(threads(), threads_before);
  EXPECT_EQ(open_fds(), fds_before);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left over";
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace trellan
