// The task that follows one run's events on the main loop: it hands each to
// the run's session and shows the session's answer on the page. It also
// owns the connect notice's clock and the clock that counts the seconds
// since the last reading.
#include "ui/run_watch.hpp"

#include <glib.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "core/gobject.hpp"
#include "core/run_session.hpp"
#include "ui/run_controls.hpp"
#include "ui/window.hpp"

namespace trellan {

namespace detail {
namespace {
std::atomic<bool> event_delivery_fails{false};
}  // namespace

void fail_next_event_delivery() { event_delivery_fails.store(true); }
}  // namespace detail

namespace {

class RunTask : public std::enable_shared_from_this<RunTask> {
 public:
  RunTask(PageWidgets page, std::shared_ptr<RunSlot> run_slot, std::shared_ptr<RunSession> session,
          std::uint64_t run_id)
      : page_(std::move(page)), run_slot_(std::move(run_slot)), session_(std::move(session)), run_id_(run_id) {}
  RunTask(const RunTask&) = delete;
  RunTask& operator=(const RunTask&) = delete;
  // Whatever ends the task (its Exited event, a fault while an event was
  // applied, a channel that closed early), a run still on the page is ended
  // here: its child is stopped and the page shows why it is idle again.
  ~RunTask() {
    stop_clock();
    stop_reading_clock();
    if (is_current())
      show(session_->fault(delivery_failed_ ? RunFault::EventNotApplied : RunFault::EventsLost));
  }

  // A task acts only for the page's current run. Once its run was stopped or
  // replaced, whatever it still receives is dropped and the task ends, so a
  // late event never relabels, resets or stops a newer run.
  bool is_current() const { return run_slot_->handle && run_slot_->run_id == run_id_; }

  // Counts the seconds without an answer, for the connect notice. The clock
  // belongs to the task: it goes with the first event, the end of the run or
  // the task itself.
  void start_clock() {
    if (!session_->notice_running()) return;
    clock_.reset(g_timeout_source_new(1000));
    g_source_set_callback(clock_.get(), &RunTask::on_clock_tick, new std::weak_ptr<RunTask>(weak_from_this()),
                          [](gpointer p) { delete static_cast<std::weak_ptr<RunTask>*>(p); });
    g_source_attach(clock_.get(), g_main_context_get_thread_default());
  }

  // Applies one event; false when the task is over. An exception thrown while
  // the event is applied ends the task.
  bool deliver(const IperfEvent& event) noexcept {
    try {
      if (detail::event_delivery_fails.exchange(false)) throw std::runtime_error("injected fault");
      // An interval's time is when its line was read, however late the
      // main loop comes to it.
      const auto* interval = std::get_if<Interval>(&event);
      const std::int64_t at_us = interval && interval->at_us > 0 ? interval->at_us : g_get_monotonic_time();
      const PageAnswer answer = session_->on_event(event, page_.meter.state(), static_cast<double>(at_us) / 1e6);
      show(answer);
      return !answer.over;
    } catch (...) {
      delivery_failed_ = true;
      return false;
    }
  }

 private:
  static gboolean on_clock_tick(gpointer data) noexcept {
    const std::shared_ptr<RunTask> task = static_cast<std::weak_ptr<RunTask>*>(data)->lock();
    return task && task->clock_tick() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  bool clock_tick() {
    // The page may belong to another run or to none.
    if (!is_current() || !session_->notice_running()) {
      stop_clock();
      return false;
    }
    show(session_->notice_tick());
    return true;
  }

  void stop_clock() {
    if (!clock_) return;
    g_source_destroy(clock_.get());
    clock_.reset();
  }

  static gboolean on_reading_tick(gpointer data) noexcept {
    const std::shared_ptr<RunTask> task = static_cast<std::weak_ptr<RunTask>*>(data)->lock();
    if (!task || !task->is_current() || !task->session_->reading_clock_running()) return G_SOURCE_REMOVE;
    task->show(task->session_->reading_tick());
    return G_SOURCE_CONTINUE;
  }

  // Counts the seconds since the last reading: from now, each reading
  // setting it back to the start.
  void restart_reading_clock() {
    stop_reading_clock();
    reading_clock_.reset(g_timeout_source_new(1000));
    g_source_set_callback(reading_clock_.get(), &RunTask::on_reading_tick,
                          new std::weak_ptr<RunTask>(weak_from_this()),
                          [](gpointer p) { delete static_cast<std::weak_ptr<RunTask>*>(p); });
    g_source_attach(reading_clock_.get(), g_main_context_get_thread_default());
  }

  void stop_reading_clock() {
    if (!reading_clock_) return;
    g_source_destroy(reading_clock_.get());
    reading_clock_.reset();
  }

  void show(const PageAnswer& answer) {
    if (answer.stop_notice) stop_clock();
    if (answer.reading_clock == PageAnswer::ReadingClock::Restart) restart_reading_clock();
    if (answer.reading_clock == PageAnswer::ReadingClock::Stop) stop_reading_clock();
    show_answer(page_, *run_slot_, answer);
    if (answer.gauge_stalled) {
      VuMeter meter = page_.meter;
      meter.set_stalled(*answer.gauge_stalled);
    }
  }

  PageWidgets page_;
  std::shared_ptr<RunSlot> run_slot_;
  std::shared_ptr<RunSession> session_;
  std::uint64_t run_id_;
  bool delivery_failed_ = false;  // applying an event threw
  SourcePtr clock_;
  SourcePtr reading_clock_;
};

}  // namespace

void watch_run(EventReceiver rx, PageWidgets page, std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id) {
  std::shared_ptr<RunSession> session = run_slot->session;
  g_return_if_fail(session != nullptr);
  auto task = std::make_shared<RunTask>(std::move(page), std::move(run_slot), std::move(session), run_id);
  task->start_clock();
  watch_events(std::move(rx), [task](std::optional<IperfEvent> event) {
    if (!event || !task->is_current()) return false;
    return task->deliver(*event);
  });
}

}  // namespace trellan
