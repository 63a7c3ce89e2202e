// iperf3's version for the reports: read from `iperf3 --version` as 3.12 and
// 3.18 print it, nothing from a program that names none, and asked once on a
// thread of its own.
#include "process/tool_version.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_tool.hpp"

using trellan::testing::TempDir;

namespace trellan {
namespace {

TEST(ToolVersion, ReadsTheVersionIperfNamesAndNothingElse) {
  TempDir dir;
  // First lines as iperf3 3.12 and 3.18 printed them on Debian 12 and 13.
  dir.write("v312", "#!/bin/sh\necho 'iperf 3.12 (cJSON 1.7.15)'\necho 'Linux vm 6.18.44 x86_64'\n", 0755);
  dir.write("v318", "#!/bin/sh\necho 'iperf 3.18 (cJSON 1.7.15)'\necho 'Optional features available: SCTP'\n",
            0755);
  dir.write("usage", "#!/bin/sh\necho 'iperf3: parameter error - must either be a client or a server'\n", 0755);
  dir.write("failing", "#!/bin/sh\necho 'iperf 3.12 (cJSON 1.7.15)'\nexit 1\n", 0755);
  EXPECT_EQ(read_tool_version(dir.file("v312")), "3.12");
  EXPECT_EQ(read_tool_version(dir.file("v318")), "3.18");
  EXPECT_EQ(read_tool_version(dir.file("usage")), std::nullopt);
  EXPECT_EQ(read_tool_version(dir.file("failing")), std::nullopt);
  EXPECT_EQ(read_tool_version(dir.file("missing")), std::nullopt);
}

TEST(ToolVersion, IsAskedOnceOfTheIperf3OnPathWithoutBlockingTheCaller) {
  TempDir dir;
  dir.write("iperf3", "#!/bin/sh\nsleep 0.3\necho 'iperf 3.99 (cJSON 1.7.15)'\n", 0755);
  const std::string path = dir.path() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  setenv("PATH", path.c_str(), 1);
  ask_iperf_version();
  EXPECT_EQ(iperf_version(), "unknown") << "the caller did not wait for the child";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (iperf_version() == "unknown" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(iperf_version(), "3.99");

  // Asked once: a changed iperf3 is not asked again.
  dir.write("iperf3", "#!/bin/sh\necho 'iperf 3.100 (cJSON 1.7.15)'\n", 0755);
  ask_iperf_version();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(iperf_version(), "3.99");
}

}  // namespace
}  // namespace trellan
