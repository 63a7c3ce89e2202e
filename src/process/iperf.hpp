// Running iperf3: the runner that starts and stops the child and hands its
// events to the main loop. The events and the parser have headers of their
// own, included here for the users of all three.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/events.hpp"
#include "core/output_parser.hpp"

namespace trellan {

namespace detail {
struct ChildSlot;
class Channel;
}  // namespace detail

class RunHandle;
class EventReceiver;
using EventCallback = std::function<bool(std::optional<IperfEvent>)>;

// Starts `iperf3 args...` (found through PATH) on a worker thread of its own
// and returns at once. Every run ends with exactly one Exited event, the last
// one; after it the channel closes.
std::pair<RunHandle, EventReceiver> start_iperf(std::vector<std::string> args,
                                                bool server_mode);

// Starts `ping args...` (found through PATH) the same way, for measuring
// latency beside a test: each line ping prints about a probe comes as a Ping
// event, and so does each reason it gives for failing; a launch failure
// comes as Error ("ping not found in PATH"). Its handle kills and reaps it
// exactly as an iperf3 run's.
std::pair<RunHandle, EventReceiver> start_ping(std::vector<std::string> args);

// The main thread's handle on one run. Move-only; releasing it stops the run.
// A default-constructed handle belongs to no run.
class RunHandle {
 public:
  RunHandle() noexcept = default;
  RunHandle(RunHandle&&) noexcept = default;
  // Stops the run this handle held before taking over the other one.
  RunHandle& operator=(RunHandle&& other) noexcept;
  RunHandle(const RunHandle&) = delete;
  RunHandle& operator=(const RunHandle&) = delete;
  ~RunHandle();

  // Kills the child with SIGKILL if it has not ended yet. Never waits for the
  // child; the run then ends with Exited 0. A second stop, or a stop after the
  // run ended, does nothing.
  void stop() noexcept;

 private:
  friend std::pair<RunHandle, EventReceiver> start_iperf(std::vector<std::string>, bool);
  friend std::pair<RunHandle, EventReceiver> start_ping(std::vector<std::string>);
  explicit RunHandle(std::shared_ptr<detail::ChildSlot> slot) noexcept;
  std::shared_ptr<detail::ChildSlot> slot_;
};

// The receiving end of a run's event channel. Move-only. Releasing it makes
// every further send of the run fail quietly; the run itself goes on.
// A default-constructed receiver is closed and empty.
class EventReceiver {
 public:
  EventReceiver() noexcept = default;
  EventReceiver(EventReceiver&&) noexcept = default;
  EventReceiver& operator=(EventReceiver&& other) noexcept;
  EventReceiver(const EventReceiver&) = delete;
  EventReceiver& operator=(const EventReceiver&) = delete;
  ~EventReceiver();

  // Blocks until an event arrives (returns it) or the channel is closed and
  // empty (returns nullopt).
  std::optional<IperfEvent> recv();

 private:
  friend class detail::Channel;
  friend unsigned watch_events(EventReceiver rx, EventCallback on_event);
  explicit EventReceiver(std::shared_ptr<detail::Channel> channel) noexcept;
  void release() noexcept;
  std::shared_ptr<detail::Channel> channel_;
};

// Awaits `rx` on the thread-default GLib main context without polling: calls
// `on_event` on that context's thread for every event, in order, and once
// with nullopt when the channel is closed and empty. Watching ends after the
// nullopt call or as soon as `on_event` returns false; the receiver and the
// callback are then released. Returns the GSource id.
unsigned watch_events(EventReceiver rx, EventCallback on_event);

}  // namespace trellan
