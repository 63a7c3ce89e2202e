// iperf3's human-readable output, line by line, into events.
#include "iperf.hpp"
#include "text.hpp"

namespace trellan {

namespace {

constexpr std::string_view kBitsPerSec = "bits/sec";
constexpr std::string_view kAccepted = "Accepted connection from";

bool contains(std::string_view line, std::string_view text) {
  return line.find(text) != std::string_view::npos;
}

// Length of the whitespace character at s[i], with a fast path for ASCII.
inline std::size_t ws_at(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return (c == 0x20 || static_cast<unsigned>(c - 0x09) <= 4u) ? 1 : 0;
  return ws_len_front(std::string_view(s.data() + i, s.size() - i));
}

// Walks the tokens of a line (maximal runs of non-whitespace) without
// allocating.
class TokenWalker {
 public:
  explicit TokenWalker(std::string_view s, std::size_t from = 0) : s_(s), pos_(from) {}

  bool next(std::string_view& token) {
    while (pos_ < s_.size()) {
      const std::size_t n = ws_at(s_, pos_);
      if (n == 0) break;
      pos_ += n;
    }
    if (pos_ >= s_.size()) return false;
    const std::size_t start = pos_;
    while (pos_ < s_.size() && ws_at(s_, pos_) == 0) ++pos_;
    token = s_.substr(start, pos_ - start);
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_;
};

// The rate given by a number token and the unit token after it, in Mbit/s.
std::optional<double> bitrate_of(std::string_view number, std::string_view unit) {
  const std::string_view prefix = unit.substr(0, unit.size() - kBitsPerSec.size());
  enum { kDivide, kMultiply } op;
  double factor;
  if (prefix.empty()) {
    op = kDivide, factor = 1e6;
  } else if (prefix == "K" || prefix == "k") {
    op = kDivide, factor = 1e3;
  } else if (prefix == "M") {
    op = kMultiply, factor = 1.0;
  } else if (prefix == "G") {
    op = kMultiply, factor = 1e3;
  } else if (prefix == "T") {
    op = kMultiply, factor = 1e6;
  } else {
    return std::nullopt;
  }
  const auto value = parse_double(number);
  if (!value) return std::nullopt;
  return op == kDivide ? *value / factor : *value * factor;
}

}  // namespace

std::optional<double> parse_bitrate(std::span<const std::string_view> tokens) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].ends_with(kBitsPerSec)) {
      if (i == 0) return std::nullopt;
      return bitrate_of(tokens[i - 1], tokens[i]);
    }
  }
  return std::nullopt;
}

std::optional<std::string> stderr_message(std::string_view line) {
  constexpr std::string_view kPrefix = "iperf3: ";
  constexpr std::string_view kErrorPrefix = "iperf3: error - ";
  const std::string_view t = trim_ws(line);
  if (t.empty() || t == "iperf3: exiting") return std::nullopt;
  if (t.starts_with(kErrorPrefix)) return std::string(t.substr(kErrorPrefix.size()));
  if (t.starts_with(kPrefix)) return std::string(t.substr(kPrefix.size()));
  return std::string(t);
}

OutputParser::OutputParser(bool server_mode) : server_mode_(server_mode) {}

std::vector<IperfEvent> OutputParser::feed_line(std::string_view line) {
  if (server_mode_) {
    if (const auto pos = line.find(kAccepted); pos != std::string_view::npos)
      return on_accepted(line.substr(pos + kAccepted.size()));
    if (contains(line, "Server listening")) return on_listening();
  }

  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t n = ws_at(line, start);
    if (n == 0) break;
    start += n;
  }
  if (start == line.size() || line[start] != '[') return {};
  if (contains(line, "[ ID]")) return {};

  // One pass over the tokens finds both the bitrate (the first token ending
  // in "bits/sec" and the one before it) and the interval key (the token
  // before the first "sec").
  std::string_view token, previous, number, unit, key;
  bool first = true, have_unit = false, unit_first = false, have_sec = false, have_key = false;
  TokenWalker walker(line, start);
  while (walker.next(token)) {
    if (!have_unit && token.ends_with(kBitsPerSec)) {
      have_unit = true;
      unit = token;
      unit_first = first;
      number = previous;
    }
    if (!have_sec && token == "sec") {
      have_sec = true;
      have_key = !first;
      key = previous;
    }
    if (have_unit && have_sec) break;
    previous = token;
    first = false;
  }
  if (!have_unit || unit_first) return {};
  const auto v = bitrate_of(number, unit);
  if (!v) return {};

  const bool is_sum = contains(line, "[SUM]");
  std::vector<IperfEvent> out;
  if (contains(line, "sender") || contains(line, "receiver"))
    on_summary(line, *v, is_sum, out);
  else
    on_interval(key, have_key, *v, is_sum, out);
  return out;
}

std::vector<IperfEvent> OutputParser::on_accepted(std::string_view after_phrase) {
  std::string_view peer = trim_ws(after_phrase);
  if (const auto comma = peer.find(','); comma != std::string_view::npos)
    peer = trim_ws(peer.substr(0, comma));

  // A new client starts a new test.
  has_interval_key_ = false;
  interval_key_.clear();
  interval_mbps_ = 0.0;
  interval_from_sum_ = false;
  sender_mbps_.reset();
  sender_from_sum_ = false;
  receiver_mbps_.reset();
  receiver_from_sum_ = false;
  client_active_ = true;

  std::vector<IperfEvent> out;
  out.emplace_back(ClientConnected{std::string(peer)});
  return out;
}

std::vector<IperfEvent> OutputParser::on_listening() {
  std::vector<IperfEvent> out;
  if (client_active_) out.emplace_back(ClientFinished{});
  out.emplace_back(Listening{});
  client_active_ = false;
  return out;
}

void OutputParser::on_summary(std::string_view line, double v, bool is_sum,
                              std::vector<IperfEvent>& out) {
  if (contains(line, "sender")) {
    // A per-stream sender line after the "[SUM]" total does not replace it.
    if (is_sum || !sender_from_sum_) {
      sender_mbps_ = v;
      if (is_sum) sender_from_sum_ = true;
    }
  }
  if (!contains(line, "receiver")) return;
  if (is_sum) {
    receiver_mbps_ = v;
    receiver_from_sum_ = true;
  } else if (!receiver_from_sum_) {
    receiver_mbps_ = v;
  }
  out.emplace_back(Summary{sender_mbps_.value_or(0.0), *receiver_mbps_});
  if (server_mode_ && client_active_) {
    out.emplace_back(ClientFinished{});
    client_active_ = false;
  }
}

void OutputParser::on_interval(std::string_view key, bool has_key, double v, bool is_sum,
                               std::vector<IperfEvent>& out) {
  const bool same_interval =
      has_key == has_interval_key_ && (!has_key || key == interval_key_);
  if (!same_interval) {
    has_interval_key_ = has_key;
    interval_key_.assign(has_key ? key : std::string_view());
    interval_mbps_ = v;
    interval_from_sum_ = is_sum;
    out.emplace_back(Interval{v});
    return;
  }
  if (is_sum) {
    // A "[SUM]" line replaces the per-stream total before it; a further
    // "[SUM]" line of the same interval (both directions) adds to it.
    interval_mbps_ = interval_from_sum_ ? interval_mbps_ + v : v;
    interval_from_sum_ = true;
    out.emplace_back(Interval{interval_mbps_});
    return;
  }
  if (interval_from_sum_) return;  // a per-stream line after the total
  interval_mbps_ += v;
  out.emplace_back(Interval{interval_mbps_});
}

}  // namespace trellan
