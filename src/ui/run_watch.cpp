// The task that follows one run's events on the main loop and applies them
// to its page: gauge, status, details and start button.
#include "ui/run_watch.hpp"

#include <glib.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "ui/latency_watch.hpp"
#include "ui/page.hpp"
#include "core/result_text.hpp"
#include "ui/run_recording.hpp"
#include "ui/window.hpp"

namespace trellan {

namespace detail {
namespace {
std::atomic<bool> event_delivery_fails{false};
}  // namespace

void fail_next_event_delivery() { event_delivery_fails.store(true); }
}  // namespace detail

namespace {

// How a run that never delivered its Exited event is shown to have ended.
constexpr const char* kDeliveryFailed = "The run was stopped: one of its events could not be shown.";
constexpr const char* kEventsLost = "The run was stopped: its events stopped arriving.";

class RunTask : public std::enable_shared_from_this<RunTask> {
 public:
  RunTask(VuMeter meter, GtkLabel* status_label, GtkLabel* details_label, GtkButton* start_button,
          std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id, bool is_server,
          std::optional<ConnectTarget> connect)
      : meter_(std::move(meter)),
        status_label_(Ref<GtkWidget>::add(GTK_WIDGET(status_label))),
        details_label_(Ref<GtkWidget>::add(GTK_WIDGET(details_label))),
        start_button_(Ref<GtkWidget>::add(GTK_WIDGET(start_button))),
        run_slot_(std::move(run_slot)),
        run_id_(run_id),
        is_server_(is_server),
        awaiting_result_(!is_server),
        connect_(std::move(connect)) {}
  RunTask(const RunTask&) = delete;
  RunTask& operator=(const RunTask&) = delete;
  // Whatever ends the task (its Exited event, a fault while an event was
  // applied, a channel that closed early), a run still on the page is ended
  // here: its child is stopped and the page shows why it is idle again.
  ~RunTask() {
    stop_notice(is_current());
    if (!finished_ && is_current()) end_unheard(delivery_failed_ ? kDeliveryFailed : kEventsLost);
  }

  // A task acts only for the page's current run. Once its run was stopped or
  // replaced, whatever it still receives is dropped and the task ends, so a
  // late event never relabels, resets or stops a newer run.
  bool is_current() const { return run_slot_->handle && run_slot_->run_id == run_id_; }

  // Counts the seconds without an answer, for the connect notice. The timer
  // belongs to the task: it goes with the first event, the end of the run or
  // the task itself.
  void start_notice() {
    if (!connect_) return;
    notice_ = g_timeout_source_new(1000);
    g_source_set_callback(notice_, &RunTask::on_notice_tick,
                          new std::weak_ptr<RunTask>(weak_from_this()),
                          [](gpointer p) { delete static_cast<std::weak_ptr<RunTask>*>(p); });
    g_source_attach(notice_, g_main_context_get_thread_default());
  }

  // Applies one event; false when the task is over. An exception thrown while
  // the event is applied ends the task.
  bool deliver(const IperfEvent& event) noexcept {
    try {
      if (detail::event_delivery_fails.exchange(false)) throw std::runtime_error("injected fault");
      return apply(event);
    } catch (...) {
      delivery_failed_ = true;
      return false;
    }
  }

 private:
  bool apply(const IperfEvent& event) {
    stop_notice(true);
    if (const auto* e = std::get_if<Interval>(&event)) {
      meter_.set_value(e->mbps);
      if (!is_server_) status("Measuring… peak " + rate_text(meter_.peak()));
      awaiting_result_ = !is_server_;
    } else if (const auto* e = std::get_if<IntervalReading>(&event)) {
      latency_on_interval(*run_slot_, e->record);
      add_reading(*run_slot_, e->record);
    } else if (const auto* e = std::get_if<Summary>(&event)) {
      status("Result — send: " + rate_text(e->sender_mbps) + " · receive: " + rate_text(e->receiver_mbps),
             StatusKind::Plain);
      result_shown_ = true;
    } else if (const auto* e = std::get_if<SummaryDetails>(&event)) {
      details_shown_ = true;
      if (is_server_) {
        client_figures_ = *e;
        write_client_line();
      } else {
        details(quality_text(*e), true);
      }
    } else if (const auto* e = std::get_if<ClientConnected>(&event)) {
      peer_ = e->peer;
      has_client_ = true;
      client_figures_.reset();
      client_ended_early_.reset();
      status("Client connected: " + e->peer + " — measuring…");
      result_shown_ = details_shown_ = false;
      begin_record(*run_slot_, RunPage::Server, e->peer, run_slot_->options_summary);
      served_record_ = run_slot_->record_id;
    } else if (std::holds_alternative<ClientFinished>(event)) {
      meter_.reset();
      end_served_client();
    } else if (std::holds_alternative<Listening>(event)) {
      if (is_server_) status("Waiting for client connections…");
    } else if (const auto* e = std::get_if<Error>(&event)) {
      if (is_server_ && has_client_) {
        // iperf3's words about the client since the last "Accepted
        // connection": that client ended early; the server goes on. Its
        // summary lines may come before or after this line.
        if (!client_ended_early_) client_ended_early_ = e->message;
        write_client_line();
        // Word of the early end may come after the client's record ended.
        if (!has_open_record(*run_slot_) && run_slot_->run_log)
          run_slot_->run_log->amend_end(served_record_, RunEnd::EndedEarly,
                                        label_text(details_label_), *client_ended_early_);
        return true;
      }
      status(e->message, StatusKind::Error);
      if (!last_error_) last_error_ = e->message;
    } else if (const auto* e = std::get_if<Exited>(&event)) {
      finish(*e);
      return false;
    }
    return true;
  }

  static gboolean on_notice_tick(gpointer data) noexcept {
    const std::shared_ptr<RunTask> task = static_cast<std::weak_ptr<RunTask>*>(data)->lock();
    return task && task->notice_tick() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  bool notice_tick() {
    if (!is_current()) {
      stop_notice(false);  // the page belongs to another run or to none
      return false;
    }
    if (++waited_s_ >= 5) {
      details("No answer yet from " + connect_->server + ", port " + std::to_string(connect_->port) +
              " (" + std::to_string(waited_s_) + " s)");
      notice_shown_ = true;
    }
    return true;
  }

  // Ends the connect notice; with `clear_text`, takes its text away too.
  void stop_notice(bool clear_text) {
    if (notice_) {
      g_source_destroy(notice_);
      g_source_unref(std::exchange(notice_, nullptr));
    }
    if (notice_shown_ && clear_text) details("");
    notice_shown_ = false;
  }

  void status(const std::string& text, StatusKind kind = StatusKind::Progress) {
    set_status(status_label_.get(), text, kind);
    awaiting_result_ = false;
    status_is_error_ = kind == StatusKind::Error;
  }
  void details(const std::string& text, bool figures = false) {
    set_details(details_label_.get(), text, figures);
  }

  void write_client_line() {
    details(last_client_text(peer_, client_figures_, client_ended_early_), true);
  }

  // Puts the page back to idle: the run stopped, the gauge at rest.
  void end_run() {
    finished_ = true;
    stop_notice(true);
    stop_current_run(*run_slot_);
    meter_.reset();
    apply_look(start_button_.get(), is_server_ ? kServerIdle : kClientIdle);
  }

  void end_unheard(const char* why) {
    end_run();
    status(why, StatusKind::Error);
    end_run_record();
  }

  std::string label_text(const Ref<GtkWidget>& label) const {
    return gtk_label_get_text(GTK_LABEL(label.get()));
  }

  // Server page: the served client's record ends with its "Last client: …"
  // texts as the page shows them; one that went before its summary, or that
  // the server said went early, ended early.
  void end_served_client() {
    if (client_ended_early_ || !details_shown_) {
      end_record(*run_slot_, RunEnd::EndedEarly, {}, details_shown_ || client_ended_early_ ? label_text(details_label_) : "",
                 client_ended_early_.value_or(""));
    } else {
      // A reverse test's server has sender lines only: no result line then.
      end_record(*run_slot_, RunEnd::Result, result_shown_ ? label_text(status_label_) : "",
                 label_text(details_label_));
    }
  }

  // The page's record at the end of its run: the test's result as shown, or
  // what the status says instead; a client still being served ends with the
  // server's error, or early.
  void end_run_record() {
    latency_on_end(*run_slot_);
    if (is_server_) {
      if (status_is_error_)
        end_record(*run_slot_, RunEnd::Error, {}, {}, label_text(status_label_));
      else
        end_served_client();
    } else if (result_shown_ && !status_is_error_) {
      end_record(*run_slot_, RunEnd::Result, label_text(status_label_), label_text(details_label_));
    } else {
      end_record(*run_slot_, RunEnd::Error, {}, {}, label_text(status_label_));
    }
  }

  void finish(const Exited& e) {
    const bool awaiting_result = awaiting_result_;
    end_run();
    if (e.status_unknown) {
      status("iperf3 ended; its exit status could not be read.", StatusKind::Error);
    } else if (e.by_signal) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 ended unexpectedly (signal " + std::to_string(e.signal) + ").",
             StatusKind::Error);
    } else if (e.code == 0) {
      if (awaiting_result) status("iperf3 ended without a result.", StatusKind::Error);
    } else if (e.code != -1) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 terminated (code " + std::to_string(e.code) + ").",
             StatusKind::Error);
    }
    end_run_record();
  }

  VuMeter meter_;
  Ref<GtkWidget> status_label_;
  Ref<GtkWidget> details_label_;
  Ref<GtkWidget> start_button_;
  std::shared_ptr<RunSlot> run_slot_;
  std::uint64_t run_id_;
  bool is_server_;
  std::optional<std::string> last_error_;  // the run's first error
  // Client page: the status still shows "Connecting…" or the peak, no result.
  bool awaiting_result_;
  std::string peer_;  // Server page: the client the summary lines are about
  bool has_client_ = false;  // Server page: a client has connected
  std::optional<SummaryDetails> client_figures_;    // that client's figures so far
  std::optional<std::string> client_ended_early_;   // why it ended early, if it did
  bool finished_ = false;         // the page was put back to idle
  bool delivery_failed_ = false;  // applying an event threw
  bool status_is_error_ = false;  // the status shows an error
  // What the page showed of the test, or of the client being served.
  bool result_shown_ = false;   // the status shows its "Result — …" line
  bool details_shown_ = false;  // the details show its figures
  std::uint64_t served_record_ = 0;  // Server page: the record of the last client
  std::optional<ConnectTarget> connect_;
  GSource* notice_ = nullptr;
  unsigned waited_s_ = 0;
  bool notice_shown_ = false;
};

}  // namespace

void watch_run(EventReceiver rx, VuMeter meter, GtkLabel* status_label, GtkLabel* details_label,
               GtkButton* start_button, std::shared_ptr<RunSlot> run_slot, std::uint64_t run_id,
               bool is_server, std::optional<ConnectTarget> connect) {
  auto task = std::make_shared<RunTask>(std::move(meter), status_label, details_label, start_button,
                                        std::move(run_slot), run_id, is_server, std::move(connect));
  task->start_notice();
  watch_events(std::move(rx), [task](std::optional<IperfEvent> event) {
    if (!event || !task->is_current()) return false;
    return task->deliver(*event);
  });
}

}  // namespace trellan
