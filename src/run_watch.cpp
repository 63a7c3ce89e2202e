// The task that follows one run's events on the main loop and applies them
// to its page: gauge, status, details and start button.
#include <glib.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "page.hpp"
#include "result_text.hpp"
#include "run_recording.hpp"
#include "window.hpp"

namespace trellan {
namespace {

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
  ~RunTask() { stop_notice(is_current()); }

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

  // Applies one event; false when the task is over.
  bool apply(const IperfEvent& event) {
    stop_notice(true);
    if (const auto* e = std::get_if<Interval>(&event)) {
      meter_.set_value(e->mbps);
      if (!is_server_) status("Measuring… peak " + rate_text(meter_.peak()));
      awaiting_result_ = !is_server_;
    } else if (const auto* e = std::get_if<IntervalReading>(&event)) {
      add_reading(*run_slot_, e->record);
    } else if (const auto* e = std::get_if<Summary>(&event)) {
      status("Result — send: " + rate_text(e->sender_mbps) + " · receive: " + rate_text(e->receiver_mbps));
      client_.result_shown = true;
    } else if (const auto* e = std::get_if<SummaryDetails>(&event)) {
      details(is_server_ ? last_client_text(peer_, *e) : quality_text(*e));
      client_.details_shown = true;
    } else if (const auto* e = std::get_if<ClientConnected>(&event)) {
      peer_ = e->peer;
      status("Client connected: " + e->peer + " — measuring…");
      client_ = ServedClient{};
      begin_record(*run_slot_, RunPage::Server, e->peer, run_slot_->options_summary);
    } else if (std::holds_alternative<ClientFinished>(event)) {
      meter_.reset();
      end_served_client();
    } else if (std::holds_alternative<Listening>(event)) {
      if (is_server_) status("Waiting for client connections…");
    } else if (const auto* e = std::get_if<Error>(&event)) {
      status(e->message, true);
      if (!last_error_) last_error_ = e->message;
      if (!client_.error) client_.error = e->message;
    } else if (const auto* e = std::get_if<Exited>(&event)) {
      finish(*e);
      return false;
    }
    return true;
  }

 private:
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

  void status(const std::string& text, bool is_error = false) {
    set_status(status_label_.get(), text, is_error);
    awaiting_result_ = false;
    status_is_error_ = is_error;
  }
  void details(const std::string& text) { set_details(details_label_.get(), text); }

  std::string label_text(const Ref<GtkWidget>& label) const {
    return gtk_label_get_text(GTK_LABEL(label.get()));
  }

  // Server page: the served client's record ends with its "Last client: …"
  // texts, as the page shows them. A client that went before its summary
  // ended early, with the error the server gave about it, if any.
  void end_served_client() {
    if (client_.went_early || !client_.details_shown) {
      end_record(*run_slot_, RunEnd::EndedEarly, {}, client_.details_shown ? label_text(details_label_) : "",
                 client_.error.value_or(""));
    } else {
      // A reverse test's server has sender lines only: no result line then.
      end_record(*run_slot_, RunEnd::Result, client_.result_shown ? label_text(status_label_) : "",
                 label_text(details_label_));
    }
    client_ = ServedClient{};
  }

  // The page's record at the end of its run: the test's result as shown, or
  // what the status says instead; a client still being served ends with the
  // server's error, or early.
  void end_run_record() {
    if (is_server_) {
      if (status_is_error_)
        end_record(*run_slot_, RunEnd::Error, {}, {}, label_text(status_label_));
      else
        end_served_client();
    } else if (client_.result_shown && !status_is_error_) {
      end_record(*run_slot_, RunEnd::Result, label_text(status_label_), label_text(details_label_));
    } else {
      end_record(*run_slot_, RunEnd::Error, {}, {}, label_text(status_label_));
    }
  }

  void finish(const Exited& e) {
    stop_notice(true);
    const bool awaiting_result = awaiting_result_;
    stop_current_run(*run_slot_);
    meter_.reset();
    apply_look(start_button_.get(), is_server_ ? kServerIdle : kClientIdle);
    if (e.by_signal) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 ended unexpectedly (signal " + std::to_string(e.signal) + ").",
             true);
    } else if (e.code == 0) {
      if (awaiting_result) status("iperf3 ended without a result.", true);
    } else if (e.code != -1) {
      status(last_error_ ? "iperf3 error: " + *last_error_
                         : "iperf3 terminated (code " + std::to_string(e.code) + ").",
             true);
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
  bool status_is_error_ = false;
  // Server page: what the page showed of the client being served.
  struct ServedClient {
    bool result_shown = false;   // the status shows its "Result — …" line
    bool details_shown = false;  // the details show its "Last client: …" line
    // Set where the server's standard error says the client went before
    // its test was over: its record then ends as EndedEarly.
    bool went_early = false;
    std::optional<std::string> error;  // the first error while it was served
  };
  ServedClient client_;
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
    return task->apply(*event);
  });
}

}  // namespace trellan
