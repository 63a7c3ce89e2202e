// Shared helpers of the runner and parser tests: readable events and
// comparisons of event lists.
#pragma once

#include "iperf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace trellan::testing {

inline std::string num(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

inline std::string describe(const IperfEvent& ev) {
  struct {
    std::string operator()(const Interval& e) const { return "Interval " + num(e.mbps); }
    std::string operator()(const Summary& e) const {
      return "Summary " + num(e.sender_mbps) + " " + num(e.receiver_mbps);
    }
    std::string operator()(const ClientConnected& e) const { return "ClientConnected '" + e.peer + "'"; }
    std::string operator()(const ClientFinished&) const { return "ClientFinished"; }
    std::string operator()(const Listening&) const { return "Listening"; }
    std::string operator()(const Error& e) const {
      return "Error '" + (e.message.size() > 80 ? e.message.substr(0, 80) + "..." : e.message) + "'";
    }
    std::string operator()(const Exited& e) const { return "Exited " + std::to_string(e.code); }
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

inline bool same_event(const IperfEvent& a, const IperfEvent& b) {
  if (a.index() != b.index()) return false;
  if (auto* x = std::get_if<Interval>(&a)) return close_to(x->mbps, std::get<Interval>(b).mbps);
  if (auto* x = std::get_if<Summary>(&a)) {
    const auto& y = std::get<Summary>(b);
    return close_to(x->sender_mbps, y.sender_mbps) && close_to(x->receiver_mbps, y.receiver_mbps);
  }
  if (auto* x = std::get_if<ClientConnected>(&a)) return x->peer == std::get<ClientConnected>(b).peer;
  if (auto* x = std::get_if<Error>(&a)) return x->message == std::get<Error>(b).message;
  if (auto* x = std::get_if<Exited>(&a)) return x->code == std::get<Exited>(b).code;
  return true;
}

inline ::testing::AssertionResult events_eq(const std::vector<IperfEvent>& actual,
                                            const std::vector<IperfEvent>& expected) {
  bool same = actual.size() == expected.size();
  for (std::size_t i = 0; same && i < actual.size(); ++i) same = same_event(actual[i], expected[i]);
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << describe(actual) << "\n   expected "
                                       << describe(expected);
}

// Every event of a run, up to the closing of its channel.
inline std::vector<IperfEvent> drain(EventReceiver& rx) {
  std::vector<IperfEvent> out;
  while (auto ev = rx.recv()) out.push_back(std::move(*ev));
  return out;
}

}  // namespace trellan::testing
