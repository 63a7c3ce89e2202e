#include "process/channel.hpp"

#include <algorithm>
#include <iterator>

#include "core/gobject.hpp"

namespace trellan {

namespace detail {

std::pair<EventSender, EventReceiver> Channel::create() {
  std::shared_ptr<Channel> channel(new Channel());
  channel->senders_ = 1;
  return {EventSender(channel), EventReceiver(channel)};
}

Channel::~Channel() = default;

void Channel::notify_locked() {
  if (receiver_waiting_) cond_.notify_one();
  if (context_) g_main_context_wakeup(context_);
}

bool Channel::send(IperfEvent&& ev) {
  std::lock_guard lock(mutex_);
  if (receiver_gone_) return false;
  const bool was_empty = queue_.empty();
  queue_.push_back(std::move(ev));
  // The receiver only ever sleeps on an empty queue, so only the first event
  // after it ran dry needs to wake it.
  if (was_empty) notify_locked();
  return true;
}

void Channel::add_sender() {
  std::lock_guard lock(mutex_);
  ++senders_;
}

void Channel::drop_sender() {
  std::lock_guard lock(mutex_);
  if (--senders_ == 0) notify_locked();
}

std::optional<IperfEvent> Channel::recv() {
  std::unique_lock lock(mutex_);
  while (queue_.empty() && senders_ > 0) {
    receiver_waiting_ = true;
    cond_.wait(lock);
    receiver_waiting_ = false;
  }
  if (queue_.empty()) return std::nullopt;
  std::optional<IperfEvent> ev(std::move(queue_.front()));
  queue_.pop_front();
  return ev;
}

bool Channel::ready() {
  std::lock_guard lock(mutex_);
  return !queue_.empty() || senders_ == 0;
}

Channel::Taken Channel::take(std::vector<IperfEvent>& out, std::size_t max) {
  std::lock_guard lock(mutex_);
  const std::size_t n = std::min(max, queue_.size());
  const auto first = queue_.begin();
  const auto last = first + static_cast<std::ptrdiff_t>(n);
  out.insert(out.end(), std::make_move_iterator(first), std::make_move_iterator(last));
  queue_.erase(first, last);
  return Taken{!queue_.empty(), queue_.empty() && senders_ == 0};
}

void Channel::wake_on_send(GMainContext* context) {
  std::lock_guard lock(mutex_);
  context_ = context;
}

void Channel::drop_receiver() {
  std::deque<IperfEvent> dropped;
  std::lock_guard lock(mutex_);
  receiver_gone_ = true;
  context_ = nullptr;
  dropped.swap(queue_);
}

EventSender::EventSender(std::shared_ptr<Channel> channel) noexcept
    : channel_(std::move(channel)) {}

EventSender::EventSender(const EventSender& other) : channel_(other.channel_) {
  if (channel_) channel_->add_sender();
}

EventSender& EventSender::operator=(const EventSender& other) {
  if (this != &other) {
    EventSender copy(other);
    *this = std::move(copy);
  }
  return *this;
}

EventSender& EventSender::operator=(EventSender&& other) noexcept {
  if (this != &other) {
    reset();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

EventSender::~EventSender() { reset(); }

void EventSender::reset() noexcept {
  if (channel_) {
    channel_->drop_sender();
    channel_.reset();
  }
}

bool EventSender::send(IperfEvent ev) const {
  return channel_ && channel_->send(std::move(ev));
}

}  // namespace detail

// --- receiving end ----------------------------------------------------------

EventReceiver::EventReceiver(std::shared_ptr<detail::Channel> channel) noexcept
    : channel_(std::move(channel)) {}

EventReceiver& EventReceiver::operator=(EventReceiver&& other) noexcept {
  if (this != &other) {
    release();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

EventReceiver::~EventReceiver() { release(); }

void EventReceiver::release() noexcept {
  if (channel_) {
    channel_->drop_receiver();
    channel_.reset();
  }
}

std::optional<IperfEvent> EventReceiver::recv() {
  if (!channel_) return std::nullopt;
  return channel_->recv();
}

// --- awaiting a receiver on a GLib main context -----------------------------

namespace {

// At most this many events are handed out per dispatch.
constexpr std::size_t kBatchSize = 64;

struct WatchState {
  EventReceiver receiver;
  detail::Channel* channel;  // owned through `receiver`
  EventCallback on_event;
  std::vector<IperfEvent> batch;
  bool flooded = false;
};

struct WatchSource {
  GSource source;
  WatchState* state;
};

WatchState& state_of(GSource* source) {
  return *reinterpret_cast<WatchSource*>(source)->state;
}

bool deliver(WatchState& state, std::optional<IperfEvent> ev) noexcept {
  try {
    return state.on_event(std::move(ev));
  } catch (...) {
    return false;  // never let an exception unwind into GLib; stop watching
  }
}

gboolean watch_prepare(GSource* source, gint* timeout) {
  *timeout = -1;
  return state_of(source).channel->ready();
}

gboolean watch_check(GSource* source) { return state_of(source).channel->ready(); }

gboolean watch_dispatch(GSource* source, GSourceFunc, gpointer) {
  WatchState& state = state_of(source);
  const auto taken = state.channel->take(state.batch, kBatchSize);
  for (auto& ev : state.batch) {
    if (!deliver(state, std::move(ev)) || g_source_is_destroyed(source)) {
      state.batch.clear();
      return G_SOURCE_REMOVE;
    }
  }
  state.batch.clear();
  if (taken.closed) {
    deliver(state, std::nullopt);
    return G_SOURCE_REMOVE;
  }
  // While a backlog remains the source would be ready on every iteration and
  // keep lower-priority sources (the frame clock, at redraw priority) from
  // ever running. Drain a backlog at idle priority instead.
  if (taken.more != state.flooded) {
    state.flooded = taken.more;
    g_source_set_priority(source, taken.more ? G_PRIORITY_DEFAULT_IDLE : G_PRIORITY_DEFAULT);
  }
  return G_SOURCE_CONTINUE;
}

void watch_finalize(GSource* source) {
  auto* ws = reinterpret_cast<WatchSource*>(source);
  delete ws->state;
  ws->state = nullptr;
}

GSourceFuncs watch_funcs = {watch_prepare, watch_check, watch_dispatch, watch_finalize,
                            nullptr, nullptr};

}  // namespace

unsigned watch_events(EventReceiver rx, EventCallback on_event) {
  if (!rx.channel_) {
    // An empty receiver is a channel that is already closed.
    auto [tx, fresh] = detail::Channel::create();
    tx.reset();
    rx = std::move(fresh);
  }
  detail::Channel* channel = rx.channel_.get();
  auto* state = new WatchState{std::move(rx), channel, std::move(on_event), {}, false};
  state->batch.reserve(kBatchSize);

  const SourcePtr source(g_source_new(&watch_funcs, sizeof(WatchSource)));
  reinterpret_cast<WatchSource*>(source.get())->state = state;
  g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
  g_source_set_static_name(source.get(), "trellan run events");

  const MainContextPtr context(g_main_context_ref_thread_default());
  channel->wake_on_send(context.get());
  return g_source_attach(source.get(), context.get());
}

}  // namespace trellan
