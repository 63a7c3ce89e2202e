#include "core/run_session.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

#include "core/latency_text.hpp"
#include "core/run_words.hpp"

namespace trellan {

namespace {

RecordStep step(RecordStep::Kind kind, RunEnd how = RunEnd::Running) {
  RecordStep s;
  s.kind = kind;
  s.how = how;
  return s;
}

RecordStep begin_step(RunPage page, std::string far_end, std::string options_summary,
                      std::vector<std::string> command, RunFacts facts) {
  RecordStep s = step(RecordStep::Kind::Begin);
  s.page = page;
  s.far_end = std::move(far_end);
  s.options_summary = std::move(options_summary);
  s.command = std::move(command);
  s.facts = std::move(facts);
  return s;
}

// Seconds between readings as the command line asks for them (-i), or
// iperf3's own default.
double reporting_interval(const std::vector<std::string>& command) {
  for (std::size_t i = 0; i + 1 < command.size(); ++i) {
    if (command[i] != "-i" && command[i] != "--interval") continue;
    const std::string& v = command[i + 1];
    double seconds = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
    if (ec == std::errc() && end == v.data() + v.size() && seconds > 0) return seconds;
  }
  return 1.0;
}

}  // namespace

void RunRecording::apply(const RecordStep& step) {
  if (!log) return;
  switch (step.kind) {
    case RecordStep::Kind::Begin:
      if (open_id != 0) log->end(std::exchange(open_id, 0), RunEnd::EndedEarly);
      open_id = log->begin(step.page, step.far_end, step.options_summary,
                           step.started.value_or(std::chrono::system_clock::now()), step.command, step.facts);
      break;
    case RecordStep::Kind::Add:
      if (open_id != 0) log->add_interval(open_id, step.interval);
      break;
    case RecordStep::Kind::End:
      if (open_id == 0) break;
      ended_id = std::exchange(open_id, 0);
      if (step.latency_follows) latency_id = ended_id;
      log->end(ended_id, step.how, step.result_text, step.details_text, step.error_text, step.summary);
      break;
    case RecordStep::Kind::Amend: log->amend_end(ended_id, step.how, step.details_text, step.error_text); break;
    case RecordStep::Kind::Stall:
      if (open_id != 0) log->note_stall(open_id, step.stall);
      break;
    case RecordStep::Kind::Latency:
      if (step.late) {
        if (latency_id != 0) log->update_latency(std::exchange(latency_id, 0), step.latency);
      } else if (open_id != 0) {
        log->update_latency(open_id, step.latency);
      }
      break;
  }
}

RunSession::RunSession(RunSetup setup) : setup_(std::move(setup)), awaiting_result_(!setup_.is_server) {
  reporting_interval_s_ = reporting_interval(setup_.command);
}

PageAnswer RunSession::start() {
  PageAnswer a;
  a.gauge = PageAnswer::Gauge::Reset;
  a.look = setup_.is_server ? &kServerRunning : &kClientRunning;
  set_status(a, setup_.is_server      ? listening_text(setup_.port)
                : setup_.idle_latency ? kMeasuringIdleLatency
                                      : words::kConnecting);
  set_details(a, "");
  awaiting_result_ = !setup_.is_server;
  if (!setup_.is_server) {
    a.record.push_back(begin_step(RunPage::Client, setup_.far_end, setup_.options_summary, setup_.command, setup_.facts));
    record_open_ = true;
  }
  notice_running_ = setup_.connect_server.has_value();
  return a;
}

PageAnswer RunSession::launched() {
  PageAnswer a;
  if (!finished_ && setup_.idle_latency) set_status(a, words::kConnecting);
  return a;
}

PageAnswer RunSession::ping_started(double t) {
  PageAnswer a;
  if (finished_ || !setup_.idle_latency) return a;
  latency_.emplace(t, setup_.idle_seconds);
  load_started_ = false;
  record_intervals_.clear();
  a.latency_line = "";
  return a;
}

PageAnswer RunSession::on_ping(double t, const PingRunEvent& event) {
  PageAnswer a;
  if (!latency_) return a;
  if (settling_) {
    latency_->on_ping(t, event);
    if (latency_->settled() || std::holds_alternative<PingEnded>(event)) close_latency(a);
    return a;
  }
  if (finished_) return a;
  if (latency_->on_ping(t, event)) a.latency_line = latency_->line();
  if (latency_->gave_up()) a.stop_ping = true;
  end_idle(a, t);
  return a;
}

PageAnswer RunSession::idle_tick(double t) {
  PageAnswer a;
  if (!finished_ && latency_) end_idle(a, t);
  return a;
}

// The idle second ends once: the test starts, with or without latency.
void RunSession::end_idle(PageAnswer& a, double t) {
  if (load_started_ || !latency_->idle_over(t)) return;
  load_started_ = true;
  latency_->start_load(t);
  a.latency_line = latency_->line();
  a.start_test = true;
  if (latency_->gave_up()) a.stop_ping = true;
}

// The open record's latency, from the records of the interval before
// `interval` on: late replies still go to the interval that just ended.
void RunSession::latency_step(PageAnswer& a, std::size_t interval) {
  if (!record_open_) return;
  const std::size_t from_interval = interval > 0 ? interval - 1 : 0;
  std::size_t first = record_intervals_.size();
  while (first > 0 && record_intervals_[first - 1] >= from_interval) --first;
  const auto values = latency_->meter().intervals(from_interval);
  RecordStep s = step(RecordStep::Kind::Latency);
  s.latency.first_record = first;
  for (std::size_t i = first; i < record_intervals_.size(); ++i)
    s.latency.records.push_back(values[record_intervals_[i] - from_interval]);
  a.record.push_back(std::move(s));
}

PageAnswer RunSession::settle_latency() {
  PageAnswer a;
  if (settling_) close_latency(a);
  return a;
}

// The test is over. Its latency closes now, before the record ends, or once
// the probes in flight were answered (true: the record ends first).
bool RunSession::end_latency(PageAnswer& a) {
  if (!latency_) return false;
  if (const double wait = latency_->end_test(); wait > 0) {
    settling_ = true;
    a.settle_latency_s = wait;
    return true;
  }
  close_latency(a);
  return false;
}

// The latency line becomes the end line and the record takes its figures.
void RunSession::close_latency(PageAnswer& a) {
  LatencyRun& l = *latency_;
  l.finish();
  a.latency_line = l.line();
  a.stop_ping = true;
  RecordStep s = step(RecordStep::Kind::Latency);
  s.late = std::exchange(settling_, false);
  s.latency.ended = true;
  s.latency.text = l.line();
  s.latency.figures = l.figures();
  if (s.latency.figures) {
    const auto values = l.meter().intervals();
    for (std::size_t interval : record_intervals_) s.latency.records.push_back(values[interval]);
    s.latency.probes = l.meter().probes();
  }
  a.record.push_back(std::move(s));
  latency_.reset();
}

PageAnswer RunSession::on_event(const IperfEvent& event, const MeterState& gauge, double at_s) {
  PageAnswer a;
  if (finished_) return a;
  stop_notice(a, true);
  const auto* reading = std::get_if<Interval>(&event);
  end_stall(a, reading != nullptr, reading && reading->record ? &*reading->record : nullptr, at_s);
  watch_readings(a, reading != nullptr);
  if (reading) {
    if (reading->record) last_reading_end_s_ = reading->record->end;
    last_reading_at_s_ = at_s;
  }
  const bool server = setup_.is_server;
  if (const auto* e = std::get_if<Interval>(&event)) {
    a.gauge = PageAnswer::Gauge::Set;
    a.gauge_mbps = e->mbps;
    if (!server) {
      MeterState after = gauge;
      after.set_value(e->mbps);
      set_status(a, measuring_text(after.peak));
    }
    awaiting_result_ = !server;
    const bool measuring = latency_ && load_started_;
    if (measuring) latency_->on_test_line(at_s);
    if (e->record && record_open_) {
      a.record.push_back(step(RecordStep::Kind::Add));
      a.record.back().interval = *e->record;
      if (measuring) {
        const std::string before = latency_->line();
        const std::size_t interval = latency_->on_interval(at_s, *e->record);
        record_intervals_.push_back(interval);
        if (latency_->measured()) latency_step(a, interval);
        if (latency_->line() != before) a.latency_line = latency_->line();
      }
    }
  } else if (const auto* e = std::get_if<Summary>(&event)) {
    // A served client's result is written from its own figures, which come
    // next: the server may have measured one direction only.
    if (!server) set_status(a, result_text(*e), StatusKind::Plain);
    result_shown_ = true;
  } else if (const auto* e = std::get_if<SummaryDetails>(&event)) {
    details_shown_ = true;
    if (server) {
      client_figures_ = *e;
      write_client_line(a);
      if (std::string result = served_result_text(*e); result_shown_ && !result.empty())
        set_status(a, std::move(result), StatusKind::Plain);
    } else {
      client_figures_ = *e;  // the test's, for its record
      set_details(a, quality_text(*e), true);
    }
  } else if (const auto* e = std::get_if<ClientConnected>(&event)) {
    end_served_client(a);  // one the server did not say goodbye to
    peer_ = e->peer;
    has_client_ = true;
    last_reading_end_s_ = last_reading_at_s_ = 0;
    client_figures_.reset();
    client_ended_early_.reset();
    set_status(a, client_connected_text(e->peer));
    result_shown_ = details_shown_ = false;
    a.record.push_back(begin_step(RunPage::Server, e->peer, setup_.options_summary, setup_.command, setup_.facts));
    record_open_ = true;
  } else if (std::holds_alternative<ClientFinished>(event)) {
    // Its record ends when the server listens again: the summary lines of
    // its other streams, and their "[SUM]", may still come.
    a.gauge = PageAnswer::Gauge::Reset;
  } else if (std::holds_alternative<Listening>(event)) {
    if (server) {
      end_served_client(a);
      set_status(a, words::kWaitingForClients);
    }
  } else if (const auto* e = std::get_if<Error>(&event)) {
    if (server && has_client_) {
      // iperf3's words about the client since the last "Accepted
      // connection": that client ended early; the server goes on. Its
      // summary lines may come before or after this line.
      if (!client_ended_early_) client_ended_early_ = e->message;
      write_client_line(a);
      // Word of the early end may come after the client's record ended.
      if (!record_open_) {
        RecordStep amend = step(RecordStep::Kind::Amend, RunEnd::EndedEarly);
        amend.details_text = last_client_text(peer_, client_figures_, client_ended_early_);
        amend.error_text = *client_ended_early_;
        a.record.push_back(std::move(amend));
      }
      return a;
    }
    set_status(a, e->message, StatusKind::Error);
    if (!last_error_) last_error_ = e->message;
  } else if (const auto* e = std::get_if<Exited>(&event)) {
    finish(a, *e);
  }
  return a;
}

PageAnswer RunSession::stop() {
  PageAnswer a;
  if (finished_) return a;
  stop_notice(a, false);
  end_stall(a, false, nullptr, 0);
  watch_readings(a, false);
  a.stop_run = true;
  end_record(a, RunEnd::Stopped);  // the test, or the client being served
  a.gauge = PageAnswer::Gauge::Reset;
  a.look = setup_.is_server ? &kServerIdle : &kClientIdle;
  set_status(a, setup_.is_server ? words::kServerStopped : words::kTestStopped);
  if (!setup_.is_server) set_details(a, "");  // a connect notice or half a result
  finished_ = true;
  a.over = true;
  return a;
}

PageAnswer RunSession::notice_tick() {
  PageAnswer a;
  if (!notice_running_) return a;
  if (++waited_s_ >= 5) {
    set_details(a, no_answer_text(*setup_.connect_server, setup_.connect_port, waited_s_));
    notice_shown_ = true;
  }
  return a;
}

PageAnswer RunSession::reading_tick() {
  PageAnswer a;
  if (!reading_clock_ || finished_) return a;
  ++since_reading_s_;
  if (since_reading_s_ <= 2 * reporting_interval_s_) return a;
  if (!before_stall_) {
    before_stall_ = status_;
    a.gauge_stalled = true;
    // The record keeps it from the end of the last reading, on the test's
    // clock; how long it lasts is known when it ends.
    if (record_open_) {
      stall_ = RunStall{last_reading_end_s_, last_reading_end_s_ + since_reading_s_, RunStall::End::Ongoing};
      RecordStep s = step(RecordStep::Kind::Stall);
      s.stall = *stall_;
      a.record.push_back(std::move(s));
    }
  }
  const bool awaiting_result = awaiting_result_;
  set_status(a, no_reading_text(since_reading_s_), StatusKind::Plain);
  awaiting_result_ = awaiting_result;
  return a;
}

PageAnswer RunSession::fault(RunFault why) {
  PageAnswer a;
  stop_notice(a, true);
  if (!finished_) {
    end_run(a);
    set_status(a, why == RunFault::EventNotApplied ? words::kDeliveryFailed : words::kEventsLost,
               StatusKind::Error);
    end_run_record(a);
  }
  a.over = true;
  return a;
}

void RunSession::set_status(PageAnswer& a, std::string text, StatusKind kind) {
  status_ = {std::move(text), kind};
  a.status = status_;
  awaiting_result_ = false;
}

void RunSession::set_details(PageAnswer& a, std::string text, bool figures) {
  details_ = {std::move(text), figures};
  a.details = details_;
}

void RunSession::stop_notice(PageAnswer& a, bool clear_text) {
  if (notice_running_) a.stop_notice = true;
  notice_running_ = false;
  if (notice_shown_ && clear_text) set_details(a, "");
  notice_shown_ = false;
}

void RunSession::write_client_line(PageAnswer& a) {
  set_details(a, last_client_text(peer_, client_figures_, client_ended_early_), true);
}

// Every event ends a gap in the readings: the status says again what it
// said before the gap, and the event may then say more. A reading starts the
// reading clock afresh; any other event (a result, an error, the end, the
// next client) means no more readings are due until one comes.
void RunSession::watch_readings(PageAnswer& a, bool reading) {
  if (before_stall_) {
    const bool awaiting_result = awaiting_result_;
    set_status(a, before_stall_->text, before_stall_->kind);
    awaiting_result_ = awaiting_result;
    before_stall_.reset();
    a.gauge_stalled = false;
  }
  since_reading_s_ = 0;
  if (reading) {
    reading_clock_ = true;
    a.reading_clock = PageAnswer::ReadingClock::Restart;
  } else if (reading_clock_) {
    reading_clock_ = false;
    a.reading_clock = PageAnswer::ReadingClock::Stop;
  }
}

// The stall the record keeps ends, `resumed` by a reading or with the run.
// The reading's record, where it has one, says when on the test's clock;
// else `at_s` (0: unknown) on the monotonic clock, or the reading clock's
// count, gives its length.
void RunSession::end_stall(PageAnswer& a, bool resumed, const IntervalRecord* reading, double at_s) {
  if (!stall_) return;
  RunStall s = *std::exchange(stall_, std::nullopt);
  s.end = resumed ? RunStall::End::Resumed : RunStall::End::RunEnded;
  if (reading) {
    s.to_s = std::max(s.from_s, reading->end);
  } else {
    const bool timed = at_s > 0 && last_reading_at_s_ > 0 && at_s >= last_reading_at_s_;
    s.to_s = s.from_s + (timed ? at_s - last_reading_at_s_ : static_cast<double>(since_reading_s_));
  }
  RecordStep r = step(RecordStep::Kind::Stall);
  r.stall = s;
  a.record.push_back(std::move(r));
}

// Puts the page back to idle: the run stopped, the gauge at rest.
void RunSession::end_run(PageAnswer& a) {
  finished_ = true;
  stop_notice(a, true);
  end_stall(a, false, nullptr, 0);
  watch_readings(a, false);
  a.stop_run = true;
  a.gauge = PageAnswer::Gauge::Reset;
  a.look = setup_.is_server ? &kServerIdle : &kClientIdle;
  a.over = true;
}

void RunSession::end_record(PageAnswer& a, RunEnd how, std::string result, std::string details,
                            std::string error) {
  if (!record_open_) return;
  const bool latency_follows = end_latency(a);
  record_open_ = false;
  RecordStep end = step(RecordStep::Kind::End, how);
  end.latency_follows = latency_follows;
  end.result_text = std::move(result);
  end.details_text = std::move(details);
  end.error_text = std::move(error);
  end.summary = client_figures_;
  a.record.push_back(std::move(end));
}

// Server page: the served client's record ends with its result and its
// "Last client: …" line, both from its own summary lines; one that went
// before its summary, or that the server said went early, ended early.
void RunSession::end_served_client(PageAnswer& a) {
  if (client_ended_early_ || !details_shown_) {
    end_record(a, RunEnd::EndedEarly, client_figures_ ? served_result_text(*client_figures_) : "",
               details_shown_ || client_ended_early_ ? last_client_text(peer_, client_figures_, client_ended_early_)
                                                     : "",
               client_ended_early_.value_or(""));
  } else {
    end_record(a, RunEnd::Result, served_result_text(*client_figures_), last_client_text(peer_, client_figures_));
  }
}

// The page's record at the end of its run: the test's result as shown, or
// what the status says instead; a client still being served ends with the
// server's error, or early.
void RunSession::end_run_record(PageAnswer& a) {
  const bool status_is_error = status_.kind == StatusKind::Error;
  if (setup_.is_server) {
    if (status_is_error)
      end_record(a, RunEnd::Error, {}, {}, status_.text);
    else
      end_served_client(a);
  } else if (result_shown_ && !status_is_error) {
    end_record(a, RunEnd::Result, status_.text, details_.text);
  } else {
    end_record(a, RunEnd::Error, {}, {}, status_.text);
  }
}

void RunSession::finish(PageAnswer& a, const Exited& e) {
  const bool awaiting_result = awaiting_result_;
  end_run(a);
  if (e.status_unknown) {
    set_status(a, words::kExitUnknown, StatusKind::Error);
  } else if (e.by_signal) {
    set_status(a, killed_text(e.signal, last_error_), StatusKind::Error);
  } else if (e.code == 0) {
    if (awaiting_result) set_status(a, words::kNoResult, StatusKind::Error);
  } else if (e.code != -1) {
    set_status(a, exit_code_text(e.code, last_error_), StatusKind::Error);
  }
  end_run_record(a);
}

}  // namespace trellan
