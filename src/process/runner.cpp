// Running one iperf3 child per run: launch, reading its output on two
// threads, stopping it, and the final wait.
#include "process/channel.hpp"
#include "process/iperf.hpp"
#include "process/line_reader.hpp"
#include "process/runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <glib.h>

extern char** environ;

namespace trellan {

namespace detail {

// The child of a run. `waited` turns true once the worker has reaped it;
// from then on its pid may belong to another process and is never signalled.
struct ChildRecord {
  pid_t pid;
  bool waited = false;
  int status = 0;
};

// Shared by the run's handle and its worker. `stopped` remembers a stop that
// came before the worker stored the child, so that the child is still killed.
struct ChildSlot {
  std::mutex mutex;
  std::optional<ChildRecord> child;
  bool stopped = false;
};

std::string os_error_text(int err) {
  const char* description = strerrordesc_np(err);
  std::string text = description ? description : "Unknown error " + std::to_string(err);
  text += " (os error " + std::to_string(err) + ")";
  return text;
}

namespace {

// What a run starts: the program, its words for failing to start, and how
// its output lines become events (a new parser for each run).
struct Tool {
  const char* program;
  const char* not_found;
  const char* launch_failed;
  const char* read_failed;
  std::function<std::function<void(std::string_view, const EventSender&)>()> stdout_reader;
  std::function<void(std::string_view, const EventSender&)> stderr_reader;
};

constexpr const char* kNotFound =
    "iperf3 not found in PATH. Install it (e.g. 'sudo apt install iperf3' or "
    "'sudo dnf install iperf3').";
constexpr const char* kLaunchFailed = "Could not launch iperf3: ";
constexpr const char* kReadFailed = "Reading iperf3's output failed: ";

std::atomic<int> thread_starts_before_failure{-1};
std::atomic<bool> wait_fails{false};
std::atomic<bool> output_line_fails{false};

template <typename F>
std::thread start_thread(F&& body) {
  int n = thread_starts_before_failure.load();
  while (n >= 0 && !thread_starts_before_failure.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 0) throw std::system_error(EAGAIN, std::generic_category());
  return std::thread(std::forward<F>(body));
}

void close_fd(int fd) noexcept {
  if (fd >= 0) ::close(fd);
}

// Gives `fd` a number of at least 3, keeping it close-on-exec, so that the
// child's dup2 onto 1 and 2 can never overwrite it.
bool lift_fd(int& fd) noexcept {
  if (fd >= 3) return true;
  const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  ::close(fd);
  fd = lifted;
  return true;
}

// Everything the child needs, prepared before fork: between fork and exec the
// child only makes async-signal-safe calls and writes into this memory.
struct ExecPlan {
  char** argv;
  char** sh_argv;  // {"/bin/sh", <candidate>, args..., nullptr}
  const std::vector<const char*>* candidates;
  char** envp;
  pid_t parent;
  int stdout_w;
  int stderr_w;
  int status_w;
  struct sigaction default_action;
  sigset_t empty_mask;
};

[[noreturn]] void child_fail(int status_w, int err) noexcept {
  ssize_t ignored = ::write(status_w, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

[[noreturn]] void exec_child(const ExecPlan& plan) noexcept {
  if (::sigaction(SIGPIPE, &plan.default_action, nullptr) != 0) child_fail(plan.status_w, errno);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) child_fail(plan.status_w, errno);
  // The thread that forked may have died before prctl took effect: then the
  // death signal will never come, so leave now rather than become an orphan.
  if (::getppid() != plan.parent) ::_exit(127);
  if (::dup2(plan.stdout_w, STDOUT_FILENO) < 0 || ::dup2(plan.stderr_w, STDERR_FILENO) < 0)
    child_fail(plan.status_w, errno);
  ::sigprocmask(SIG_SETMASK, &plan.empty_mask, nullptr);
  // Whatever another part of the program opened without close-on-exec must
  // not reach iperf3 either. Older kernels lack this; that is not an error.
  ::close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC);

  // The search execvp makes, over candidates prepared in advance.
  bool got_eacces = false;
  for (const char* path : *plan.candidates) {
    ::execve(path, plan.argv, plan.envp);
    if (errno == ENOEXEC) {  // no "#!" line: run it as a shell script
      plan.sh_argv[1] = const_cast<char*>(path);
      ::execve("/bin/sh", plan.sh_argv, plan.envp);
    }
    switch (errno) {
      case EACCES:
        got_eacces = true;
        [[fallthrough]];
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT:
        continue;
      default:
        child_fail(plan.status_w, errno);
    }
  }
  child_fail(plan.status_w, got_eacces ? EACCES : ENOENT);
}

struct Launched {
  pid_t pid;
  int stdout_r;
  int stderr_r;
};

std::vector<std::string> path_candidates(const std::optional<std::string>& path_env,
                                         const std::string& program) {
  std::string path;
  if (path_env) {
    path = *path_env;
  } else {
    const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
    path.resize(n);
    if (n > 0) {
      ::confstr(_CS_PATH, path.data(), n);
      path.resize(n - 1);
    }
  }
  std::vector<std::string> out;
  std::size_t from = 0;
  for (;;) {
    const std::size_t colon = path.find(':', from);
    const std::string dir = path.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
    out.push_back(dir.empty() ? program : dir + "/" + program);
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  return out;
}

// Starts the child; on failure returns the message for the user instead.
std::variant<Launched, std::string> launch(const Tool& tool, std::vector<std::string>& args,
                                           std::vector<std::string>& env) {
  const char* const kLaunchFailed = tool.launch_failed;
  for (const auto& arg : args)
    if (arg.find('\0') != std::string::npos)
      return std::string(kLaunchFailed) + "nul byte found in provided data";

  std::string program(tool.program);
  std::string shell("/bin/sh");
  std::vector<char*> argv{program.data()};
  std::vector<char*> sh_argv{shell.data(), nullptr};
  for (auto& arg : args) {
    argv.push_back(arg.data());
    sh_argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  sh_argv.push_back(nullptr);
  std::optional<std::string> path_env;
  std::vector<char*> envp;
  for (auto& entry : env) {
    envp.push_back(entry.data());
    if (!path_env && entry.starts_with("PATH=")) path_env = entry.substr(5);
  }
  envp.push_back(nullptr);
  const std::vector<std::string> candidates = path_candidates(path_env, program);
  std::vector<const char*> candidate_ptrs;
  for (const auto& c : candidates) candidate_ptrs.push_back(c.c_str());

  int out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
  auto close_all = [&] {
    for (int fd : {out[0], out[1], err[0], err[1], status[0], status[1]}) close_fd(fd);
  };
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
      ::pipe2(status, O_CLOEXEC) != 0 || !lift_fd(out[1]) || !lift_fd(err[1]) ||
      !lift_fd(status[1])) {
    const int e = errno;
    close_all();
    return kLaunchFailed + os_error_text(e);
  }

  ExecPlan plan{argv.data(), sh_argv.data(), &candidate_ptrs, envp.data(), ::getpid(),
                out[1],      err[1],         status[1],       {},      {}};
  plan.default_action.sa_handler = SIG_DFL;
  sigemptyset(&plan.default_action.sa_mask);
  sigemptyset(&plan.empty_mask);

  const pid_t pid = ::fork();
  if (pid == 0) exec_child(plan);
  if (pid < 0) {
    const int e = errno;
    close_all();
    return kLaunchFailed + os_error_text(e);
  }
  close_fd(out[1]);
  close_fd(err[1]);
  close_fd(status[1]);

  // End of file means the exec succeeded (the status pipe is close-on-exec);
  // otherwise the child sent the error number of its failure.
  int child_errno = 0;
  const ssize_t n = read_retrying(status[0], &child_errno, sizeof child_errno);
  close_fd(status[0]);
  if (n == static_cast<ssize_t>(sizeof child_errno)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    close_fd(out[0]);
    close_fd(err[0]);
    if (child_errno == ENOENT) return std::string(tool.not_found);
    return kLaunchFailed + os_error_text(child_errno);
  }
  return Launched{pid, out[0], err[0]};
}

struct WorkerData {
  const Tool* tool;
  std::vector<std::string> args;
  std::vector<std::string> env;  // the program's environment when the run started
  EventSender tx;
  std::shared_ptr<ChildSlot> slot;
};

void send_launch_failure(const EventSender& tx, std::string message) {
  tx.send(Error{std::move(message)});
  tx.send(Exited{-1});
}

// Reading a stream gave up on an exception (out of memory, say): the child
// is killed, since nobody reads its output any more, and the run says why.
// The child is still unreaped, so its pid is safe to signal.
void give_up_reading(const Tool& tool, const EventSender& tx, pid_t pid, const char* why) noexcept {
  ::kill(pid, SIGKILL);
  try {
    tx.send(Error{tool.read_failed + std::string(why)});
  } catch (...) {
    // The run still ends with Exited; only the reason is lost.
  }
}

void read_stderr(const Tool& tool, EventSender tx, int fd, pid_t pid) noexcept {
  try {
    read_lines(fd, [&](std::string_view line) { tool.stderr_reader(line, tx); });
  } catch (const std::exception& e) {
    give_up_reading(tool, tx, pid, e.what());
  }
  close_fd(fd);
}

void run_worker(WorkerData d) {
  const Tool& tool = *d.tool;
  auto launched = launch(tool, d.args, d.env);
  if (auto* message = std::get_if<std::string>(&launched)) {
    send_launch_failure(d.tx, std::move(*message));
    return;
  }
  const Launched child = std::get<Launched>(launched);
  {
    std::lock_guard lock(d.slot->mutex);
    if (d.slot->stopped)
      ::kill(child.pid, SIGKILL);  // stopped before it could be stored
    else
      d.slot->child = ChildRecord{child.pid};
  }

  bool aborted = false;
  std::thread stderr_thread;
  try {
    stderr_thread = start_thread(
        [&tool, tx = d.tx, fd = child.stderr_r, pid = child.pid]() mutable {
          read_stderr(tool, std::move(tx), fd, pid);
        });
  } catch (const std::system_error& e) {
    // Nobody would drain standard error: give the run up. Until it is reaped
    // below, the pid is still this run's child and safe to signal.
    close_fd(child.stderr_r);
    ::kill(child.pid, SIGKILL);
    d.tx.send(Error{tool.launch_failed + os_error_text(e.code().value())});
    aborted = true;
  }

  if (!aborted) {
    try {
      auto reader = tool.stdout_reader();
      read_lines(child.stdout_r, [&](std::string_view line) {
        if (output_line_fails.exchange(false)) throw std::bad_alloc();
        reader(line, d.tx);
      });
    } catch (const std::exception& e) {
      give_up_reading(tool, d.tx, child.pid, e.what());
      aborted = true;
    }
  }
  close_fd(child.stdout_r);
  if (stderr_thread.joinable()) stderr_thread.join();

  // Wait for the child to end without reaping it, and without holding the
  // lock, so that a stop never waits. While it is unreaped its pid cannot be
  // reused, so a concurrent stop can only ever signal this child.
  siginfo_t info{};
  int waited;
  do {
    waited = ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  if (wait_fails.exchange(false)) waited = -1;

  Exited exited{-1};
  {
    std::lock_guard lock(d.slot->mutex);
    int status = 0;
    pid_t reaped = -1;
    if (waited == 0) {
      do {
        reaped = ::waitpid(child.pid, &status, 0);  // a zombie by now: no wait
      } while (reaped < 0 && errno == EINTR);
    } else {
      // The end could not be awaited. Should the pid still be an ended child
      // of ours, it is reaped all the same; only our own children can be.
      ::waitpid(child.pid, nullptr, WNOHANG);
      exited.status_unknown = true;
    }
    if (reaped == child.pid && WIFEXITED(status)) {
      exited.code = WEXITSTATUS(status);
    } else if (reaped == child.pid && WIFSIGNALED(status)) {
      exited.by_signal = true;
      exited.signal = WTERMSIG(status);
    }
    if (d.slot->child) {
      d.slot->child->waited = true;
      d.slot->child->status = status;
    } else {
      exited = Exited{0};  // taken away by RunHandle::stop
    }
  }
  d.tx.send(aborted ? Exited{-1} : exited);
}

std::int64_t now_us() { return g_get_monotonic_time(); }

// An interval line is stamped here, as it is read, rather than when the main
// loop gets to it: a busy window must not move the test's clock against the
// latency probes'.
const Tool kIperfClient{
    "iperf3", kNotFound, kLaunchFailed, kReadFailed,
    [] {
      return [parser = OutputParser(false)](std::string_view line, const EventSender& tx) mutable {
        const std::int64_t read_at = now_us();
        for (auto& ev : parser.feed_line(line)) {
          if (auto* interval = std::get_if<Interval>(&ev)) interval->at_us = read_at;
          tx.send(std::move(ev));
        }
      };
    },
    [](std::string_view line, const EventSender& tx) {
      if (auto message = stderr_message(line)) tx.send(Error{std::move(*message)});
    }};

const Tool kIperfServer{
    "iperf3", kNotFound, kLaunchFailed, kReadFailed,
    [] {
      return [parser = OutputParser(true)](std::string_view line, const EventSender& tx) mutable {
        for (auto& ev : parser.feed_line(line)) tx.send(std::move(ev));
      };
    },
    kIperfClient.stderr_reader};

// When ping printed `line`, on the monotonic clock: its own time (-D), moved
// from the wall clock by the two clocks' difference now, so that lines read
// late (a reader held up, a stopped process) keep their places; when it was
// read, for a line without one. Never later than it was read.
std::int64_t ping_line_us(std::string_view line) {
  const std::int64_t read_at = now_us();
  const auto stamp = ping_stamp_us(line);
  if (!stamp) return read_at;
  return std::min(read_at, *stamp - (g_get_real_time() - read_at));
}

const Tool kPing{
    "ping", "ping not found in PATH", "Could not launch ping: ", "Reading ping's output failed: ",
    [] {
      return [](std::string_view line, const EventSender& tx) {
        if (auto ev = parse_ping_line(line)) tx.send(Ping{std::move(*ev), ping_line_us(line)});
      };
    },
    [](std::string_view line, const EventSender& tx) {
      if (auto failure = parse_ping_error(line)) tx.send(Ping{std::move(*failure), now_us()});
    }};

// Starts `tool` on a worker thread of its own and returns at once.
std::pair<std::shared_ptr<ChildSlot>, EventReceiver> start_tool(const Tool& tool,
                                                                std::vector<std::string> args) {
  auto [tx, rx] = Channel::create();
  auto slot = std::make_shared<ChildSlot>();
  // The environment is copied here, on the caller's thread, rather than read
  // by the worker while another thread might change it.
  std::vector<std::string> env;
  for (char** entry = environ; entry && *entry; ++entry) env.emplace_back(*entry);

  WorkerData data{&tool, std::move(args), std::move(env), tx, slot};
  try {
    start_thread([d = std::move(data)]() mutable { run_worker(std::move(d)); }).detach();
  } catch (const std::system_error& e) {
    send_launch_failure(tx, tool.launch_failed + os_error_text(e.code().value()));
  }
  return {std::move(slot), std::move(rx)};
}

}  // namespace

void fail_thread_start_after(int successes) { thread_starts_before_failure.store(successes); }

void fail_next_wait() { wait_fails.store(true); }

void fail_next_output_line() { output_line_fails.store(true); }

}  // namespace detail

std::pair<RunHandle, EventReceiver> start_iperf(std::vector<std::string> args,
                                                bool server_mode) {
  auto [slot, rx] =
      detail::start_tool(server_mode ? detail::kIperfServer : detail::kIperfClient, std::move(args));
  return {RunHandle(std::move(slot)), std::move(rx)};
}

std::pair<RunHandle, EventReceiver> start_ping(std::vector<std::string> args) {
  auto [slot, rx] = detail::start_tool(detail::kPing, std::move(args));
  return {RunHandle(std::move(slot)), std::move(rx)};
}

RunHandle::RunHandle(std::shared_ptr<detail::ChildSlot> slot) noexcept : slot_(std::move(slot)) {}

RunHandle& RunHandle::operator=(RunHandle&& other) noexcept {
  if (this != &other) {
    stop();
    slot_ = std::move(other.slot_);
  }
  return *this;
}

RunHandle::~RunHandle() { stop(); }

void RunHandle::stop() noexcept {
  if (!slot_) return;
  std::lock_guard lock(slot_->mutex);
  slot_->stopped = true;
  if (slot_->child) {
    if (!slot_->child->waited) ::kill(slot_->child->pid, SIGKILL);  // failure ignored
    slot_->child.reset();
  }
}

}  // namespace trellan
