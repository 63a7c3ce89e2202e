// Running iperf3: the events a run produces, the line parser that turns its
// output into events, and the runner that starts and stops the child.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace trellan {

struct Interval { double mbps; };
struct Summary { double sender_mbps; double receiver_mbps; };
struct ClientConnected { std::string peer; };
struct ClientFinished {};
struct Listening {};
struct Error { std::string message; };
struct Exited { std::int32_t code; };
using IperfEvent = std::variant<Interval, Summary, ClientConnected, ClientFinished,
                                Listening, Error, Exited>;

// Turns iperf3's standard-output lines into events. One per run.
class OutputParser {
 public:
  explicit OutputParser(bool server_mode);
  std::vector<IperfEvent> feed_line(std::string_view line);

 private:
  // (state fields: see parser.cpp)
};

// The user-facing message for one standard-error line, or nothing.
std::optional<std::string> stderr_message(std::string_view line);

// The bitrate of a data line in Mbit/s, from the line's tokens.
std::optional<double> parse_bitrate(std::span<const std::string_view> tokens);

// The main thread's handle on one run. Move-only; releasing it stops the run.
class RunHandle;

// The receiving end of a run's event channel. Move-only.
class EventReceiver;

std::pair<RunHandle, EventReceiver> start_iperf(std::vector<std::string> args,
                                                bool server_mode);

// Awaits `rx` on the thread-default GLib main context without polling: calls
// `on_event` on that context's thread for every event, in order, and once
// with nullopt when the channel is closed and empty. Watching ends after the
// nullopt call or as soon as `on_event` returns false; the receiver and the
// callback are then released. Returns the GSource id.
using EventCallback = std::function<bool(std::optional<IperfEvent>)>;
unsigned watch_events(EventReceiver rx, EventCallback on_event);

}  // namespace trellan
