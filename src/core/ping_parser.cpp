#include "core/ping_parser.hpp"

#include <charconv>

#include "core/text.hpp"

namespace trellan {
namespace {

// The number right after `key` in `line` ("icmp_seq=12" → 12).
std::optional<std::uint64_t> number_after(std::string_view line, std::string_view key) {
  const std::size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const char* first = line.data() + at + key.size();
  const char* last = line.data() + line.size();
  std::uint64_t value = 0;
  const auto r = std::from_chars(first, last, value);
  if (r.ec != std::errc() || r.ptr == first) return std::nullopt;
  return value;
}

// "time=0.031 ms" → 0.031; "time=1234 ms" (ping drops the decimals at and
// above 100 ms) → 1234.
std::optional<double> time_ms(std::string_view line) {
  constexpr std::string_view key = " time=";
  const std::size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + key.size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos || rest.substr(space + 1, 2) != "ms") return std::nullopt;
  const auto v = parse_double(rest.substr(0, space));
  if (!v || !(*v >= 0) || *v > 1e9) return std::nullopt;  // also rejects NaN
  return v;
}

// The line without the time -D puts before it.
std::string_view unstamped(std::string_view line) {
  if (!line.starts_with('[')) return line;
  const std::size_t close = line.find("] ");
  return close == std::string_view::npos ? line : line.substr(close + 2);
}

}  // namespace

std::optional<std::int64_t> ping_stamp_us(std::string_view line) {
  if (!line.starts_with('[')) return std::nullopt;
  const std::size_t close = line.find("] ");
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view stamp = line.substr(1, close - 1);
  // Seconds, a point and exactly six digits of microseconds.
  const std::size_t point = stamp.find('.');
  if (point == std::string_view::npos || point == 0 || stamp.size() - point - 1 != 6) return std::nullopt;
  std::int64_t seconds = 0, micros = 0;
  const char* s_end = stamp.data() + point;
  const auto s = std::from_chars(stamp.data(), s_end, seconds);
  const auto m = std::from_chars(s_end + 1, stamp.data() + stamp.size(), micros);
  if (s.ec != std::errc() || s.ptr != s_end || m.ec != std::errc() || m.ptr != stamp.data() + stamp.size() ||
      seconds < 0 || micros < 0 || seconds > 1'000'000'000'000)
    return std::nullopt;
  return seconds * 1'000'000 + micros;
}

std::optional<PingEvent> parse_ping_line(std::string_view line) {
  line = unstamped(line);
  if (line.starts_with("no answer yet for ")) {
    if (auto seq = number_after(line, "icmp_seq=")) return PingUnanswered{*seq, {}};
    return std::nullopt;
  }
  if (line.find(" bytes from ") != std::string_view::npos) {
    const auto seq = number_after(line, " icmp_seq=");
    const auto rtt = time_ms(line);
    if (!seq || !rtt) return std::nullopt;
    return PingReply{*seq, *rtt, line.ends_with("(DUP!)")};
  }
  if (line.starts_with("From ")) {
    // "From 10.77.0.1 icmp_seq=1 Destination Host Unreachable"
    const auto seq = number_after(line, " icmp_seq=");
    if (!seq) return std::nullopt;
    const std::size_t at = line.find(" icmp_seq=");
    std::string_view rest = line.substr(at + 10);
    const std::size_t space = rest.find(' ');
    const std::string_view reason =
        space == std::string_view::npos ? std::string_view() : trim_ws(rest.substr(space + 1));
    return PingUnanswered{*seq, std::string(reason)};
  }
  return std::nullopt;
}

std::optional<PingFailure> parse_ping_error(std::string_view line) {
  line = trim_ws(line);
  if (line.starts_with("ping: ")) line.remove_prefix(6);
  if (line.empty() || line.starts_with("socktype: ") || line.starts_with("=> ") ||
      line.starts_with("Warning: "))
    return std::nullopt;
  return PingFailure{std::string(line)};
}

}  // namespace trellan
