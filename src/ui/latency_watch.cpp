#include "ui/latency_watch.hpp"

#include <glib.h>

#include <memory>
#include <utility>

#include "core/latency_text.hpp"

namespace trellan {
namespace {

double now_s() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

// One run's idle phase, shared by ping's event watch and the one-second timer.
struct IdlePhase {
  std::shared_ptr<RunSlot> slot;
  std::uint64_t run_id;
  std::shared_ptr<LatencyRun> latency;
  std::function<void()> start_test;
  bool over = false;

  bool current() const { return slot->handle && slot->run_id == run_id && slot->latency == latency; }

  void show() const {
    if (slot->show_latency) slot->show_latency(latency->line());
  }

  // Ends the idle phase once: the test starts, with or without latency.
  void end() {
    if (over || !current()) return;
    over = true;
    latency->start_load(now_s());
    show();
    auto start = std::move(start_test);
    start();
  }
};

}  // namespace

void begin_latency(const std::shared_ptr<RunSlot>& slot, std::uint64_t run_id,
                   std::vector<std::string> ping_args, std::function<void()> start_test) {
  auto latency = std::make_shared<LatencyRun>(now_s());
  slot->latency = latency;
  if (slot->show_latency) slot->show_latency("");
  auto [handle, rx] = start_ping(std::move(ping_args));
  slot->ping = std::move(handle);
  auto idle = std::make_shared<IdlePhase>(IdlePhase{slot, run_id, latency, std::move(start_test)});

  watch_events(std::move(rx), [idle](std::optional<IperfEvent> event) {
    if (!event || !idle->current()) return false;
    LatencyRun& latency = *idle->latency;
    if (const auto* p = std::get_if<Ping>(&*event))
      latency.on_ping(static_cast<double>(p->at_us) / 1e6, p->event);
    else if (const auto* e = std::get_if<Error>(&*event))
      latency.on_ping_failure(e->message);
    else if (const auto* x = std::get_if<Exited>(&*event))
      latency.on_ping_exit(x->code);
    if (!idle->over && latency.idle_over(now_s())) idle->end();
    return true;
  });
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(LatencyRun::kIdleSeconds * 1000),
      [](gpointer data) noexcept -> gboolean {
        try {
          static_cast<std::shared_ptr<IdlePhase>*>(data)->get()->end();
        } catch (...) {
          // The run shows its own failure; nothing to add here.
        }
        return G_SOURCE_REMOVE;
      },
      new std::shared_ptr<IdlePhase>(idle),
      [](gpointer data) { delete static_cast<std::shared_ptr<IdlePhase>*>(data); });
}

void clear_latency(RunSlot& slot) {
  slot.latency.reset();
  if (slot.show_latency) slot.show_latency("");
}

void latency_on_interval(RunSlot& slot, const IntervalRecord& record) {
  if (!slot.latency) return;
  slot.latency->on_interval(now_s(), record);
  if (slot.show_latency) slot.show_latency(slot.latency->line());
}

void latency_on_end(RunSlot& slot) {
  if (!slot.latency) return;
  slot.latency->finish();
  if (slot.show_latency) slot.show_latency(slot.latency->line());
  if (slot.recording.log && slot.recording.open_id != 0)
    slot.recording.log->set_latency(slot.recording.open_id, slot.latency->line(), slot.latency->figures(),
                              slot.latency->intervals(), slot.latency->meter().probes());
}

}  // namespace trellan
