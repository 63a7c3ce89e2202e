// What iputils ping prints, with -n -O -D, as events: a reply with its time, a
// probe that got no answer (yet), and a reason ping gives for failing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace trellan {

// "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.031 ms [(DUP!)]".
struct PingReply {
  std::uint64_t seq = 0;
  double rtt_ms = 0;
  bool duplicate = false;
};

// "no answer yet for icmp_seq=3": printed when the next probe goes out and
// this one is still unanswered; a late reply may still come. "From 10.0.0.1
// icmp_seq=1 Destination Host Unreachable" also says a probe went
// unanswered, and why (`reason`).
struct PingUnanswered {
  std::uint64_t seq = 0;
  std::string reason;
};

// Why ping could not run, in its own words, without the "ping: " it starts
// with: "nosuch.invalid: Name or service not known".
struct PingFailure {
  std::string reason;
};

using PingEvent = std::variant<PingReply, PingUnanswered, PingFailure>;

// One line of ping's standard output, with or without the time -D puts
// before it; nothing for the lines that say nothing about a probe (the
// "PING …" header, the statistics at the end).
std::optional<PingEvent> parse_ping_line(std::string_view line);

// The time -D puts before a line ("[1796786187.103274] 64 bytes from …"):
// when ping printed it, in microseconds since the epoch (the system's wall
// clock). ping prints a reply as it reads it and "no answer yet" as it
// sends the next probe. None for a line without it.
std::optional<std::int64_t> ping_stamp_us(std::string_view line);

// One line of ping's standard error: a failure, or nothing for the lines
// that only explain one ("socktype: SOCK_RAW", "=> missing cap_net_raw…").
std::optional<PingFailure> parse_ping_error(std::string_view line);

}  // namespace trellan
