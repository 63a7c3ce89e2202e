// Shared helpers of the runner and parser tests: readable events and
// comparisons of event lists.
#pragma once

#include "core/events.hpp"
#include "core/output_parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace trellan::testing {

inline std::string num(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

inline std::string describe(const IperfEvent& ev) {
  struct {
    std::string operator()(const Interval& e) const {
      return "Interval " + num(e.mbps) + (e.record ? " " + record(*e.record) : "");
    }
    std::string operator()(const Summary& e) const {
      return "Summary " + num(e.sender_mbps) + " " + num(e.receiver_mbps);
    }
    std::string operator()(const ClientConnected& e) const { return "ClientConnected '" + e.peer + "'"; }
    std::string operator()(const ClientFinished&) const { return "ClientFinished"; }
    std::string operator()(const Listening&) const { return "Listening"; }
    std::string operator()(const Error& e) const {
      return "Error '" + (e.message.size() > 80 ? e.message.substr(0, 80) + "..." : e.message) + "'";
    }
    std::string operator()(const Exited& e) const {
      return "Exited " + std::to_string(e.code) + (e.by_signal ? " signal " + std::to_string(e.signal) : "");
    }
    std::string operator()(const SummaryDetails& e) const {
      return std::string("SummaryDetails ") + (e.bidirectional ? "bidir " : "") + "tx{" + flow(e.tx) +
             "} rx{" + flow(e.rx) + "}";
    }
    static std::string record(const IntervalRecord& r) {
      std::string s = "{" + r.start_text + "-" + r.end_text + " (" + num(r.start) + "-" + num(r.end) + ")" +
                      (r.direction == Direction::Send ? " send " : " receive ") + num(r.mbps) + " '" +
                      r.transfer + "'";
      if (r.retransmits) s += " retr " + std::to_string(*r.retransmits);
      if (r.jitter_ms) s += " jitter " + *r.jitter_ms;
      if (r.lost) s += " lost " + std::to_string(*r.lost);
      if (r.total) s += " total " + std::to_string(*r.total);
      return s + (r.omitted ? " omitted" : "") + "}";
    }
    std::string operator()(const Ping&) const { return "Ping"; }
    static std::string opt(const std::optional<double>& v) { return v ? num(*v) : "-"; }
    static std::string flow(const FlowFigures& f) {
      std::string s = opt(f.sender_mbps) + " " + opt(f.receiver_mbps);
      if (f.retransmits) s += " retr " + std::to_string(*f.retransmits);
      if (f.loss)
        s += " jitter " + f.loss->jitter_ms + " lost " + std::to_string(f.loss->lost) + "/" +
             std::to_string(f.loss->total) + " (" + f.loss->percent + "%)";
      return s;
    }
  } visitor;
  return std::visit(visitor, ev);
}

inline std::string describe(const std::vector<IperfEvent>& evs) {
  std::string out = "[";
  for (std::size_t i = 0; i < evs.size(); ++i) out += (i ? "; " : "") + describe(evs[i]);
  return out + "]";
}

// Rates are compared to a relative 1e-12, so that 9.41 Gbit/s may be
// 9410.000000000002 Mbit/s.
inline bool close_to(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (a == b) return true;
  return std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
}

inline bool close_to(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || close_to(*a, *b));
}

inline bool same_flow(const FlowFigures& a, const FlowFigures& b) {
  const auto loss = [](const FlowFigures& f) {
    return f.loss ? std::make_tuple(true, f.loss->jitter_ms, f.loss->lost, f.loss->total, f.loss->percent)
                  : std::make_tuple(false, std::string(), std::uint64_t{0}, std::uint64_t{0}, std::string());
  };
  return close_to(a.sender_mbps, b.sender_mbps) && close_to(a.receiver_mbps, b.receiver_mbps) &&
         a.retransmits == b.retransmits && loss(a) == loss(b);
}

inline bool same_record(const IntervalRecord& p, IntervalRecord q) {
  if (!close_to(p.mbps, q.mbps)) return false;
  q.mbps = p.mbps;
  // Expectations written without the rate's printed text leave it out.
  if (q.bitrate.empty()) q.bitrate = p.bitrate;
  return p == q;
}

// `records`: whether the intervals' records count too.
inline bool same_event(const IperfEvent& a, const IperfEvent& b, bool records = true) {
  if (a.index() != b.index()) return false;
  if (auto* x = std::get_if<Interval>(&a)) {
    const auto& y = std::get<Interval>(b);
    if (!close_to(x->mbps, y.mbps)) return false;
    if (!records) return true;
    return x->record.has_value() == y.record.has_value() && (!x->record || same_record(*x->record, *y.record));
  }
  if (auto* x = std::get_if<Summary>(&a)) {
    const auto& y = std::get<Summary>(b);
    return close_to(x->sender_mbps, y.sender_mbps) && close_to(x->receiver_mbps, y.receiver_mbps);
  }
  if (auto* x = std::get_if<ClientConnected>(&a)) return x->peer == std::get<ClientConnected>(b).peer;
  if (auto* x = std::get_if<Error>(&a)) return x->message == std::get<Error>(b).message;
  if (auto* x = std::get_if<Exited>(&a)) {
    const auto& y = std::get<Exited>(b);
    return x->code == y.code && x->by_signal == y.by_signal && x->signal == y.signal;
  }
  if (auto* x = std::get_if<SummaryDetails>(&a)) {
    const auto& y = std::get<SummaryDetails>(b);
    return x->bidirectional == y.bidirectional && same_flow(x->tx, y.tx) && same_flow(x->rx, y.rx);
  }
  return true;
}

// Interval records have tests of their own: a list that expects none is
// compared without them.
inline ::testing::AssertionResult events_eq(const std::vector<IperfEvent>& actual,
                                            const std::vector<IperfEvent>& expected) {
  const bool records = std::any_of(expected.begin(), expected.end(), [](const IperfEvent& e) {
    const auto* i = std::get_if<Interval>(&e);
    return i && i->record;
  });
  bool same = actual.size() == expected.size();
  for (std::size_t i = 0; same && i < actual.size(); ++i) same = same_event(actual[i], expected[i], records);
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << describe(actual) << "\n   expected "
                                       << describe(expected);
}

// The events without the SummaryDetails ones, for checks of the other rules.
inline std::vector<IperfEvent> without_details(std::vector<IperfEvent> evs) {
  std::erase_if(evs, [](const IperfEvent& e) { return std::holds_alternative<SummaryDetails>(e); });
  return evs;
}

}  // namespace trellan::testing
