#include "process/tool_version.hpp"

#include <glib.h>

#include <mutex>
#include <string_view>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace trellan {
namespace {

// Outlives every thread: it is never freed.
struct VersionState {
  std::mutex mutex;
  bool asked = false;
  std::optional<std::string> version;
};

VersionState& state() {
  static auto* s = new VersionState;
  return *s;
}

// The version in the first line of `iperf3 --version`: the word after
// "iperf", made of digits and dots ("3.12", "3.9", "3.18+").
std::optional<std::string> version_in(std::string_view output) {
  const std::string_view line = output.substr(0, output.find('\n'));
  constexpr std::string_view kName = "iperf ";
  if (!line.starts_with(kName)) return std::nullopt;
  std::string_view word = line.substr(kName.size());
  word = word.substr(0, word.find(' '));
  if (word.empty() || word.front() < '0' || word.front() > '9') return std::nullopt;
  return std::string(word);
}

// In the child, before exec: it goes with the thread that waits for it,
// which goes with the app, so an answer that never comes leaves nothing
// behind.
void die_with_parent(gpointer parent) {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != static_cast<pid_t>(GPOINTER_TO_INT(parent)))
    ::_exit(127);
}

}  // namespace

std::optional<std::string> read_tool_version(const std::string& program) {
  const gchar* argv[] = {program.c_str(), "--version", nullptr};
  gchar* out = nullptr;
  gint status = 0;
  GError* error = nullptr;
  const bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL |
                                                         G_SPAWN_STDIN_FROM_DEV_NULL),
                                die_with_parent, GINT_TO_POINTER(::getpid()), &out, nullptr, &status, &error);
  std::optional<std::string> version;
  if (ran && g_spawn_check_wait_status(status, nullptr) && out) version = version_in(out);
  g_free(out);
  g_clear_error(&error);
  return version;
}

void ask_iperf_version() {
  VersionState& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.asked) return;
    s.asked = true;
  }
  try {
    std::thread([&s] {
      auto version = read_tool_version("iperf3");
      std::lock_guard lock(s.mutex);
      s.version = std::move(version);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the version stays unknown.
  }
}

std::string iperf_version() {
  VersionState& s = state();
  std::lock_guard lock(s.mutex);
  return s.version.value_or("unknown");
}

}  // namespace trellan
