#include "core/iperf_json.hpp"

#include <glib.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <string_view>

#include "core/events.hpp"
#include "core/meter.hpp"
#include "core/options.hpp"
#include "core/run_session.hpp"
#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {

namespace {

using namespace std::string_view_literals;

std::string fixed(double v, int decimals) { return fixed_text(v, decimals); }

// printf's "%.2g", whatever the locale.
std::string general2(double v) {
  std::array<char, 64> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::general, 2);
  return r.ec == std::errc() ? std::string(buf.data(), r.ptr) : std::string();
}

// iperf3's units.c: the value scaled to the largest unit it reaches, then
// "%4.2f", "%4.1f" or "%4.0f" so that it fits four places.
std::string scaled(double value, double step, const std::array<double, 5>& factors,
                   const std::array<const char*, 5>& labels, const char* tail) {
  double t = value;
  std::size_t unit = 0;
  while (t >= step && unit < 4) {
    t /= step;
    ++unit;
  }
  const double v = value * factors[unit];
  const int decimals = v < 9.995 ? 2 : v < 99.95 ? 1 : 0;
  return fixed(v, decimals) + " " + labels[unit] + tail;
}

// The largest rate or time a real test gives, with room to spare; a figure
// beyond it is a fault in the file.
constexpr double kMaxBitsPerSecond = 1e16;
constexpr double kMaxSeconds = kLongestTestSeconds;
constexpr std::uint64_t kLatestStart = 7258118400;  // 2200-01-01

// One "sum" of an interval or of the end, as iperf3 wrote it.
struct Sum {
  bool present = false;
  double start = 0, end = 0;
  std::uint64_t bytes = 0;
  double bits_per_second = 0;
  std::optional<std::uint64_t> retransmits;
  std::optional<double> jitter_ms;
  std::optional<std::uint64_t> lost_packets, packets;
  std::optional<double> lost_percent;
  bool omitted = false;
  std::optional<bool> sender;
};

struct Start {
  std::string version;
  std::optional<std::int64_t> timesecs;
  std::string connecting_host, accepted_host;
  std::optional<std::uint64_t> connecting_port, local_port;
  bool test = false;  // test_start or a connection was there
  std::string protocol;  // as test_start says it: "TCP", "UDP"
  bool streams_said = false;
  std::uint64_t streams = 1, omit = 0, duration = 0, bytes = 0, blocks = 0, target_bitrate = 0;
  bool reverse = false, bidir = false;
  std::uint64_t blksize = 0, sock_bufsize = 0;  // -l as it was, -w where asked for
  std::string title;                            // -T: the document's own "title"
};

// The end's sums of one flow: the sender's and the receiver's figures.
struct EndFlow {
  Sum sent, received, udp;
  bool present() const { return sent.present || received.present || udp.present; }
};

std::string valid_utf8(std::string_view s) {
  gchar* v = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
  std::string out(v);
  g_free(v);
  return out;
}

// A size as iperf3's options take it, in its units of 1024: "128K".
std::string size_option(std::uint64_t bytes) {
  if (bytes != 0 && bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + "M";
  if (bytes != 0 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + "K";
  return std::to_string(bytes);
}

// iperf3's buffer length for TCP when none is asked for.
constexpr std::uint64_t kDefaultTcpBlksize = 128 * 1024;

std::string bitrate_option(std::uint64_t bits) {
  if (bits != 0 && bits % 1000000000 == 0) return std::to_string(bits / 1000000000) + "G";
  if (bits != 0 && bits % 1000000 == 0) return std::to_string(bits / 1000000) + "M";
  if (bits != 0 && bits % 1000 == 0) return std::to_string(bits / 1000) + "K";
  return std::to_string(bits);
}

// One test: its events, through a session, into one record.
class Test {
 public:
  explicit Test(const Start& start) : start_(start) {
    server_ = start.connecting_host.empty() && !start.accepted_host.empty();
    RunSetup setup;
    setup.is_server = server_;
    setup.port = static_cast<std::uint16_t>(start.local_port.value_or(5201));
    if (server_) {
      ServerOptions o;
      o.port = setup.port;
      setup.options_summary = options_summary(o);
      // What the client asked of it, as the test's start states it.
      if (start.test) {
        std::string asked = start.protocol.empty() ? std::string() : start.protocol + " · ";
        if (start.streams_said && start.streams >= 2) asked += std::to_string(start.streams) + " streams · ";
        setup.options_summary = asked + setup.options_summary;
      }
    } else {
      setup.far_end = start.connecting_host.empty()
                          ? std::string()
                          : start.connecting_host + ", port " + std::to_string(start.connecting_port.value_or(5201));
      if (start.test) setup.options_summary = client_summary();
    }
    // What test_start states, for a served client as for a client.
    setup.facts.protocol = start.protocol;
    setup.facts.iperf_version = start.version;
    if (start.streams_said && start.streams != 0 && start.streams <= 1000)
      setup.facts.streams = static_cast<unsigned>(start.streams);
    setup.facts.buffer_length = buffer_length_asked(start);
    if (start.sock_bufsize > 0) setup.facts.window = size_option(start.sock_bufsize);
    // A test bounded by bytes or blocks states a duration it does not keep.
    if (start.duration > 0 && start.bytes == 0 && start.blocks == 0)
      setup.facts.duration_s = static_cast<double>(start.duration);
    session_.emplace(std::move(setup));
    recording_.log = log_;
    apply(session_->start());
    if (server_) apply(session_->on_event(ClientConnected{start.accepted_host}, gauge_));
  }

  // One interval: a record for each flow, as iperf3 prints a line for each;
  // the gauge shows the interval's total.
  void interval(const Sum& main, const Sum& reverse) {
    ++intervals_;
    const double main_mbps = main.present ? main.bits_per_second / 1e6 : 0;
    if (main.present && !repeated(main, 0)) event(Interval{main_mbps, record_of(main, false)});
    if (reverse.present && !repeated(reverse, 1))
      event(Interval{main_mbps + reverse.bits_per_second / 1e6, record_of(reverse, true)});
  }

  // The test is over. `how_cut` says why its end is missing, if it is.
  void finish(const EndFlow& main, const EndFlow& reverse, const std::optional<std::string>& error,
              const std::string& how_cut) {
    // A client stopped with Ctrl-C never heard the server's figures: its
    // received sums hold 0 in their place.
    interrupted_ = error && !server_ && error->starts_with("interrupt - ");
    if (main.present() || reverse.present()) summary(main, reverse);
    std::optional<std::string> early;  // why it ended early
    if (!how_cut.empty()) {
      early = how_cut;
    } else if (error && !server_ && error->starts_with("interrupt - ") && intervals_ > 0) {
      early = *error;  // the client was stopped with Ctrl-C
    } else if (error) {
      event(Error{*error});
    }
    if (server_) event(Listening{});
    apply(session_->on_event(Exited{error && !early ? 1 : 0}, gauge_), early);
  }

  // The record, once finished; none for a server's test that never began.
  std::optional<RunRecord> take() {
    if (log_->runs().empty()) return std::nullopt;
    RunRecord r = std::move(*log_->runs().front());
        return r;
  }

 private:
  // A UDP test's buffer length follows the path's MSS unless asked for, so
  // only TCP's tells that it was asked for.
  static std::string buffer_length_asked(const Start& start) {
    if (start.protocol != "TCP"sv || start.blksize == 0 || start.blksize == kDefaultTcpBlksize) return {};
    return size_option(start.blksize);
  }

  std::string client_summary() const {
    ClientOptions o;
    o.buffer_length = buffer_length_asked(start_);
    if (start_.sock_bufsize > 0) o.window = size_option(start_.sock_bufsize);
    o.udp = start_.protocol == "UDP"sv;
    o.parallel = static_cast<std::uint32_t>(std::min<std::uint64_t>(start_.streams, 1000));
    o.reverse = start_.reverse;
    o.bidir = start_.bidir;
    o.omit = static_cast<std::uint32_t>(std::min<std::uint64_t>(start_.omit, 86400));
    o.duration = static_cast<std::uint32_t>(std::min<std::uint64_t>(start_.duration, 86400));
    // UDP's default rate is iperf3's 1 Mbit/s; only a rate asked for is said.
    if (o.udp && start_.target_bitrate != 1048576) o.bitrate = bitrate_option(start_.target_bitrate);
    std::string text = options_summary(o);
    // A test of so many bytes or blocks has no duration of its own.
    std::string amount;
    if (start_.bytes != 0) amount = iperf_bytes_text(static_cast<double>(start_.bytes));
    else if (start_.blocks != 0) amount = std::to_string(start_.blocks) + " blocks";
    if (!amount.empty()) {
      const std::string seconds = " · " + std::to_string(o.duration) + " s";
      if (const auto at = text.find(seconds); at != std::string::npos) text.replace(at, seconds.size(), " · " + amount);
    }
    return text;
  }

  // iperf3 writes the last interval again when a client goes early.
  bool repeated(const Sum& s, int flow) {
    Last& last = last_[flow];
    const bool same = last.valid && last.start == s.start && last.end == s.end && last.omitted == s.omitted;
    last = Last{s.start, s.end, s.omitted, true};
    return same;
  }

  bool sends(const Sum& s, bool reverse_flow) const {
    if (s.sender) return *s.sender;
    // Files from before iperf3 said so: the flow's way from the options.
    const bool main_sends = server_ ? start_.reverse : !start_.reverse;
    return reverse_flow ? !main_sends : main_sends;
  }

  IntervalRecord record_of(const Sum& s, bool reverse_flow) const {
    IntervalRecord r;
    r.start = s.start;
    r.end = s.end;
    r.start_text = fixed(s.start, 2);
    r.end_text = fixed(s.end, 2);
    r.direction = sends(s, reverse_flow) ? Direction::Send : Direction::Receive;
    r.mbps = s.bits_per_second / 1e6;
    r.transfer = iperf_bytes_text(static_cast<double>(s.bytes));
    r.bitrate = iperf_rate_text(s.bits_per_second);
    r.omitted = s.omitted;
    const bool udp = start_.protocol == "UDP"sv;
    if (r.direction == Direction::Send) {
      if (udp) r.total = s.packets;
      else r.retransmits = s.retransmits;
    } else if (udp && s.jitter_ms) {
      r.jitter_ms = fixed(*s.jitter_ms, 3);
      r.lost = s.lost_packets;
      r.total = s.packets;
    }
    return r;
  }

  FlowFigures figures(const EndFlow& f, bool reverse_flow, bool& this_sends) const {
    // Whose flow it is: for UDP the "sum" says (its sum_sent and sum_received
    // always say sender and receiver), for TCP the other sums do.
    const Sum& any = f.udp.present ? f.udp : f.sent.present ? f.sent : f.received;
    this_sends = sends(any, reverse_flow);
    FlowFigures out;
    const bool udp = start_.protocol == "UDP"sv;
    // A server measured its own side only.
    if (f.sent.present && (!server_ || this_sends)) {
      out.sender_mbps = f.sent.bits_per_second / 1e6;
      if (!udp) out.retransmits = f.sent.retransmits;
    }
    if (f.received.present && (!server_ || !this_sends) && !(interrupted_ && f.received.bytes == 0)) {
      out.receiver_mbps = f.received.bits_per_second / 1e6;
      const Sum& loss = f.received.jitter_ms ? f.received : f.udp;
      if (udp && loss.jitter_ms && loss.lost_packets && loss.packets)
        out.loss = UdpLoss{fixed(*loss.jitter_ms, 3), *loss.lost_packets, *loss.packets,
                           general2(loss.lost_percent.value_or(0)), loss.lost_percent};
    }
    return out;
  }

  void summary(const EndFlow& main, const EndFlow& reverse) {
    bool main_sends = true, reverse_sends = false;
    const FlowFigures m = figures(main, false, main_sends);
    if (!reverse.present() && !start_.bidir) {
      if (m.receiver_mbps) {
        event(Summary{m.sender_mbps.value_or(0), *m.receiver_mbps});
      } else if (m.sender_mbps && !server_) {
        sent_only_ = SentOnly{sent_result_text(*m.sender_mbps), quality_text(SummaryDetails{false, m, {}})};
      }
      event(SummaryDetails{false, m, {}});
      return;
    }
    const FlowFigures r = figures(reverse, true, reverse_sends);
    const FlowFigures& tx = main_sends ? m : r;
    const FlowFigures& rx = main_sends ? r : m;
    event(Summary{tx.sender_mbps.value_or(0), rx.receiver_mbps.value_or(0)});
    event(SummaryDetails{true, tx, rx});
  }

  void event(const IperfEvent& e) {
    apply(session_->on_event(e, gauge_));
    if (const auto* i = std::get_if<Interval>(&e)) gauge_.set_value(i->mbps);
  }

  // Applies what the session answers to the record. `early`: the test
  // ended early for this reason, whatever the session made of its end.
  void apply(PageAnswer a, const std::optional<std::string>& early = std::nullopt) {
    for (RecordStep& step : a.record) {
      // Where the file does not say when (a refused client's), the clock's
      // start stands for "unknown": its reader puts the file's own time in.
      if (step.kind == RecordStep::Kind::Begin)
        step.started = start_.timesecs
                           ? std::chrono::system_clock::from_time_t(static_cast<std::time_t>(*start_.timesecs))
                           : std::chrono::system_clock::time_point{};
      if (step.kind == RecordStep::Kind::End && early && step.how != RunEnd::EndedEarly) {
        step.how = RunEnd::EndedEarly;
        step.error_text = *early;
        if (step.result_text.empty() && session_->status().kind != StatusKind::Error) step.result_text = session_->status().text;
        if (step.result_text.empty() && sent_only_) {
          step.result_text = sent_only_->result;
          if (step.details_text.empty()) step.details_text = sent_only_->details;
        }
      }
      recording_.apply(step);
    }
  }

  Start start_;
  bool server_ = false;
  std::shared_ptr<RunLog> log_ = std::make_shared<RunLog>();
  RunRecording recording_;
  std::optional<RunSession> session_;
  MeterState gauge_;
  std::uint64_t intervals_ = 0;
  bool interrupted_ = false;
  // A client's end figures of its sending side alone, worded.
  struct SentOnly {
    std::string result, details;
  };
  std::optional<SentOnly> sent_only_;
  struct Last {
    double start = 0, end = 0;
    bool omitted = false, valid = false;
  };
  Last last_[2];
};

// Reads the parts of iperf3's documents that make a run, wherever they
// stand: in a -J document's sections, or in a --json-stream event's data.
class IperfSink : public JsonSink {
 public:
  explicit IperfSink(bool stream) : stream_(stream) {}

  bool value(const JsonPath& at, const JsonScalar& v) override {
    if (at.empty()) return stream_ ? fail("a line holds no event") : fail_not_iperf();
    if (stream_ && at.size() == 1 && at[0].key == "event"sv) {
      if (v.kind != JsonScalar::Kind::String) return fail("an event has no name");
      event_.assign(v.text);
      if (event_ == "start"sv && test_) end_test("the next test began before it ended");
      return true;
    }
    if (stream_ && at[0].key != "data"sv) return true;
    const std::string& section = this->section(at);
    if (at.size() == 1) {
      if (section == "error"sv && v.kind == JsonScalar::Kind::String) error_ = valid_utf8(v.text);
      if (section == "title"sv && v.kind == JsonScalar::Kind::String) start_.title = valid_utf8(v.text);
      return true;
    }
    if (section == "start"sv) return start_value(at, v);
    if (section == "end"sv) return end_value(at, v);
    if (section == "intervals"sv || section == "interval"sv) {
      const std::size_t base = stream_ ? 1 : 2;  // the interval's own object
      if (at.size() != base + 2) return true;
      const std::string& which = at[base].key;
      Sum* s = which == "sum"sv ? &main_ : which == "sum_bidir_reverse"sv ? &reverse_ : nullptr;
      return !s || sum_value(*s, at[base + 1].key, v, intervals_ + 1);
    }
    return true;
  }

  bool open(const JsonPath& at, bool array) override {
    if (at.empty()) {
      if (array) return stream_ ? fail("a line holds no event") : fail_not_iperf();
      if (!stream_) new_document();
      event_.clear();
      return true;
    }
    if (stream_ && at[0].key != "data"sv) return true;
    const std::string& sec = section(at);
    const bool intervals = sec == "intervals"sv || sec == "interval"sv;
    if (at.size() == 1) seen_iperf_ |= sec == "start"sv || sec == "end"sv || intervals;
    if (sec == "start"sv && ((at.size() == 2 && at[1].key == "test_start"sv) || (at.size() == 3 && at[1].key == "connected"sv)))
      start_.test = true;
    if (sec == "end"sv && at.size() == 2) {
      if (Sum* sum = end_sum(at[1].key)) {
        *sum = Sum{};
        sum->present = true;
      }
    }
    const std::size_t base = stream_ ? 1 : 2;  // where an interval's own object stands
    if (intervals && !array && at.size() == base) main_ = reverse_ = Sum{};
    if (intervals && !array && at.size() == base + 1) {
      if (at[base].key == "sum"sv) main_.present = true;
      if (at[base].key == "sum_bidir_reverse"sv) reverse_.present = true;
    }
    return true;
  }

  // Each stream's own figures are passed over: a run is made of the sums.
  bool wanted(const JsonPath& at, bool array) override {
    if (!array || at.empty()) return true;
    if (stream_) return !(at.size() == 2 && at[0].key == "data"sv && at[1].key == "streams"sv);
    const std::string& sec = at[0].key;
    return !((sec == "intervals"sv && at.size() == 3 && at[2].key == "streams"sv) ||
             (sec == "end"sv && at.size() == 2 && at[1].key == "streams"sv));
  }

  bool close(const JsonPath& at, bool array) override {
    if (at.empty() || array) return true;
    if (stream_ && at[0].key != "data"sv) return true;
    const bool intervals = section(at) == "intervals"sv || section(at) == "interval"sv;
    if (intervals && at.size() == (stream_ ? 1u : 2u)) {
      if (!main_.present && !reverse_.present) return true;
      for (const Sum* sum : {&main_, &reverse_})
        if (const std::string fault = sum->present ? interval_times_fault(sum->start, sum->end) : "";
            !fault.empty())
          return fail("It holds a figure that cannot be right: interval " + std::to_string(intervals_ + 1) + " " +
                      fault);
      begin_test();
      test_->interval(main_, reverse_);
      ++intervals_;
      main_ = reverse_ = Sum{};
    }
    if (stream_ && at.size() == 1 && event_ == "end"sv && (test_ || start_.test)) end_test({});
    return true;
  }

  bool document_end() override {
    if (stream_) {
      if (event_.empty() && !failed_) return fail("a line holds no event");
      if (event_ == "error"sv && !test_ && !start_.test) end_document_without_test();
      return true;
    }
    if (!seen_iperf_ && !error_) return fail_not_iperf();
    if (test_ || start_.test) {
      end_test({});
    } else {
      end_document_without_test();
    }
    return true;
  }

  // At the end of a stream: a test still open ended early.
  void end_of_input() {
    if (test_ || start_.test) end_test("The file ends before the test did: iperf3 may still be running it and writing the rest");
  }

  NewestRuns runs;
  std::string reason;

 private:
  const std::string& section(const JsonPath& at) const { return stream_ ? event_ : at[0].key; }

  bool fail(std::string why) {
    if (reason.empty()) reason = std::move(why);
    failed_ = true;
    return false;
  }
  bool fail_not_iperf() { return fail("It is JSON, but not iperf3's output or a Trellan run file"); }

  void new_document() {
    start_ = Start{};
    end_main_ = end_reverse_ = EndFlow{};
    error_.reset();
    seen_iperf_ = false;
  }

  Sum* end_sum(const std::string& k) {
    if (k == "sum_sent"sv) return &end_main_.sent;
    if (k == "sum_received"sv) return &end_main_.received;
    if (k == "sum"sv) return &end_main_.udp;
    if (k == "sum_sent_bidir_reverse"sv) return &end_reverse_.sent;
    if (k == "sum_received_bidir_reverse"sv) return &end_reverse_.received;
    if (k == "sum_bidir_reverse"sv) return &end_reverse_.udp;
    return nullptr;
  }

  void begin_test() {
    if (!test_) {
      start_.test = true;
      // iperf3 before 3.17 does not say "bidir" at the start; its sums do.
      if (reverse_.present || end_reverse_.present()) start_.bidir = true;
      test_.emplace(start_);
    }
  }

  void end_test(const std::string& how_cut) {
    begin_test();
    test_->finish(end_main_, end_reverse_, error_, how_cut);
    if (auto r = test_->take()) {
      r->facts.title = start_.title;  // written after the test's end
      runs.push(std::move(*r));
    }
    test_.reset();
    new_document();
    intervals_ = 0;
  }

  // A document without a test: a client's that failed before its test
  // began is a failed run; a server's own end, or a server's that never
  // listened, is none.
  void end_document_without_test() {
    const bool server_word = error_ && (error_->find("server has terminated") != std::string::npos ||
                                        error_->find("listener") != std::string::npos);
    if (error_ && !server_word && !server_seen_) {
      Test test(start_);
      test.finish({}, {}, error_, {});
      if (auto r = test.take()) runs.push(std::move(*r));
    }
    new_document();
  }

  bool start_value(const JsonPath& at, const JsonScalar& v) {
    const std::string& k1 = at[1].key;
    const bool text = v.kind == JsonScalar::Kind::String;
    if (at.size() == 2) {
      if (k1 == "version"sv && text) start_.version = valid_utf8(v.text);
      if (k1 == "sock_bufsize"sv) {
        if (!v.count()) return fail_number("“sock_bufsize”", v);
        start_.sock_bufsize = *v.count();
      }
      return true;
    }
    const std::string& k2 = at[2].key;
    if (at.size() == 3) {
      if (k1 == "timestamp"sv && k2 == "timesecs"sv) {
        // Between 1970 and 2200: the clock's range, with room.
        if (!v.count() || *v.count() > kLatestStart) return fail_number("the start time", v);
        start_.timesecs = static_cast<std::int64_t>(*v.count());
      } else if (k1 == "connecting_to"sv) {
        if (k2 == "host"sv && text) start_.connecting_host = valid_utf8(v.text);
        if (k2 == "port"sv) {
          const auto p = v.count();
          if (!p || *p > 65535) return fail_number("the server's port", v);
          start_.connecting_port = p;
        }
      } else if (k1 == "accepted_connection"sv) {
        if (k2 == "host"sv && text) {
          start_.accepted_host = valid_utf8(v.text);
          server_seen_ = true;
        }
      } else if (k1 == "test_start"sv) {
        start_.test = true;
        if (k2 == "protocol"sv && text) start_.protocol = valid_utf8(v.text);
        std::uint64_t* n = k2 == "num_streams"sv      ? &start_.streams
                           : k2 == "omit"sv           ? &start_.omit
                           : k2 == "duration"sv       ? &start_.duration
                           : k2 == "bytes"sv          ? &start_.bytes
                           : k2 == "blocks"sv         ? &start_.blocks
                           : k2 == "target_bitrate"sv ? &start_.target_bitrate
                           : k2 == "blksize"sv        ? &start_.blksize
                                                    : nullptr;
        if (n) {
          const auto c = v.count();
          if (!c) return fail_number("“" + k2 + "”", v);
          *n = *c;
          start_.streams_said |= n == &start_.streams;
        }
        if (k2 == "reverse"sv || k2 == "bidir"sv) {
          const bool on = v.kind == JsonScalar::Kind::Bool ? v.boolean : v.count().value_or(0) != 0;
          (k2 == "reverse"sv ? start_.reverse : start_.bidir) = on;
        }
      }
      return true;
    }
    if (at.size() == 4 && k1 == "connected"sv && at[2].index == 0 && at[3].key == "local_port"sv) {
      const auto p = v.count();
      if (!p || *p > 65535) return fail_number("the local port", v);
      start_.local_port = p;
    }
    return true;
  }

  bool end_value(const JsonPath& at, const JsonScalar& v) {
    if (at.size() != 3) return true;
    Sum* s = end_sum(at[1].key);
    return !s || sum_value(*s, at[2].key, v, 0);
  }

  // A figure of a sum: of interval `interval` (from 1), or of the end (0).
  bool sum_value(Sum& s, const std::string& field, const JsonScalar& v, std::uint64_t interval) {
    const auto where = [&] { return interval ? "interval " + std::to_string(interval) : std::string("the test's end"); };
    const auto count = [&](std::uint64_t& out) {
      const auto c = v.count();
      if (!c) return fail_number("“" + field + "” in " + where(), v);
      out = *c;
      return true;
    };
    const auto real = [&](double& out, double max) {
      const auto r = v.real();
      if (!r || *r < 0 || *r > max) return fail_number("“" + field + "” in " + where(), v);
      out = *r;
      return true;
    };
    double d = 0;
    std::uint64_t n = 0;
    if (field == "start"sv) return real(s.start, kMaxSeconds);
    if (field == "end"sv) return real(s.end, kMaxSeconds);
    if (field == "bytes"sv) return count(s.bytes);
    if (field == "bits_per_second"sv) return real(s.bits_per_second, kMaxBitsPerSecond);
    if (field == "retransmits"sv) {
      if (v.negative_whole()) return true;  // iperf3 writes -1 where it could not count them
      if (!count(n)) return false;
      s.retransmits = n;
    } else if (field == "jitter_ms"sv) {
      if (!real(d, 1e9)) return false;
      s.jitter_ms = d;
    } else if (field == "lost_packets"sv || field == "packets"sv) {
      if (!count(n)) return false;
      (field == "packets"sv ? s.packets : s.lost_packets) = n;
    } else if (field == "lost_percent"sv) {
      if (!real(d, 100)) return false;
      s.lost_percent = d;
    } else if (field == "omitted"sv || field == "sender"sv) {
      if (v.kind != JsonScalar::Kind::Bool) return fail("“" + field + "” in " + where() + " is not true or false");
      if (field == "omitted"sv) s.omitted = v.boolean;
      else s.sender = v.boolean;
    }
    return true;
  }

  bool fail_number(const std::string& what, const JsonScalar& v) {
    std::string shown;
    switch (v.kind) {
      case JsonScalar::Kind::Null: shown = "null"; break;
      case JsonScalar::Kind::Bool: shown = v.boolean ? "true" : "false"; break;
      case JsonScalar::Kind::String: shown = "a text"; break;
      case JsonScalar::Kind::Number: {
        std::array<char, 32> buf;
        const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v.number());
        shown.assign(buf.data(), r.ptr);
        break;
      }
    }
    return fail("It holds a figure that cannot be right: " + what + " is " + shown);
  }

  bool stream_;
  std::string event_;
  bool seen_iperf_ = false;
  bool failed_ = false;
  bool server_seen_ = false;
  Start start_;
  std::optional<Test> test_;
  Sum main_, reverse_;
  std::uint64_t intervals_ = 0;
  EndFlow end_main_, end_reverse_;
  std::optional<std::string> error_;
};

IperfRuns finish(IperfSink& sink, const JsonScanResult& scanned) {
  IperfRuns out;
  if (!scanned.ok) {
    out.error = scanned.sink_stopped || scanned.error.empty() ? sink.reason : scanned.error;
    if (out.error.empty()) out.error = "It could not be read";
    return out;
  }
  out.runs = sink.runs.take();
  out.left_out = sink.runs.left_out();
  return out;
}

// A stream line that is a JSON value but not one event.
class LineSink : public JsonSink {
 public:
  explicit LineSink(IperfSink& inner) : inner_(inner) {}
  bool value(const JsonPath& at, const JsonScalar& v) override { return inner_.value(at, v); }
  bool open(const JsonPath& at, bool array) override { return inner_.open(at, array); }
  bool close(const JsonPath& at, bool array) override { return inner_.close(at, array); }
  bool document_end() override { return ++documents_ == 1 && inner_.document_end(); }

 private:
  IperfSink& inner_;
  int documents_ = 0;
};

}  // namespace

std::string iperf_bytes_text(double bytes) {
  static constexpr std::array<double, 5> kFactors = {1.0, 1.0 / 1024, 1.0 / (1024.0 * 1024), 1.0 / (1024.0 * 1024 * 1024),
                                                     1.0 / (1024.0 * 1024 * 1024 * 1024)};
  return scaled(bytes, 1024.0, kFactors, {"Byte", "KByte", "MByte", "GByte", "TByte"}, "s");
}

std::string iperf_rate_text(double bits_per_second) {
  static constexpr std::array<double, 5> kFactors = {1.0, 1.0 / 1000, 1.0 / 1000000, 1.0 / 1000000000,
                                                     1.0 / 1000000000000};
  return scaled(bits_per_second, 1000.0, kFactors, {"bit", "Kbit", "Mbit", "Gbit", "Tbit"}, "s/sec");
}

IperfRuns read_iperf_documents(JsonSource& source) {
  IperfSink sink(false);
  const JsonScanResult scanned = scan_json(source, sink);
  return finish(sink, scanned);
}

IperfRuns read_iperf_stream(JsonSource& source) {
  IperfSink sink(true);
  std::string line;
  std::uint64_t number = 0;
  while (source.read_line(line)) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    auto one = JsonSource::from_memory(line);
    LineSink line_sink(sink);
    const JsonScanResult scanned = scan_json(*one, line_sink);
    if (!scanned.ok) {
      // The last line, cut off as it was written: the stream stops there.
      if (scanned.cut_short && source.at_end()) break;
      IperfRuns out;
      const std::string n = std::to_string(number);
      if (scanned.sink_stopped && sink.reason.starts_with("It holds"))
        out.error = sink.reason + " (line " + n + ")";
      else if (scanned.sink_stopped)
        out.error = "Line " + n + " is not one of iperf3's events";
      else if (scanned.cut_short)
        out.error = "Line " + n + " is broken: it stops in the middle of an event";
      else
        out.error = "Line " + n + " is broken: it is not valid JSON";
      return out;
    }
  }
  JsonScanResult end;
  if (source.cancelled()) end = {false, false, "Opening it was cancelled"};
  else if (source.overlong()) end = {false, false, "It holds a line longer than 64 MB, which no run has"};
  else if (!source.read_error().empty()) end = {false, false, "It could not be read to its end: " + source.read_error()};
  if (!end.ok) return finish(sink, end);
  sink.end_of_input();
  return finish(sink, end);
}

}  // namespace trellan
