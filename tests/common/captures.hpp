// The captured output of real iperf3 runs (tests/captures), line by line.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace trellan::testing {

// The lines of a capture, named below the captures folder
// ("iperf3-3.12/tcp-client.txt"); a missing capture fails the test.
inline std::vector<std::string> capture_lines(const std::string& name) {
  const char* dir = std::getenv("TRELLAN_CAPTURES");
  std::ifstream in(std::string(dir ? dir : "captures") + "/" + name);
  EXPECT_TRUE(in.good()) << "no capture " << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace trellan::testing
