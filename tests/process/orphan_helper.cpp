// Starts a run of the fake tool, prints the child's pid and dies at once
// without stopping it: the child must not outlive this process.
#include "process/iperf.hpp"

#include <unistd.h>

#include <cstdio>

int main() {
  auto [run, rx] = trellan::start_iperf({"pid-sleep"}, false);
  while (auto ev = rx.recv()) {
    if (auto* e = std::get_if<trellan::Error>(&*ev)) {
      std::printf("%s\n", e->message.c_str());
      std::fflush(stdout);
      ::_exit(0);
    }
  }
  return 1;
}
