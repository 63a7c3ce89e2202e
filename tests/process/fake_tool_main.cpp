// Test main for the programs that run the fake iperf3: puts it first on PATH
// for the whole run.
#include <gtest/gtest.h>

#include "fake_tool.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new trellan::testing::FakeToolEnvironment);
  return RUN_ALL_TESTS();
}
