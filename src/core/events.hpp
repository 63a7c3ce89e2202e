// The events a run of iperf3 produces, from its output lines and its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/ping_parser.hpp"
#include "core/run_record.hpp"

namespace trellan {

// An interval line: `mbps` is what the gauge shows, the interval's total so
// far; `record` is the interval's record for the run's log where the line is
// its interval's figure (where several streams run, only their "[SUM]" line).
struct Interval {
  double mbps;
  std::optional<IntervalRecord> record = std::nullopt;
};
struct Summary { double sender_mbps; double receiver_mbps; };
struct ClientConnected { std::string peer; };
struct ClientFinished {};
struct Listening {};
struct Error { std::string message; };
// `code` is the exit status, or -1 when the child ended by a signal (then
// `by_signal` and `signal` say which), waiting failed (then `status_unknown`)
// or the launch failed; 0 when the run was stopped through its handle.
struct Exited {
  std::int32_t code;
  bool by_signal = false;
  int signal = 0;
  bool status_unknown = false;
};

// The loss figures of a UDP summary line, numbers as iperf3 printed them:
// "0.013 ms  23439/646767 (3.6%)".
struct UdpLoss {
  std::string jitter_ms;
  std::uint64_t lost = 0;
  std::uint64_t total = 0;
  std::string percent;
};

// What the summary lines of one flow have said so far. Each value comes from
// the line the rates came from: the retransmits (TCP) from the sender line
// that gave `sender_mbps`, the loss (UDP) from the receiver line that gave
// `receiver_mbps`.
struct FlowFigures {
  std::optional<double> sender_mbps;
  std::optional<std::uint64_t> retransmits;
  std::optional<double> receiver_mbps;
  std::optional<UdpLoss> loss;
};

// Sent after every summary line (sender or receiver): the end figures of the
// test known so far. In a bidirectional test `tx` is this machine's outgoing
// flow and `rx` its incoming one; otherwise `tx` holds the test's only flow
// and `rx` stays empty.
struct SummaryDetails {
  bool bidirectional = false;
  FlowFigures tx;
  FlowFigures rx;
};

// One line of a run's ping, with when it was read (microseconds on the
// monotonic clock). A ping run's channel carries these, Error and Exited.
struct Ping {
  PingEvent event;
  std::int64_t at_us = 0;
};

using IperfEvent = std::variant<Interval, Summary, ClientConnected, ClientFinished,
                                Listening, Error, Exited, SummaryDetails, Ping>;

}  // namespace trellan
