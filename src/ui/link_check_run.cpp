#include "ui/link_check_run.hpp"

#include <glib.h>

#include <optional>
#include <string>
#include <utility>

#include "core/gobject.hpp"
#include "core/latency_text.hpp"
#include "core/link_check.hpp"
#include "core/link_check_record.hpp"
#include "core/run_words.hpp"
#include "ui/label_text.hpp"
#include "ui/window.hpp"

namespace trellan {

namespace {

void cancel(SourcePtr& source) {
  if (source) g_source_destroy(source.get());
  source.reset();
}

}  // namespace

class LinkCheckRun : public std::enable_shared_from_this<LinkCheckRun> {
 public:
  explicit LinkCheckRun(ClientForm* form);
  ~LinkCheckRun() {
    cancel(pending_);
    cancel(idle_clock_);
  }
  LinkCheckRun(const LinkCheckRun&) = delete;
  LinkCheckRun& operator=(const LinkCheckRun&) = delete;

  void connect();
  void start();
  bool stop();
  GtkWidget* button() const { return button_.get(); }
  GtkWidget* area() const { return area_.get(); }

 private:
  void apply(LinkCheck::Step step);
  void start_phase(LinkPhase phase);
  void on_answer(const PageAnswer& answer);
  void phase_over(std::uint64_t record_id);
  void finish();
  void mark_runs();
  void show_progress();
  void later(guint ms, void (LinkCheckRun::*what)());
  void retry();
  void idle_tick();
  void ended();

  ClientForm* form_;
  Ref<GtkWidget> button_, area_, progress_, phase_label_, note_label_;
  std::optional<LinkCheck> check_;
  std::string check_id_;  // shared by the check's runs
  ClientOptions options_;
  double idle_start_s_ = 0;
  std::uint64_t over_record_ = 0;
  // The phase's session once its run is over, while its latency still
  // waits for the replies to probes in flight.
  std::shared_ptr<RunSession> over_session_;
  SourcePtr pending_;  // the next step: a retry, the next phase, a clock tick
  SourcePtr idle_clock_;
};

namespace {

double now_s() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

PageWidgets widgets_of(const ClientForm& f) {
  return PageWidgets{f.meter, f.status_label, f.details_label, f.start_button};
}

Ref<GtkWidget> line_label(const char* css) {
  auto label = Ref<GtkWidget>::sink(gtk_label_new(nullptr));
  if (css) gtk_widget_add_css_class(label.get(), css);
  wrap_anywhere(label.get());
  gtk_label_set_xalign(GTK_LABEL(label.get()), 0.0f);
  return label;
}

void on_check_clicked(GtkButton*, gpointer data) noexcept {
  try {
    if (auto check = static_cast<std::weak_ptr<LinkCheckRun>*>(data)->lock()) check->start();
  } catch (...) {
    // The page says nothing new; the check did not start.
  }
}

}  // namespace

LinkCheckRun::LinkCheckRun(ClientForm* form) : form_(form) {
  button_ = Ref<GtkWidget>::sink(gtk_button_new_with_label("Check link"));
  gtk_widget_add_css_class(button_.get(), "pill");
  gtk_widget_set_tooltip_text(button_.get(),
                              "Measure download, upload and both ways, with latency under load and a bufferbloat grade");
  area_ = Ref<GtkWidget>::sink(gtk_box_new(GTK_ORIENTATION_VERTICAL, 4));
  progress_ = Ref<GtkWidget>::sink(gtk_progress_bar_new());
  gtk_accessible_update_property(GTK_ACCESSIBLE(progress_.get()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Link check progress", -1);
  phase_label_ = line_label("caption");
  note_label_ = line_label("dim-label");
  gtk_widget_add_css_class(note_label_.get(), "caption");
  gtk_label_set_text(GTK_LABEL(note_label_.get()), kLinkCheckNote);
  gtk_box_append(GTK_BOX(area_.get()), progress_.get());
  gtk_box_append(GTK_BOX(area_.get()), phase_label_.get());
  gtk_box_append(GTK_BOX(area_.get()), note_label_.get());
  gtk_widget_set_visible(area_.get(), FALSE);
}

void LinkCheckRun::connect() {
  g_signal_connect_data(button_.get(), "clicked", G_CALLBACK(on_check_clicked),
                        new std::weak_ptr<LinkCheckRun>(weak_from_this()),
                        [](gpointer p, GClosure*) { delete static_cast<std::weak_ptr<LinkCheckRun>*>(p); },
                        GConnectFlags{});
  form_->run_slot->on_answer = [weak = weak_from_this()](const PageAnswer& answer) {
    if (auto self = weak.lock()) self->on_answer(answer);
  };
}

void LinkCheckRun::start() {
  if (check_ && check_->running()) return;
  if (form_->run_slot->handle) return;  // a test runs
  options_ = ClientOptions::from_form(*form_);
  if (options_.server.empty()) {
    set_status(form_->status_label.get(), words::kNoServer);
    return;
  }
  // Always TCP, in the check's own directions, with latency.
  options_.reverse = options_.bidir = options_.udp = false;
  options_.bitrate.clear();
  options_.latency = true;
  check_.emplace(options_.duration);
  CharPtr id(g_uuid_string_random());
  check_id_ = id.get();
  if (form_->run_slot->show_latency) form_->run_slot->show_latency("");
  gtk_widget_set_sensitive(button_.get(), FALSE);
  gtk_widget_set_visible(area_.get(), TRUE);
  apply(check_->start());
}

bool LinkCheckRun::stop() {
  if (!check_ || !check_->running()) return false;
  const LinkCheck::Step step = check_->stop();
  cancel(pending_);
  over_session_.reset();
  RunSlot& slot = *form_->run_slot;
  if (slot.handle && slot.session && !slot.session->finished())
    show_answer(widgets_of(*form_), slot, slot.session->stop());
  else
    stop_current_run(slot);
  apply(step);
  return true;
}

void LinkCheckRun::apply(LinkCheck::Step step) {
  switch (step.kind) {
    case LinkCheck::Step::Kind::None: return;
    case LinkCheck::Step::Kind::Run: start_phase(step.phase); break;
    case LinkCheck::Step::Kind::Wait:
      later(static_cast<guint>(LinkCheck::kRetrySeconds * 1000), &LinkCheckRun::retry);
      apply_look(form_->start_button.get(), kClientRunning);
      break;
    case LinkCheck::Step::Kind::Finished: finish(); return;
  }
  show_progress();
}

void LinkCheckRun::start_phase(LinkPhase phase) {
  ClientOptions o = options_;
  o.reverse = phase == LinkPhase::Download;
  o.bidir = phase == LinkPhase::Both;
  const bool baseline = phase == LinkPhase::Download;
  idle_start_s_ = now_s();
  start_client_test(*form_, o, baseline ? LinkCheck::kIdleSeconds : LatencyRun::kIdleSeconds,
                    LinkCheckMark{check_id_, phase, std::nullopt, std::nullopt});
  if (baseline) {
    // The idle baseline's seconds, counted on the clock ping is timed by.
    cancel(idle_clock_);
    idle_clock_.reset(g_timeout_source_new(1000));
    g_source_set_callback(
        idle_clock_.get(),
        [](gpointer data) noexcept -> gboolean {
          auto self = static_cast<std::weak_ptr<LinkCheckRun>*>(data)->lock();
          if (!self || !self->check_ || self->check_->phase() != LinkPhase::Idle) return G_SOURCE_REMOVE;
          self->idle_tick();
          return G_SOURCE_CONTINUE;
        },
        new std::weak_ptr<LinkCheckRun>(weak_from_this()),
        [](gpointer p) { delete static_cast<std::weak_ptr<LinkCheckRun>*>(p); });
    g_source_attach(idle_clock_.get(), g_main_context_get_thread_default());
  }
}

void LinkCheckRun::idle_tick() {
  check_->idle_clock(now_s() - idle_start_s_);
  show_progress();
}

void LinkCheckRun::on_answer(const PageAnswer& answer) {
  if (!check_ || !check_->running()) {
    // A test of the page's own: no check while it runs.
    if (answer.look) gtk_widget_set_sensitive(button_.get(), answer.look == &kClientIdle);
    return;
  }
  if (answer.start_test && check_->phase() == LinkPhase::Idle) {
    check_->idle_done();
    cancel(idle_clock_);
  }
  for (const RecordStep& step : answer.record)
    if (step.kind == RecordStep::Kind::Add) check_->phase_clock(step.interval.end);
  if (answer.over) {
    over_record_ = form_->run_slot->recording.ended_id;
    over_session_ = form_->run_slot->session;
    apply_look(form_->start_button.get(), kClientRunning);
  }
  // The phase's run is over and its latency closed; what comes next is
  // decided once this answer has been shown whole, out of the run's own
  // event handler.
  if (over_session_ && !over_session_->latency_settling()) {
    over_session_.reset();
    later(0, &LinkCheckRun::ended);
  }
  show_progress();
}

void LinkCheckRun::ended() { phase_over(over_record_); }

void LinkCheckRun::phase_over(std::uint64_t record_id) {
  if (!check_ || !check_->running()) return;
  const RunRecord* run = form_->run_log->find(record_id);
  const LinkPhase phase = check_->phase() == LinkPhase::Idle ? LinkPhase::Download : check_->phase();
  if (!run) {
    apply(check_->phase_failed("the run's record is no longer kept"));
    return;
  }
  switch (run->end) {
    case RunEnd::Result: {
      LinkPhaseResult result = link_phase_result(*run, phase);
      const bool measured = (phase == LinkPhase::Upload || result.download_mbps) &&
                            (phase == LinkPhase::Download || result.upload_mbps);
      apply(measured ? check_->phase_done(std::move(result)) : check_->phase_failed(words::kNoResult));
      break;
    }
    case RunEnd::Stopped: apply(check_->stop()); break;
    case RunEnd::Error:
      apply(is_server_busy(run->error_text) ? check_->server_busy(run->error_text)
                                            : check_->phase_failed(run->error_text));
      break;
    default: apply(check_->phase_failed(run->error_text.empty() ? words::kNoResult : run->error_text)); break;
  }
}

void LinkCheckRun::retry() { apply(check_->retry_due()); }

void LinkCheckRun::later(guint ms, void (LinkCheckRun::*what)()) {
  struct Later {
    std::weak_ptr<LinkCheckRun> self;
    void (LinkCheckRun::*what)();
  };
  cancel(pending_);
  pending_.reset(ms == 0 ? g_idle_source_new() : g_timeout_source_new(ms));
  g_source_set_callback(
      pending_.get(),
      [](gpointer data) noexcept -> gboolean {
        const Later& l = *static_cast<Later*>(data);
        if (auto self = l.self.lock()) {
          try {
            ((*self).*(l.what))();
          } catch (...) {
            // The check stays as it is; Stop still ends it.
          }
        }
        return G_SOURCE_REMOVE;
      },
      new Later{weak_from_this(), what}, [](gpointer p) { delete static_cast<Later*>(p); });
  g_source_attach(pending_.get(), g_main_context_get_thread_default());
}

void LinkCheckRun::show_progress() {
  if (!check_ || !check_->running()) return;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_.get()), check_->progress_fraction());
  const std::string text = check_->progress_text();
  if (text != gtk_label_get_text(GTK_LABEL(phase_label_.get())))
    gtk_label_set_text(GTK_LABEL(phase_label_.get()), text.c_str());
}

void LinkCheckRun::finish() {
  cancel(idle_clock_);
  gtk_widget_set_visible(area_.get(), FALSE);
  gtk_label_set_text(GTK_LABEL(phase_label_.get()), "");
  gtk_widget_set_sensitive(button_.get(), TRUE);
  apply_look(form_->start_button.get(), kClientIdle);
  const bool failed = check_->state() == LinkCheck::State::Failed;
  set_status(form_->status_label.get(), check_->result_line(), failed ? StatusKind::Error : StatusKind::Plain);
  set_details(form_->details_label.get(), check_->grade_line(), true);
  if (form_->run_slot->show_latency) form_->run_slot->show_latency(check_->latency_line());
  mark_runs();
}

// The check's runs learn its baseline and grade; the Runs page tells the
// check by them.
void LinkCheckRun::mark_runs() {
  RunLog& log = *form_->run_log;
  const LinkCheckRuns runs = link_check_runs(log.runs(), check_id_);
  std::optional<double> idle;
  if (runs.download && runs.download->latency && runs.download->latency->idle_replied)
    idle = runs.download->latency->idle_ms;
  std::vector<std::uint64_t> ids;
  for (const auto& r : log.runs())
    if (r->facts.link_check && r->facts.link_check->check == check_id_) ids.push_back(r->id);
  for (std::uint64_t id : ids)
    if (const RunRecord* run = log.find(id))
      log.mark_link_check(id, LinkCheckMark{check_id_, run->facts.link_check->phase, idle, check_->grade()});
}

std::shared_ptr<LinkCheckRun> link_check_new(ClientForm* form) {
  auto check = std::make_shared<LinkCheckRun>(form);
  check->connect();
  return check;
}

GtkWidget* link_check_button(const LinkCheckRun& check) { return check.button(); }
GtkWidget* link_check_area(const LinkCheckRun& check) { return check.area(); }

bool stop_link_check(ClientForm& form) { return form.link_check && form.link_check->stop(); }

}  // namespace trellan
