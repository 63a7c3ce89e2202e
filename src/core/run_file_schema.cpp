#include "core/run_file_schema.hpp"

#include <glib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

#include "core/run_file.hpp"
#include "core/run_words.hpp"

namespace trellan {

namespace {

// ---- writing -----------------------------------------------------------------

void put_string(std::string& out, std::string_view s) {
  gchar* valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
  out += '"';
  for (const char* p = valid; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20) {
      std::array<char, 8> buf;
      g_snprintf(buf.data(), buf.size(), "\\u%04x", c);
      out += buf.data();
    } else {
      out += static_cast<char>(c);
    }
  }
  g_free(valid);
  out += '"';
}

// The shortest text that reads back as the same number.
template <typename T>
void put_number(std::string& out, T v) {
  if (!std::isfinite(static_cast<double>(v))) {
    out += "null";
    return;
  }
  std::array<char, 64> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), r.ptr);
}

template <typename T>
void put_optional(std::string& out, const std::optional<T>& v) {
  if (!v) out += "null";
  else if constexpr (std::is_same_v<T, std::string>) put_string(out, *v);
  else put_number(out, *v);
}

void put_key(std::string& out, const char* key) {
  out += '"';
  out += key;
  out += "\":";
}

// "key":value and what follows it; the value written as its type is.
void put_value(std::string& out, std::string_view s) { put_string(out, s); }
template <typename T>
void put_value(std::string& out, const std::optional<T>& v) { put_optional(out, v); }
template <typename T>
  requires std::is_arithmetic_v<T>
void put_value(std::string& out, T v) { put_number(out, v); }
template <typename T>
void put_field(std::string& out, const char* key, const T& value, const char* after) {
  put_key(out, key);
  put_value(out, value);
  out += after;
}

const char* page_name(RunPage p) { return p == RunPage::Client ? "client" : "server"; }

const char* end_name(RunEnd e) {
  switch (e) {
    case RunEnd::Running: return "running";
    case RunEnd::Result: return "result";
    case RunEnd::Stopped: return "stopped";
    case RunEnd::Error: return "error";
    case RunEnd::EndedEarly: return "ended-early";
  }
  return "running";
}

const char* stall_end_name(RunStall::End e) {
  switch (e) {
    case RunStall::End::Ongoing: return "ongoing";
    case RunStall::End::Resumed: return "resumed";
    case RunStall::End::RunEnded: return "run-ended";
  }
  return "ongoing";
}

std::string iso_time(std::chrono::system_clock::time_point t) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  std::int64_t secs = us / 1000000, frac = us % 1000000;
  if (frac < 0) {
    frac += 1000000;
    --secs;
  }
  GDateTime* dt = g_date_time_new_from_unix_utc(secs);
  if (!dt) return "1970-01-01T00:00:00Z";
  gchar* text = g_date_time_format(dt, "%Y-%m-%dT%H:%M:%S");
  std::array<char, 16> us_text;
  g_snprintf(us_text.data(), us_text.size(), ".%06d", static_cast<int>(frac));
  std::string out = std::string(text) + us_text.data() + "Z";
  g_free(text);
  g_date_time_unref(dt);
  return out;
}

}  // namespace

void put_run(std::string& out, const RunRecord& r) {
  out += "{";
  put_field(out, "page", std::string_view(page_name(r.page)), ",\n");
  put_field(out, "started", std::string_view(iso_time(r.started)), ",\n");
  put_field(out, "far_end", std::string_view(r.far_end), ",\n");
  put_field(out, "options_summary", std::string_view(r.options_summary), ",\n");
  put_key(out, "command");
  out += '[';
  for (std::size_t i = 0; i < r.command.size(); ++i) {
    if (i) out += ',';
    put_string(out, r.command[i]);
  }
  out += "],\n";
  put_field(out, "protocol", std::string_view(r.facts.protocol), ",");
  put_field(out, "streams", r.facts.streams, ",\n");
  put_field(out, "iperf_version", std::string_view(r.facts.iperf_version), ",\n");
  if (r.facts.duration_s) put_field(out, "duration_s", *r.facts.duration_s, ",\n");
  if (!r.facts.title.empty()) put_field(out, "title", std::string_view(r.facts.title), ",\n");
  if (!r.facts.buffer_length.empty()) put_field(out, "buffer_length", std::string_view(r.facts.buffer_length), ",\n");
  if (!r.facts.window.empty()) put_field(out, "window", std::string_view(r.facts.window), ",\n");
  if (const auto& m = r.facts.link_check) {
    put_key(out, "link_check");
    out += '{';
    put_field(out, "check", std::string_view(m->check), ",");
    put_field(out, "phase", std::string_view(link_phase_csv_name(m->phase)), ",");
    put_field(out, "idle_ms", m->idle_ms, ",");
    put_key(out, "grade");
    if (m->grade) put_string(out, grade_text(*m->grade));
    else out += "null";
    out += "},\n";
  }
  if (!r.source_file.empty()) put_field(out, "source_file", std::string_view(r.source_file), ",\n");
  put_field(out, "end", std::string_view(end_name(r.end)), ",\n");
  put_field(out, "result_text", std::string_view(r.result_text), ",\n");
  put_field(out, "details_text", std::string_view(r.details_text), ",\n");
  put_field(out, "error_text", std::string_view(r.error_text), ",\n");
  put_field(out, "latency_text", std::string_view(r.latency_text), ",\n");
  put_key(out, "summary");
  if (const auto& d = r.summary) {
    out += "{\"bidirectional\":";
    out += d->bidirectional ? "true" : "false";
    for (const auto& [key, f] : {std::pair{"tx", &d->tx}, std::pair{"rx", &d->rx}}) {
      out += ',';
      put_key(out, key);
      out += '{';
      put_field(out, "sender_mbps", f->sender_mbps, ",");
      put_field(out, "retransmits", f->retransmits, ",");
      put_field(out, "receiver_mbps", f->receiver_mbps, ",");
      put_key(out, "loss");
      if (const auto& l = f->loss) {
        out += '{';
        put_field(out, "jitter_ms", std::string_view(l->jitter_ms), ",");
        put_field(out, "lost", l->lost, ",");
        put_field(out, "total", l->total, ",");
        put_field(out, "percent", std::string_view(l->percent), l->exact_percent ? "," : "");
        if (l->exact_percent) put_field(out, "exact_percent", *l->exact_percent, "");
        out += '}';
      } else {
        out += "null";
      }
      out += '}';
    }
    out += '}';
  } else {
    out += "null";
  }
  out += ",\n";
  put_field(out, "dropped_intervals", r.dropped_intervals, ",\n");
  if (!r.stalls.empty()) {
    put_key(out, "stalls");
    out += '[';
    for (std::size_t i = 0; i < r.stalls.size(); ++i) {
      out += i ? ",[" : "[";
      put_number(out, r.stalls[i].from_s);
      out += ',';
      put_number(out, r.stalls[i].to_s);
      out += ',';
      put_string(out, stall_end_name(r.stalls[i].end));
      out += ']';
    }
    out += "],\n";
  }
  put_key(out, "intervals");
  out += "[";
  bool first = true;
  for (const IntervalRecord& i : r.intervals) {
    out += first ? "\n[" : ",\n[";
    first = false;
    put_number(out, i.start);
    out += ',';
    put_number(out, i.end);
    out += ',';
    put_string(out, i.start_text);
    out += ',';
    put_string(out, i.end_text);
    out += ',';
    put_string(out, i.direction == Direction::Send ? "send" : "receive");
    out += ',';
    put_number(out, i.mbps);
    out += ',';
    put_string(out, i.transfer);
    out += ',';
    put_string(out, i.bitrate);
    out += ',';
    put_optional(out, i.retransmits);
    out += ',';
    put_optional(out, i.jitter_ms);
    out += ',';
    put_optional(out, i.lost);
    out += ',';
    put_optional(out, i.total);
    out += ',';
    out += i.omitted ? "true" : "false";
    out += ']';
  }
  out += "],\n";
  put_key(out, "latency");
  if (const auto& l = r.latency) {
    out += '{';
    put_key(out, "idle_ms");
    put_number(out, l->idle_ms);
    out += ',';
    put_key(out, "loaded_median_ms");
    put_optional(out, l->loaded_median_ms);
    out += ',';
    put_key(out, "loaded_p95_ms");
    put_optional(out, l->loaded_p95_ms);
    out += ',';
    put_key(out, "loaded_max_ms");
    put_optional(out, l->loaded_max_ms);
    out += ',';
    put_key(out, "lost");
    put_number(out, l->lost);
    out += ',';
    put_key(out, "sent");
    put_number(out, l->sent);
    out += ',';
    put_key(out, "jitter_ms");
    put_optional(out, l->jitter_ms);
    out += ',';
    put_key(out, "idle_replied");
    out += l->idle_replied ? "true" : "false";
    out += ',';
    put_key(out, "idle_lost");
    put_number(out, l->idle_lost);
    out += ',';
    put_key(out, "idle_sent");
    put_number(out, l->idle_sent);
    out += ',';
    put_key(out, "idle_jitter_ms");
    put_optional(out, l->idle_jitter_ms);
    out += '}';
  } else {
    out += "null";
  }
  out += ",\n";
  put_key(out, "interval_latency");
  out += '[';
  for (std::size_t i = 0; i < r.interval_latency.size(); ++i) {
    out += i ? ",[" : "[";
    put_optional(out, r.interval_latency[i].median_ms);
    out += ',';
    put_number(out, r.interval_latency[i].lost);
    out += ']';
  }
  out += "],\n";
  put_key(out, "probes");
  out += '[';
  for (std::size_t i = 0; i < r.probes.size(); ++i) {
    out += i ? ",[" : "[";
    put_number(out, r.probes[i].t_s);
    out += ',';
    put_number(out, r.probes[i].rtt_ms);  // null: lost
    out += ']';
  }
  out += "]}";
}

// ---- reading a run file ------------------------------------------------------

namespace {

// Text as UTF-8, whatever the file held: invalid bytes become U+FFFD.
std::string utf8_of(std::string_view s) {
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) return std::string(s);
  gchar* valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

class RunFileSink : public JsonSink {
 public:
  bool value(const JsonPath& at, const JsonScalar& v) override {
    if (at.empty()) return fail_shape();
    if (at.size() == 1) {
      const std::string& k = at[0].key;
      if (k == "format") {
        if (v.kind != JsonScalar::Kind::String || v.text != "trellan-runs") return fail_shape();
        format_ = true;
      } else if (k == "version") {
        const auto n = v.count();
        if (!n || *n == 0) return fail("Its run file version is not a number Trellan knows");
        if (*n > kRunFileVersion)
          return fail("It was saved by a newer Trellan (run file version " + std::to_string(*n) +
                      "); this Trellan reads run files up to version " + std::to_string(kRunFileVersion));
        version_ = *n;
      }
      return true;
    }
    if (at[0].key != "runs" || at.size() < 3) return true;
    RunRecord& r = run_;
    const std::string& k = at[2].key;
    if (k == "summary") return summary_value(at, v);
    if (k == "link_check") return link_check_value(at, v);
    if (at.size() == 3) return run_value(r, k, v);
    // Each interval, interval latency and probe is a list of its own.
    if (listed(k) && (at.size() != 5 || !at[3].array || !at[4].array)) return fail_field(k);
    if (k == "command" && at.size() == 4) {
      if (v.kind != JsonScalar::Kind::String) return fail_field("command");
      r.command.push_back(utf8_of(v.text));
    } else if (k == "intervals" && at.size() == 5) {
      return interval_value(at[4].index, v);
    } else if (k == "latency" && at.size() == 4) {
      return latency_value(at[3].key, v);
    } else if (k == "interval_latency" && at.size() == 5) {
      IntervalLatency& l = r.interval_latency.back();
      if (at[4].index == 0) {
        if (v.kind != JsonScalar::Kind::Null && !v.real()) return fail_field("interval_latency");
        if (v.real()) l.median_ms = *v.real();
      } else if (at[4].index == 1) {
        if (!v.count()) return fail_field("interval_latency");
        l.lost = *v.count();
      }
    } else if (k == "stalls" && at.size() == 5) {
      return stall_value(at[4].index, v);
    } else if (k == "probes" && at.size() == 5) {
      LatencyProbe& p = r.probes.back();
      const bool lost = v.kind == JsonScalar::Kind::Null;
      if (!lost && !v.real()) return fail_field("probes");
      const float f = lost ? NAN : static_cast<float>(*v.real());
      if (at[4].index == 0) p.t_s = lost ? 0.0f : f;
      else if (at[4].index == 1) p.rtt_ms = f;
    }
    return true;
  }

  bool open(const JsonPath& at, bool array) override {
    if (at.empty()) return array ? fail_shape() : true;
    if (at.size() == 1 && at[0].key == "runs") {
      if (!format_ || version_ == 0) return fail_shape();
      return array || fail_shape();
    }
    if (at[0].key != "runs") return true;
    if (at.size() == 2) {
      if (array) return fail_shape();
      run_ = RunRecord{};
      latency_.reset();
      summary_.reset();
      end_known_ = false;
      return true;
    }
    if (at.size() == 3 && at[2].key == "latency" && !array) latency_.emplace();
    if (at[2].key == "link_check") {
      if (at.size() != 3 || array) return fail_field("link_check");
      run_.facts.link_check.emplace();
      return true;
    }
    if (at[2].key == "summary") {
      if (array) return fail_field("summary");
      if (at.size() == 3) summary_.emplace();
      if (at.size() == 5 && at[4].key == "loss" && summary_) {
        if (FlowFigures* f = flow_of(at[3].key)) f->loss.emplace();
      }
      return true;
    }
    if (at.size() >= 3 && listed(at[2].key) && (at.size() == 3 ? !array : at.size() > 4 || !array || !at[3].array))
      return fail_field(at[2].key);
    if (at.size() == 4 && array) {
      const std::string& k = at[2].key;
      if (k == "intervals") interval_ = IntervalRecord{};
      if (k == "interval_latency") run_.interval_latency.emplace_back();
      if (k == "probes") run_.probes.push_back(LatencyProbe{0, NAN});
      if (k == "stalls") run_.stalls.emplace_back();
    }
    return true;
  }

  bool close(const JsonPath& at, bool array) override {
    if (at.size() == 2 && at[0].key == "runs" && !array) {
      if (!end_known_) return fail("A run in it does not say how it ended");
      // A run saved while its readings had stopped ended in that stall.
      for (RunStall& s : run_.stalls) {
        if (s.end == RunStall::End::Ongoing) s.end = RunStall::End::RunEnded;
        s.to_s = std::max(s.to_s, s.from_s);
      }
      if (run_.facts.link_check && run_.facts.link_check->check.empty()) return fail_field("link_check");
      run_.summary = summary_;
      run_.latency = latency_;
      if (!run_.latency) {
        run_.interval_latency.clear();
        run_.probes.clear();
      }
      runs.push(std::move(run_));
      run_ = RunRecord{};
    }
    if (at.size() == 4 && array && at[0].key == "runs" && at[2].key == "intervals") {
      if (interval_fields_ < 13) return fail_field("intervals");
      if (const std::string fault = interval_times_fault(interval_.start, interval_.end); !fault.empty())
        return fail("A run in it has an interval that " + fault + " (" + interval_.start_text + "–" +
                    interval_.end_text + " s)");
      run_.intervals.push_back(std::move(interval_));
      if (run_.intervals.size() > RunLog::kMaxIntervals) {
        run_.intervals.pop_front();
        ++run_.dropped_intervals;
      }
      interval_fields_ = 0;
    }
    return true;
  }

  bool document_end() override {
    if (documents_++ > 0) return fail("It holds more than one run file");
    if (!format_ || version_ == 0) return fail_shape();
    return true;
  }

  NewestRuns runs;
  std::string reason;

 private:
  bool fail(std::string why) {
    if (reason.empty()) reason = std::move(why);
    return false;
  }
  static bool listed(const std::string& k) {
    return k == "intervals" || k == "interval_latency" || k == "probes" || k == "stalls";
  }
  bool fail_shape() { return fail("It is not a Trellan run file that this Trellan can read"); }
  bool fail_field(const std::string& k) { return fail("A run in it has a faulty “" + k + "”"); }

  bool run_value(RunRecord& r, const std::string& k, const JsonScalar& v) {
    const bool text = v.kind == JsonScalar::Kind::String;
    std::string* field = k == "far_end"           ? &r.far_end
                         : k == "options_summary" ? &r.options_summary
                         : k == "iperf_version"   ? &r.facts.iperf_version
                         : k == "source_file"     ? &r.source_file
                         : k == "title"           ? &r.facts.title
                         : k == "buffer_length"   ? &r.facts.buffer_length
                         : k == "window"          ? &r.facts.window
                         : k == "result_text"     ? &r.result_text
                         : k == "details_text"    ? &r.details_text
                         : k == "error_text"      ? &r.error_text
                         : k == "latency_text"    ? &r.latency_text
                                                  : nullptr;
    if (field) {
      if (!text) return fail_field(k);
      *field = utf8_of(v.text);
    } else if (k == "page") {
      if (!text || (v.text != "client" && v.text != "server")) return fail_field(k);
      r.page = v.text == "client" ? RunPage::Client : RunPage::Server;
    } else if (k == "started") {
      if (!text) return fail_field(k);
      const std::string s(v.text);
      GDateTime* dt = g_date_time_new_from_iso8601(s.c_str(), nullptr);
      // Between 1970 and 2200: the clock's range, with room.
      if (!dt || g_date_time_to_unix(dt) < 0 || g_date_time_to_unix(dt) > 7258118400) {
        if (dt) g_date_time_unref(dt);
        return fail_field(k);
      }
      r.started = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::microseconds(g_date_time_to_unix(dt) * 1000000 + g_date_time_get_microsecond(dt))));
      g_date_time_unref(dt);
    } else if (k == "end") {
      if (!text) return fail_field(k);
      static constexpr std::array<std::pair<std::string_view, RunEnd>, 5> kEnds = {
          {{"result", RunEnd::Result},
           {"stopped", RunEnd::Stopped},
           {"error", RunEnd::Error},
           {"ended-early", RunEnd::EndedEarly},
           {"running", RunEnd::Running}}};
      const auto it = std::find_if(kEnds.begin(), kEnds.end(), [&](const auto& e) { return e.first == v.text; });
      if (it == kEnds.end()) return fail_field(k);
      r.end = it->second;
      // A run saved while it went on is kept as it stood; it goes on no more.
      if (r.end == RunEnd::Running) r.end = RunEnd::EndedEarly;
      end_known_ = true;
    } else if (k == "dropped_intervals") {
      if (!v.count()) return fail_field(k);
      r.dropped_intervals += *v.count();
    } else if (k == "duration_s") {
      if (v.kind == JsonScalar::Kind::Null) return true;
      if (!v.real() || !(*v.real() > 0)) return fail_field(k);
      r.facts.duration_s = *v.real();
    } else if (k == "protocol") {
      if (!text) return fail_field(k);
      r.facts.protocol = utf8_of(v.text);
    } else if (k == "streams") {
      if (v.kind == JsonScalar::Kind::Null) {
        r.facts.streams.reset();
      } else {
        const auto n = v.count();
        if (!n || *n == 0 || *n > 1000) return fail_field(k);
        r.facts.streams = static_cast<unsigned>(*n);
      }
    }
    return true;
  }

  bool interval_value(std::size_t column, const JsonScalar& v) {
    IntervalRecord& i = interval_;
    const bool text = v.kind == JsonScalar::Kind::String;
    const bool null = v.kind == JsonScalar::Kind::Null;
    bool ok = true;
    switch (column) {
      case 0: ok = v.real().has_value(), i.start = v.real().value_or(0); break;
      case 1: ok = v.real().has_value(), i.end = v.real().value_or(0); break;
      case 2: ok = text, i.start_text = utf8_of(v.text); break;
      case 3: ok = text, i.end_text = utf8_of(v.text); break;
      case 4:
        ok = text && (v.text == "send" || v.text == "receive");
        i.direction = v.text == "send" ? Direction::Send : Direction::Receive;
        break;
      case 5: ok = v.real().has_value(), i.mbps = v.real().value_or(0); break;
      case 6: ok = text, i.transfer = utf8_of(v.text); break;
      case 7: ok = text, i.bitrate = utf8_of(v.text); break;
      case 8:
        ok = null || v.count();
        if (!null) i.retransmits = v.count();
        break;
      case 9:
        ok = null || text;
        if (text) i.jitter_ms = utf8_of(v.text);
        break;
      case 10:
        ok = null || v.count();
        if (!null) i.lost = v.count();
        break;
      case 11:
        ok = null || v.count();
        if (!null) i.total = v.count();
        break;
      case 12:
        ok = v.kind == JsonScalar::Kind::Bool;
        i.omitted = v.boolean;
        break;
      default: break;  // columns of a later version of this one
    }
    ++interval_fields_;
    return ok || fail_field("intervals");
  }

  // [from_s, to_s, "resumed" | "run-ended" | "ongoing"], on the test's clock.
  bool stall_value(std::size_t column, const JsonScalar& v) {
    RunStall& s = run_.stalls.back();
    if (column == 0 || column == 1) {
      if (!v.real() || !(*v.real() >= 0)) return fail_field("stalls");
      (column == 0 ? s.from_s : s.to_s) = *v.real();
    } else if (column == 2) {
      if (v.kind != JsonScalar::Kind::String) return fail_field("stalls");
      if (v.text == "resumed") s.end = RunStall::End::Resumed;
      else if (v.text == "run-ended") s.end = RunStall::End::RunEnded;
      else if (v.text == "ongoing") s.end = RunStall::End::Ongoing;
      else return fail_field("stalls");
    }
    return true;
  }

  FlowFigures* flow_of(const std::string& k) {
    return !summary_ ? nullptr : k == "tx" ? &summary_->tx : k == "rx" ? &summary_->rx : nullptr;
  }

  // "summary": null, or {"bidirectional", "tx", "rx"}, each flow
  // {"sender_mbps", "retransmits", "receiver_mbps", "loss"}, the loss null or
  // {"jitter_ms", "lost", "total", "percent", "exact_percent"}.
  bool summary_value(const JsonPath& at, const JsonScalar& v) {
    const bool null = v.kind == JsonScalar::Kind::Null;
    if (at.size() == 3) return null || fail_field("summary");
    if (!summary_) return true;
    if (at.size() == 4) {
      if (at[3].key == "bidirectional") {
        if (v.kind != JsonScalar::Kind::Bool) return fail_field("summary");
        summary_->bidirectional = v.boolean;
      }
      return true;
    }
    FlowFigures* f = flow_of(at[3].key);
    if (!f) return true;
    const std::string& k = at[4].key;
    if (at.size() == 5) {
      if (null) return true;
      if (k == "sender_mbps" || k == "receiver_mbps") {
        if (!v.real()) return fail_field("summary");
        (k == "sender_mbps" ? f->sender_mbps : f->receiver_mbps) = *v.real();
      } else if (k == "retransmits") {
        if (!v.count()) return fail_field("summary");
        f->retransmits = *v.count();
      } else if (k == "loss") {
        return fail_field("summary");
      }
      return true;
    }
    if (at.size() == 6 && k == "loss" && f->loss) {
      UdpLoss& l = *f->loss;
      const std::string& m = at[5].key;
      if (m == "jitter_ms" || m == "percent") {
        if (v.kind != JsonScalar::Kind::String) return fail_field("summary");
        (m == "jitter_ms" ? l.jitter_ms : l.percent) = utf8_of(v.text);
      } else if (m == "lost" || m == "total") {
        if (!v.count()) return fail_field("summary");
        (m == "lost" ? l.lost : l.total) = *v.count();
      } else if (m == "exact_percent") {
        if (!v.real() || !(*v.real() >= 0 && *v.real() <= 100)) return fail_field("summary");
        l.exact_percent = *v.real();
      }
    }
    return true;
  }

  // "link_check": left out, null, or {"check", "phase", "idle_ms", "grade"}.
  bool link_check_value(const JsonPath& at, const JsonScalar& v) {
    const bool null = v.kind == JsonScalar::Kind::Null;
    if (at.size() == 3) return null || fail_field("link_check");
    if (at.size() != 4 || !run_.facts.link_check) return true;
    LinkCheckMark& m = *run_.facts.link_check;
    const std::string& k = at[3].key;
    const bool text = v.kind == JsonScalar::Kind::String;
    if (k == "check") {
      if (!text) return fail_field("link_check");
      m.check = utf8_of(v.text);
    } else if (k == "phase") {
      bool known = false;
      for (LinkPhase p : {LinkPhase::Download, LinkPhase::Upload, LinkPhase::Both})
        if (text && v.text == link_phase_csv_name(p)) m.phase = p, known = true;
      if (!known) return fail_field("link_check");
    } else if (k == "idle_ms") {
      if (!null && !v.real()) return fail_field("link_check");
      if (!null) m.idle_ms = *v.real();
    } else if (k == "grade") {
      if (null) return true;
      for (LinkGrade g : {LinkGrade::APlus, LinkGrade::A, LinkGrade::B, LinkGrade::C, LinkGrade::D, LinkGrade::F})
        if (text && v.text == grade_text(g)) m.grade = g;
      if (!m.grade) return fail_field("link_check");
    }
    return true;
  }

  bool latency_value(const std::string& k, const JsonScalar& v) {
    if (!latency_) return true;
    LatencyFigures& l = *latency_;
    const bool null = v.kind == JsonScalar::Kind::Null;
    std::optional<double>* opt = k == "loaded_median_ms" ? &l.loaded_median_ms
                                 : k == "loaded_p95_ms"  ? &l.loaded_p95_ms
                                 : k == "loaded_max_ms"  ? &l.loaded_max_ms
                                 : k == "jitter_ms"      ? &l.jitter_ms
                                 : k == "idle_jitter_ms" ? &l.idle_jitter_ms
                                                         : nullptr;
    if (opt) {
      if (!null && !v.real()) return fail_field("latency");
      if (!null) *opt = *v.real();
    } else if (k == "idle_ms") {
      if (!v.real()) return fail_field("latency");
      l.idle_ms = *v.real();
    } else if (k == "lost" || k == "sent" || k == "idle_lost" || k == "idle_sent") {
      if (!v.count()) return fail_field("latency");
      (k == "lost" ? l.lost : k == "sent" ? l.sent : k == "idle_lost" ? l.idle_lost : l.idle_sent) = *v.count();
    } else if (k == "idle_replied") {
      if (v.kind != JsonScalar::Kind::Bool) return fail_field("latency");
      l.idle_replied = v.boolean;
    }
    return true;
  }

  bool format_ = false;
  std::uint64_t version_ = 0;
  std::size_t documents_ = 0;
  RunRecord run_;
  bool end_known_ = false;
  std::optional<LatencyFigures> latency_;
  std::optional<SummaryDetails> summary_;
  IntervalRecord interval_;
  std::size_t interval_fields_ = 0;
};

}  // namespace

RunFileRuns read_run_file(JsonSource& source) {
  RunFileSink sink;
  const JsonScanResult scanned = scan_json(source, sink);
  RunFileRuns out;
  if (!scanned.ok) {
    out.error = scanned.sink_stopped ? sink.reason : scanned.error;
    if (out.error.empty()) out.error = "It could not be read";
  } else {
    out.runs = sink.runs.take();
    out.left_out = sink.runs.left_out();
  }
  return out;
}

}  // namespace trellan
