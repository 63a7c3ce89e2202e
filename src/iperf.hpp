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

namespace detail {
struct ChildSlot;
class Channel;
}  // namespace detail

struct Interval { double mbps; };
struct Summary { double sender_mbps; double receiver_mbps; };
struct ClientConnected { std::string peer; };
struct ClientFinished {};
struct Listening {};
struct Error { std::string message; };
// `code` is the exit status, or -1 when the child ended by a signal (then
// `by_signal` and `signal` say which), waiting failed (then `status_unknown`)
// or the launch failed; 0 when the run was stopped through its handle.
struct Exited {
  std::int32_t code;
  bool by_signal = false;
  int signal = 0;
  bool status_unknown = false;
};

// The loss figures of a UDP summary line, numbers as iperf3 printed them:
// "0.013 ms  23439/646767 (3.6%)".
struct UdpLoss {
  std::string jitter_ms;
  std::uint64_t lost = 0;
  std::uint64_t total = 0;
  std::string percent;
};

// What the summary lines of one flow have said so far. Each value comes from
// the line the rates came from: the retransmits (TCP) from the sender line
// that gave `sender_mbps`, the loss (UDP) from the receiver line that gave
// `receiver_mbps`.
struct FlowFigures {
  std::optional<double> sender_mbps;
  std::optional<std::uint64_t> retransmits;
  std::optional<double> receiver_mbps;
  std::optional<UdpLoss> loss;
};

// Sent after every summary line (sender or receiver): the end figures of the
// test known so far. In a bidirectional test `tx` is this machine's outgoing
// flow and `rx` its incoming one; otherwise `tx` holds the test's only flow
// and `rx` stays empty.
struct SummaryDetails {
  bool bidirectional = false;
  FlowFigures tx;
  FlowFigures rx;
};

using IperfEvent = std::variant<Interval, Summary, ClientConnected, ClientFinished,
                                Listening, Error, Exited, SummaryDetails>;

// Turns iperf3's standard-output lines into events. One per run.
class OutputParser {
 public:
  explicit OutputParser(bool server_mode);
  std::vector<IperfEvent> feed_line(std::string_view line);

 private:
  std::vector<IperfEvent> on_accepted(std::string_view after_phrase);
  std::vector<IperfEvent> on_listening();
  void on_summary(std::string_view line, std::size_t after_unit, double v, bool is_sum,
                  std::vector<IperfEvent>& out);
  void on_interval(std::string_view key, bool has_key, double v, bool is_sum,
                   std::vector<IperfEvent>& out);

  // The summary values of one flow and where they came from.
  struct Flow {
    FlowFigures figures;
    bool sender_from_sum = false;
    bool receiver_from_sum = false;
  };

  bool server_mode_;
  bool client_active_ = false;
  Flow flow_;        // the untagged summary lines of an ordinary test
  Flow tx_, rx_;     // a bidirectional test's "[TX-…]" and "[RX-…]" lines
  bool has_interval_key_ = false;  // with interval_key_: the optional key
  std::string interval_key_;
  double interval_mbps_ = 0.0;
  bool interval_from_sum_ = false;
};

// The user-facing message for one standard-error line, or nothing.
std::optional<std::string> stderr_message(std::string_view line);

// The bitrate of a data line in Mbit/s, from the line's tokens.
std::optional<double> parse_bitrate(std::span<const std::string_view> tokens);

class RunHandle;
class EventReceiver;
using EventCallback = std::function<bool(std::optional<IperfEvent>)>;

// Starts `iperf3 args...` (found through PATH) on a worker thread of its own
// and returns at once. Every run ends with exactly one Exited event, the last
// one; after it the channel closes.
std::pair<RunHandle, EventReceiver> start_iperf(std::vector<std::string> args,
                                                bool server_mode);

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
