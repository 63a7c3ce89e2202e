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
// `at_us` is when its line was read (microseconds on the monotonic clock), as
// the runner stamps it; 0 where no one did (a run read from a file).
struct Interval {
  double mbps;
  std::optional<IntervalRecord> record = std::nullopt;
  std::int64_t at_us = 0;
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

// One line of a run's ping, with when ping printed it (microseconds on the
// monotonic clock: ping's own -D time, or when it was read for a line
// without one). A ping run's channel carries these, Error and Exited.
struct Ping {
  PingEvent event;
  std::int64_t at_us = 0;
};

using IperfEvent = std::variant<Interval, Summary, ClientConnected, ClientFinished,
                                Listening, Error, Exited, SummaryDetails, Ping>;

}  // namespace trellan
