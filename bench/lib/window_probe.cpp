// Measures a GUI program from the outside, through the X server, so that the
// program runs exactly as a user would start it:
//
//   window-probe [--settle S] [--idle S] [--timeout S] [--on-signal 1]
//                [--size WxH] TITLE -- COMMAND [ARGS...]
//
// It starts COMMAND and reports, on one line of standard output:
//   startup_ms  from just before fork to the first frame with content (more
//               than one colour) in a top-level window titled TITLE;
//   rss_kb, pss_kb  the program's resident and proportional set size, read
//               S seconds (--settle, default 1) after that first frame;
//   cpu_ms      CPU time (user + system, all threads) used over the next
//               --idle seconds (default 10) with nobody touching the window;
//   fps         frames the window drew per second over that same span.
// The program is then killed. Exit status 1 when the window never drew.
//
// With --size the window is resized to W × H pixels once it has drawn its
// first frame (there is no window manager under Xvfb to say otherwise), and
// the settle time runs from then.
//
// With --on-signal 1 the probe prints "pid=N" (the program's) on standard
// error once the window has drawn, starts the --idle span only when it
// receives SIGUSR1, prints its line at the end of the span, and kills the
// program at a second SIGUSR1: whoever drives the window says when the span
// of interest (a test run, say) begins and when the program may go.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A field "Name:  1234 kB" of a /proc file, in kB.
std::optional<long> proc_kb(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() &&
        line[field.size()] == ':')
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return std::nullopt;
}

// utime + stime of a whole process, in milliseconds.
std::optional<double> cpu_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');  // the command name may hold spaces
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  // After ")": state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string window_name(Display* d, Window w) {
  char* name = nullptr;
  std::string out;
  if (XFetchName(d, w, &name) && name) {
    out = name;
    XFree(name);
  }
  return out;
}

class Probe {
 public:
  Probe(Display* d, std::string title) : d_(d), title_(std::move(title)) {
    int error_base = 0;
    if (!XDamageQueryExtension(d_, &damage_event_, &error_base)) damage_event_ = -1;
    XSelectInput(d_, DefaultRootWindow(d_), SubstructureNotifyMask);
    XSync(d_, False);
  }
  bool has_damage() const { return damage_event_ >= 0; }

  // Handles the X events that arrive within `seconds`; stops early once
  // `until_first_frame` is set and the window drew its first frame.
  void pump(double seconds, bool until_first_frame) {
    const auto start = Clock::now();
    for (;;) {
      while (XPending(d_)) {
        XEvent ev;
        XNextEvent(d_, &ev);
        handle(ev);
        if (until_first_frame && first_frame_) return;
      }
      const double left = seconds - seconds_since(start);
      if (left <= 0) return;
      pollfd p{ConnectionNumber(d_), POLLIN, 0};
      poll(&p, 1, static_cast<int>(left * 1000) + 1);
    }
  }

  std::optional<Clock::time_point> first_frame() const { return first_frame_; }
  Window target() const { return target_; }
  long frames() const { return frames_; }

 private:
  void handle(const XEvent& ev) {
    if (ev.type == CreateNotify && ev.xcreatewindow.parent == DefaultRootWindow(d_)) {
      // Watch every new top-level window from its creation on: its title may
      // come later, and its first pixels must not be missed.
      const Window w = ev.xcreatewindow.window;
      damages_[w] = XDamageCreate(d_, w, XDamageReportNonEmpty);
      return;
    }
    if (ev.type != damage_event_ + XDamageNotify) return;
    const auto& dn = reinterpret_cast<const XDamageNotifyEvent&>(ev);
    auto it = damages_.find(dn.drawable);
    if (it == damages_.end()) return;
    XDamageSubtract(d_, it->second, 0, 0);
    if (target_ == 0) {
      if (window_name(d_, dn.drawable) != title_) return;
      target_ = dn.drawable;
    }
    if (dn.drawable != target_) return;
    if (!first_frame_) {
      // The window's first damage is the server clearing it when it is
      // mapped; the first frame is the first one with something drawn.
      if (!has_content(dn.geometry.width, dn.geometry.height)) return;
      first_frame_ = Clock::now();
    }
    ++frames_;
  }

  // Whether the window shows more than one colour.
  bool has_content(int width, int height) {
    XImage* img = XGetImage(d_, target_, 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!img) return false;
    const unsigned long first = XGetPixel(img, 0, 0);
    bool varied = false;
    for (int y = 0; y < height && !varied; ++y)
      for (int x = 0; x < width && !varied; ++x) varied = XGetPixel(img, x, y) != first;
    XDestroyImage(img);
    return varied;
  }

  Display* d_;
  std::string title_;
  int damage_event_ = -1;
  std::map<Window, Damage> damages_;
  Window target_ = 0;
  std::optional<Clock::time_point> first_frame_;
  long frames_ = 0;
};

int usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--settle S] [--idle S] [--timeout S] [--on-signal 1] [--size WxH] TITLE "
               "-- COMMAND [ARGS...]\n",
               argv0);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double settle = 1.0, idle = 10.0, timeout = 30.0;
  bool on_signal = false;
  unsigned size_w = 0, size_h = 0;
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0'; i += 2) {
    const double v = std::strtod(argv[i + 1], nullptr);
    if (std::strcmp(argv[i], "--size") == 0) {
      if (std::sscanf(argv[i + 1], "%ux%u", &size_w, &size_h) != 2 || size_w == 0 || size_h == 0)
        return usage(argv[0]);
    } else if (std::strcmp(argv[i], "--settle") == 0) settle = v;
    else if (std::strcmp(argv[i], "--idle") == 0) idle = v;
    else if (std::strcmp(argv[i], "--timeout") == 0) timeout = v;
    else if (std::strcmp(argv[i], "--on-signal") == 0) on_signal = v != 0;
    else return usage(argv[0]);
  }
  if (i + 2 >= argc || std::strcmp(argv[i + 1], "--") != 0) return usage(argv[0]);
  const std::string title = argv[i];
  char** command = argv + i + 2;

  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "window-probe: cannot open the display\n");
    return 1;
  }
  Probe probe(d, title);
  if (!probe.has_damage()) {
    std::fprintf(stderr, "window-probe: the X server lacks the DAMAGE extension\n");
    return 1;
  }

  // SIGUSR1 is taken through a descriptor, blocked before the child exists
  // (which unblocks it again before exec).
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, nullptr);
  const int signal_fd = signalfd(-1, &usr1, SFD_CLOEXEC);

  const auto started = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    close(ConnectionNumber(d));
    sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
    execvp(command[0], command);
    _exit(127);
  }
  auto end_child = [pid] {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  };

  probe.pump(timeout, true);
  if (!probe.first_frame()) {
    std::fprintf(stderr, "window-probe: no window titled \"%s\" drew within %.0f s\n",
                 title.c_str(), timeout);
    end_child();
    return 1;
  }
  const double startup_ms =
      std::chrono::duration<double, std::milli>(*probe.first_frame() - started).count();

  if (size_w != 0) {
    XResizeWindow(d, probe.target(), size_w, size_h);
    XFlush(d);
  }
  probe.pump(settle, false);
  const std::string proc = "/proc/" + std::to_string(pid);
  const long rss = proc_kb(proc + "/status", "VmRSS").value_or(-1);
  const long pss = proc_kb(proc + "/smaps_rollup", "Pss").value_or(-1);

  // Keeps reading the window's damage until SIGUSR1 comes; false when none
  // comes within ten minutes.
  auto wait_signal = [&] {
    const auto waiting = Clock::now();
    for (;;) {
      pollfd p{signal_fd, POLLIN, 0};
      if (poll(&p, 1, 0) > 0) {
        signalfd_siginfo info;
        return read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
      }
      probe.pump(0.02, false);
      if (seconds_since(waiting) > 600) return false;
    }
  };
  if (on_signal) {
    std::fprintf(stderr, "pid=%d\n", static_cast<int>(pid));
    std::fflush(stderr);
    if (!wait_signal()) {
      std::fprintf(stderr, "window-probe: no SIGUSR1 came\n");
      end_child();
      return 1;
    }
  }

  const long frames_before = probe.frames();
  const double cpu_before = cpu_ms(pid).value_or(0);
  const auto idle_start = Clock::now();
  probe.pump(idle, false);
  const double cpu_used = cpu_ms(pid).value_or(0) - cpu_before;
  const double idle_s = seconds_since(idle_start);
  const double fps = static_cast<double>(probe.frames() - frames_before) / idle_s;

  int status = 0;
  const bool alive = waitpid(pid, &status, WNOHANG) == 0;
  if (alive && on_signal) {
    std::printf("startup_ms=%.1f rss_kb=%ld pss_kb=%ld cpu_ms=%.0f idle_s=%.2f fps=%.1f\n",
                startup_ms, rss, pss, cpu_used, idle_s, fps);
    std::fflush(stdout);
    wait_signal();
    end_child();
    XCloseDisplay(d);
    return 0;
  }
  end_child();
  XCloseDisplay(d);
  if (!alive) {
    std::fprintf(stderr, "window-probe: the program ended during the measurement\n");
    return 1;
  }
  std::printf("startup_ms=%.1f rss_kb=%ld pss_kb=%ld cpu_ms=%.0f idle_s=%.2f fps=%.1f\n",
              startup_ms, rss, pss, cpu_used, idle_s, fps);
  return 0;
}
