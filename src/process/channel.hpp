// The event channel of one run: an unbounded first-in-first-out queue of
// events with any number of sending ends and one receiving end.
#pragma once

#include "process/iperf.hpp"

#include <glib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace trellan::detail {

class EventSender;

class Channel {
 public:
  // A new channel with one sending end and its receiving end.
  static std::pair<EventSender, EventReceiver> create();

  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel();

  // Receiving side ---------------------------------------------------------
  std::optional<IperfEvent> recv();
  // True when an event is queued or the channel is closed and empty.
  bool ready();
  struct Taken {
    bool more;    // events are still queued
    bool closed;  // no sender is left and the queue is empty
  };
  // Moves up to `max` queued events to the end of `out`.
  Taken take(std::vector<IperfEvent>& out, std::size_t max);
  // From now on every send into an empty queue wakes `context`. No reference
  // is taken: the caller keeps the receiving end inside a source attached to
  // `context`, so the context cannot be finalised before drop_receiver()
  // (called under the same lock that every wake-up is made under).
  void wake_on_send(GMainContext* context);
  // The receiving end is gone: sends fail, queued events are dropped.
  void drop_receiver();

 private:
  friend class EventSender;
  Channel() = default;
  bool send(IperfEvent&& ev);
  void add_sender();
  void drop_sender();
  void notify_locked();

  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<IperfEvent> queue_;
  std::size_t senders_ = 0;
  bool receiver_gone_ = false;
  bool receiver_waiting_ = false;
  GMainContext* context_ = nullptr;
};

// A sending end. Copying makes another sending end of the same channel; the
// channel closes for the receiver once every sending end is gone.
class EventSender {
 public:
  EventSender(const EventSender& other);
  EventSender& operator=(const EventSender& other);
  EventSender(EventSender&& other) noexcept = default;
  EventSender& operator=(EventSender&& other) noexcept;
  ~EventSender();

  // Queues `ev`; never blocks. False (and `ev` dropped) when the receiving
  // end is gone.
  bool send(IperfEvent ev) const;
  // Lets go of this sending end now.
  void reset() noexcept;

 private:
  friend class Channel;
  explicit EventSender(std::shared_ptr<Channel> channel) noexcept;
  std::shared_ptr<Channel> channel_;
};

}  // namespace trellan::detail
