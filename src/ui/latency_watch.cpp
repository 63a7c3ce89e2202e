#include "ui/latency_watch.hpp"

#include <glib.h>

#include <memory>
#include <utility>

namespace trellan {
namespace {

double now_s() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

// One run's ping, shared by its event watch and the one-second timer.
struct PingWatch {
  std::shared_ptr<RunSlot> slot;
  std::uint64_t run_id;
  std::shared_ptr<RunSession> session;
  PageWidgets page;
  std::function<void()> start_test;

  bool mine() const { return slot->run_id == run_id && slot->session == session; }
  bool current() const { return mine() && (!session->finished() || session->latency_settling()); }

  void show(const PageAnswer& answer) {
    show_answer(page, *slot, answer);
    if (answer.start_test && start_test) std::exchange(start_test, nullptr)();
  }

  // A latency that waited for its probes in flight closes: on the page while
  // its run is still the page's, in its record alone once another run took
  // the page (whose ping and line are not this one's).
  void settle() {
    if (!session->latency_settling()) return;
    const PageAnswer answer = session->settle_latency();
    if (mine()) {
      show(answer);
    } else {
      for (const RecordStep& step : answer.record) slot->recording.apply(step);
    }
  }
};

// ping's events as its session takes them.
std::optional<PingRunEvent> ping_event(const IperfEvent& event) {
  if (const auto* p = std::get_if<Ping>(&event))
    return std::visit([](const auto& e) -> PingRunEvent { return e; }, p->event);
  if (const auto* e = std::get_if<Error>(&event)) return PingFailure{e->message};
  if (const auto* x = std::get_if<Exited>(&event)) return PingEnded{x->code};
  return std::nullopt;
}

double ping_time(const IperfEvent& event) {
  if (const auto* p = std::get_if<Ping>(&event)) return static_cast<double>(p->at_us) / 1e6;
  return now_s();
}

}  // namespace

void begin_latency(const std::shared_ptr<RunSlot>& slot, std::uint64_t run_id, const PageWidgets& page,
                   std::vector<std::string> ping_args, std::function<void()> start_test,
                   double idle_seconds) {
  auto watch = std::make_shared<PingWatch>(PingWatch{slot, run_id, slot->session, page, std::move(start_test)});
  auto [handle, rx] = start_ping(std::move(ping_args));
  slot->ping = std::move(handle);
  watch->show(watch->session->ping_started(now_s()));

  slot->settle_latency = [weak = std::weak_ptr<PingWatch>(watch)](double wait_s) {
    const auto w = weak.lock();
    if (!w) return;
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(wait_s * 1000),
        [](gpointer data) noexcept -> gboolean {
          try {
            if (const auto w = static_cast<std::weak_ptr<PingWatch>*>(data)->lock()) w->settle();
          } catch (...) {
            // The record keeps the latency it had; nothing to add here.
          }
          return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<PingWatch>(w), [](gpointer data) { delete static_cast<std::weak_ptr<PingWatch>*>(data); });
  };

  watch_events(std::move(rx), [watch](std::optional<IperfEvent> event) {
    if (!event || !watch->current()) {
      // ping ended, or was stopped for the page's next run.
      watch->settle();
      return false;
    }
    if (const auto e = ping_event(*event)) watch->show(watch->session->on_ping(ping_time(*event), *e));
    return true;
  });
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(idle_seconds * 1000),
      [](gpointer data) noexcept -> gboolean {
        try {
          PingWatch& w = *static_cast<std::shared_ptr<PingWatch>*>(data)->get();
          if (w.current()) w.show(w.session->idle_tick(now_s()));
        } catch (...) {
          // The run shows its own failure; nothing to add here.
        }
        return G_SOURCE_REMOVE;
      },
      new std::shared_ptr<PingWatch>(watch),
      [](gpointer data) { delete static_cast<std::shared_ptr<PingWatch>*>(data); });
}

void clear_latency(RunSlot& slot) {
  if (slot.show_latency) slot.show_latency("");
}

}  // namespace trellan
