// A fake iperf3 for window tests: a shell script first on PATH that records
// its pid and arguments and then does what the test tells it to.
#pragma once

#include <glib.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace trellan::testing {

class FakeTool {
 public:
  // `body` is shell code run after the bookkeeping; $0's arguments are "$@".
  explicit FakeTool(const std::string& body) {
    char tmpl[] = "/tmp/trellan-fake-XXXXXX";
    dir_ = g_mkdtemp(tmpl);
    std::ofstream script(dir_ + "/iperf3");
    script << "#!/bin/bash\n"
           << "echo $$ >> '" << dir_ << "/pids'\n"
           << "printf '%s\\0' \"$@\" > '" << dir_ << "/args.'$$\n"
           << body << "\n";
    script.close();
    chmod((dir_ + "/iperf3").c_str(), 0755);
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
  }
  ~FakeTool() {
    for (int pid : pids()) kill(pid, SIGKILL);
    setenv("PATH", old_path_.c_str(), 1);
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) {}
  }
  FakeTool(const FakeTool&) = delete;
  FakeTool& operator=(const FakeTool&) = delete;

  std::vector<int> pids() const {
    std::vector<int> out;
    std::ifstream in(dir_ + "/pids");
    for (int pid; in >> pid;) out.push_back(pid);
    return out;
  }

  // The arguments of the n-th launch, byte for byte.
  std::vector<std::string> args(size_t n = 0) const {
    auto all = pids();
    std::vector<std::string> out;
    if (n >= all.size()) return out;
    std::ifstream in(dir_ + "/args." + std::to_string(all[n]), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string data = ss.str();
    for (size_t start = 0, end; (end = data.find('\0', start)) != std::string::npos; start = end + 1)
      out.push_back(data.substr(start, end - start));
    return out;
  }

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string old_path_;
};

// True while a process with this pid exists and is not a zombie.
inline bool process_alive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace trellan::testing
