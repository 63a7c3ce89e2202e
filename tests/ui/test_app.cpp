// The application as a process: the icon directory beside the executable,
// one instance per session, and the exit status when the last window closes.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool, ...) clash with its names.
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ui/app.hpp"

using trellan::exe_relative_icon_dir;

TEST(IconDirectory, ComesFromTheThirdAncestorOfTheExecutable) {
  EXPECT_EQ(exe_relative_icon_dir("/A/B/C/prog"), "/A/data/icons");
  EXPECT_EQ(exe_relative_icon_dir("/home/u/src/trellan/build/src/trellan"), "/home/u/src/trellan/data/icons");
  EXPECT_EQ(exe_relative_icon_dir("/usr/bin/prog"), "/data/icons");
}

TEST(IconDirectory, IsLeftOutForShallowOrUnusablePaths) {
  EXPECT_EQ(exe_relative_icon_dir("/bin/prog"), std::nullopt);
  EXPECT_EQ(exe_relative_icon_dir("/A/prog"), std::nullopt);
  EXPECT_EQ(exe_relative_icon_dir("/prog"), std::nullopt);
  EXPECT_EQ(exe_relative_icon_dir(""), std::nullopt);
  EXPECT_EQ(exe_relative_icon_dir("relative/a/b/prog"), std::nullopt);
}

namespace {

using Clock = std::chrono::steady_clock;

// A top-level window may vanish between listing it and asking for its
// attributes (GTK makes and drops short-lived ones); Xlib's default handler
// would end the test on that BadWindow. The failed call returns 0 instead.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// Top-level X windows whose name is the app's window title.
class X11Windows {
 public:
  X11Windows() : display_(XOpenDisplay(nullptr)) { XSetErrorHandler(ignore_x_error); }
  ~X11Windows() {
    if (display_) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  std::vector<Window> named(const std::string& title) {
    std::vector<Window> out;
    Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(display_, root, &root, &parent, &children, &n)) return out;
    for (unsigned i = 0; i < n; ++i) {
      XWindowAttributes attrs{};
      if (!XGetWindowAttributes(display_, children[i], &attrs) || attrs.map_state != IsViewable) continue;
      char* name = nullptr;
      if (XFetchName(display_, children[i], &name) && name) {
        if (title == name) out.push_back(children[i]);
        XFree(name);
      }
    }
    if (children) XFree(children);
    return out;
  }

  // Asks a window to close, as a window manager's close button would.
  void request_close(Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, w, False, NoEventMask, &ev);
    XFlush(display_);
  }

 private:
  Display* display_;
};

pid_t launch_app() {
  const char* exe = std::getenv("TRELLAN_EXE");
  pid_t pid = fork();
  if (pid == 0) {
    execl(exe, exe, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits for a child to end; its exit status, or nothing on timeout.
std::optional<int> wait_exit(pid_t pid, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

template <typename F>
bool eventually(F done, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

TEST(SingleInstance, SecondLaunchOpensAWindowInTheFirstProcessAndExitsAtOnce) {
  ASSERT_NE(std::getenv("TRELLAN_EXE"), nullptr);
  X11Windows x;
  ASSERT_TRUE(x.ok()) << "no X display";
  ASSERT_TRUE(x.named("iperf3").empty()) << "a window of the app is already open";

  const pid_t first = launch_app();
  ASSERT_TRUE(eventually([&] { return x.named("iperf3").size() == 1; }, 20)) << "first window";

  const auto started = Clock::now();
  const pid_t second = launch_app();
  const auto second_status = wait_exit(second, 10);
  ASSERT_TRUE(second_status.has_value()) << "the second launch did not exit";
  EXPECT_EQ(*second_status, 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 10.0);
  ASSERT_TRUE(eventually([&] { return x.named("iperf3").size() == 2; }, 10))
      << "the first process did not open a second window";
  EXPECT_FALSE(wait_exit(first, 0.2).has_value()) << "the first process ended early";

  // Closing one window keeps the process; closing the last one ends it with 0.
  auto windows = x.named("iperf3");
  x.request_close(windows[0]);
  ASSERT_TRUE(eventually([&] { return x.named("iperf3").size() == 1; }, 10));
  EXPECT_FALSE(wait_exit(first, 0.5).has_value()) << "the process ended with a window still open";
  x.request_close(x.named("iperf3").at(0));
  const auto first_status = wait_exit(first, 10);
  if (!first_status) kill(first, SIGKILL), waitpid(first, nullptr, 0);
  ASSERT_TRUE(first_status.has_value()) << "the process kept running after its last window closed";
  EXPECT_EQ(*first_status, 0);
}
