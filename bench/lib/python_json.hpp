// Python's json.load of a file, timed from inside the interpreter so that
// its start is no part of the figure: the yardstick the benchmarks that
// open iperf3's JSON hold Trellan's open against.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A child's wall time, peak resident memory (MB) and the smallest number it
// printed, best of `tries`.
struct ChildFigures {
  double seconds = 1e9;
  double peak_mb = 1e18;
  double printed = 1e9;
};

inline ChildFigures run_child(const std::vector<std::string>& argv, int tries = 5) {
  ChildFigures best;
  for (int i = 0; i < tries; ++i) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    struct rusage use {};
    wait4(pid, &status, 0, &use);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "%s failed\n", argv[0].c_str());
      std::exit(1);
    }
    best.seconds = std::min(best.seconds, s);
    best.peak_mb = std::min(best.peak_mb, static_cast<double>(use.ru_maxrss) / 1024.0);
    if (!text.empty()) best.printed = std::min(best.printed, std::strtod(text.c_str(), nullptr));
  }
  return best;
}

// The distribution's Python, the one a user of the machine has: an
// interpreter put first on PATH (a pyenv build, say) can be built otherwise
// and parse 40 % slower, which would flatter every figure set against it.
inline std::string python3() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

// `python3 -c 'import json,sys; json.load(open(sys.argv[1]))'` on `path`:
// the parse's own time (printed) and the command's peak memory.
inline ChildFigures python_json_load(const std::string& path, int tries = 5) {
  return run_child({python3(), "-c",
                    "import json,sys,time; t=time.perf_counter(); json.load(open(sys.argv[1])); "
                    "print(time.perf_counter()-t)",
                    path},
                   tries);
}

// The interpreter's own peak memory, to take from the command's.
inline ChildFigures python_start(int tries = 5) { return run_child({python3(), "-c", "import json,sys"}, tries); }
