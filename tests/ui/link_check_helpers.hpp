// What the link check's window tests read besides the window: the real tools
// on PATH, this process's children, and the receiver figure iperf3 printed.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "core/text.hpp"

namespace trellan::testing {

// The first `name` on PATH; empty when there is none.
inline std::string real_tool(const char* name) {
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string candidate = path.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// This process's children called `comm` with `arg` among their arguments
// (any, when empty).
inline int children(const std::string& comm, const std::string& arg = "") {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string pid, name, state;
    long ppid = 0;
    if (!(in >> pid >> name >> state >> ppid) || ppid != ::getpid() || name != "(" + comm + ")") continue;
    std::ifstream cmd(entry.path() / "cmdline");
    const std::string line((std::istreambuf_iterator<char>(cmd)), {});
    if (arg.empty() || line.find(std::string(1, '\0') + arg + '\0') != std::string::npos) ++n;
  }
  return n;
}

// The rate of the first receiver line in a file of iperf3's output, in
// Mbit/s, as it printed it.
inline std::optional<double> receiver_mbps(const std::string& path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.find("receiver") == std::string::npos) continue;
    const auto words = split_ws(line);
    for (size_t i = 1; i < words.size(); ++i) {
      const double scale = words[i] == "Gbits/sec"   ? 1000
                           : words[i] == "Mbits/sec" ? 1
                           : words[i] == "Kbits/sec" ? 0.001
                                                     : 0;
      if (scale > 0) return parse_double(words[i - 1]).value_or(-1) * scale;
    }
  }
  return std::nullopt;
}

}  // namespace trellan::testing
