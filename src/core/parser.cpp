// iperf3's human-readable output, line by line, into events.
#include "core/output_parser.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace trellan {

namespace {

constexpr std::string_view kBitsPerSec = "bits/sec";
constexpr std::string_view kAccepted = "Accepted connection from";

// Whether `line` contains `text`. Searches for the byte text[anchor], chosen
// to be rare in iperf3's output, and compares the text around each hit.
bool contains(std::string_view line, std::string_view text, std::size_t anchor) {
  const std::size_t n = line.size(), m = text.size();
  if (m > n) return false;
  const char* p = line.data() + anchor;
  const char* const last = line.data() + (n - m) + anchor;  // last possible anchor
  while (p <= last) {
    const void* hit = std::memchr(p, text[anchor], static_cast<std::size_t>(last - p) + 1);
    if (!hit) return false;
    const char* const at = static_cast<const char*>(hit);
    if (std::memcmp(at - anchor, text.data(), m) == 0) return true;
    p = at + 1;
  }
  return false;
}

bool has_accepted(std::string_view line) { return contains(line, kAccepted, 0); }
bool has_listening(std::string_view line) { return contains(line, "Server listening", 15); }
bool has_id_header(std::string_view line) { return contains(line, "[ ID]", 2); }
bool has_sum(std::string_view line) { return contains(line, "[SUM]", 2); }
bool has_sender(std::string_view line) { return contains(line, "sender", 3); }
bool has_receiver(std::string_view line) { return contains(line, "receiver", 5); }
bool has_omitted(std::string_view line) { return contains(line, "(omitted)", 1); }

// Byte classes for the tokenizer: most bytes are plain token bytes; ASCII
// whitespace is whitespace; a few lead bytes may start a multi-byte
// White_Space character and need a closer look.
enum : unsigned char { kPlain = 0, kAsciiSpace = 1, kMaybeSpace = 2 };
constexpr std::array<unsigned char, 256> kByteClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c : {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x20}) table[static_cast<std::size_t>(c)] = kAsciiSpace;
  for (int c : {0xc2, 0xe1, 0xe2, 0xe3}) table[static_cast<std::size_t>(c)] = kMaybeSpace;
  return table;
}();

// Length of the whitespace character at s[i], or 0.
inline std::size_t ws_at(std::string_view s, std::size_t i) {
  switch (kByteClass[static_cast<unsigned char>(s[i])]) {
    case kPlain: return 0;
    case kAsciiSpace: return 1;
    default: return ws_len_front(std::string_view(s.data() + i, s.size() - i));
  }
}

// Past the whitespace that starts at p.
const char* skip_ws(const char* p, const char* end) {
  for (;;) {
    while (p != end && *p == ' ') ++p;  // most of the whitespace in iperf3's lines
    if (p == end) return p;
    const unsigned char cls = kByteClass[static_cast<unsigned char>(*p)];
    if (cls == kPlain) return p;
    if (cls == kAsciiSpace) {
      ++p;
      continue;
    }
    const std::size_t n = ws_len_front(std::string_view(p, static_cast<std::size_t>(end - p)));
    if (n == 0) return p;
    p += n;
  }
}

// The end of the token that starts at p: the first whitespace after it, or
// `end`.
const char* token_end(const char* p, const char* end) {
  for (;; ++p) {
    while (p != end && kByteClass[static_cast<unsigned char>(*p)] == kPlain) ++p;
    if (p == end || kByteClass[static_cast<unsigned char>(*p)] == kAsciiSpace ||
        ws_len_front(std::string_view(p, static_cast<std::size_t>(end - p))) != 0)
      return p;
  }
}

// Walks the tokens of a line (maximal runs of non-whitespace) without
// allocating.
class TokenWalker {
 public:
  explicit TokenWalker(std::string_view s, std::size_t from = 0)
      : pos_(s.data() + from), end_(s.data() + s.size()) {}

  bool next(std::string_view& token) {
    const char* const start = skip_ws(pos_, end_);
    if (start == end_) {
      pos_ = end_;
      return false;
    }
    pos_ = token_end(start, end_);
    token = std::string_view(start, static_cast<std::size_t>(pos_ - start));
    return true;
  }

 private:
  const char* pos_;
  const char* end_;
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

// The direction a line of a bidirectional test belongs to: the role tag right
// after its ID, as in "[  5][TX-C]" or "[SUM][RX-S]".
enum class Role { kNone, kTx, kRx };

Role role_of(std::string_view line) {
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return Role::kNone;
  const std::string_view tag = line.substr(close + 1, 6);
  if (tag == "[TX-C]" || tag == "[TX-S]") return Role::kTx;
  if (tag == "[RX-C]" || tag == "[RX-S]") return Role::kRx;
  return Role::kNone;
}

bool all_digits(std::string_view s) {
  return !s.empty() && s.size() <= 19 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t digits_value(std::string_view s) {
  std::uint64_t value = 0;
  std::from_chars(s.data(), s.data() + s.size(), value);
  return value;
}

// What a summary line says after its bitrate: a TCP sender line's retransmit
// count ("3 sender"), a UDP line's jitter and loss ("0.013 ms 23439/646767
// (3.6%) receiver").
struct LineFigures {
  std::optional<std::uint64_t> retransmits;
  std::optional<UdpLoss> loss;
};

LineFigures figures_after(std::string_view line, std::size_t from) {
  LineFigures out;
  TokenWalker walker(line, from);
  std::string_view t[4];
  std::size_t n = 0;
  while (n < 4 && walker.next(t[n])) ++n;
  if (n >= 1 && all_digits(t[0])) {
    out.retransmits = digits_value(t[0]);
    return out;
  }
  if (n < 4 || !parse_double(t[0]) || t[1] != "ms") return out;
  const std::size_t slash = t[2].find('/');
  if (slash == std::string_view::npos) return out;
  const std::string_view lost = t[2].substr(0, slash), total = t[2].substr(slash + 1);
  if (!all_digits(lost) || !all_digits(total)) return out;
  if (t[3].size() < 4 || !t[3].starts_with('(') || !t[3].ends_with("%)")) return out;
  const std::string_view percent = t[3].substr(1, t[3].size() - 3);
  if (!parse_double(percent)) return out;
  out.loss = UdpLoss{std::string(t[0]), digits_value(lost), digits_value(total), std::string(percent), std::nullopt};
  return out;
}

// The transfer of an interval line, from what stands between "sec" and the
// rate: a plain number and its unit ("2.98 GBytes"), or nothing.
struct Transfer {
  std::string_view number, unit;
};

std::optional<Transfer> transfer_of(std::string_view between) {
  TokenWalker walker(between);
  Transfer t;
  std::string_view more;
  if (!walker.next(t.number) || !walker.next(t.unit) || walker.next(more)) return std::nullopt;
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (t.number.size() > 24 || !std::ranges::any_of(t.number, is_digit) ||
      !std::ranges::all_of(t.number, [&](char c) { return is_digit(c) || c == '.'; }))
    return std::nullopt;
  if (!(t.unit == "Bytes" || t.unit == "KBytes" || t.unit == "MBytes" || t.unit == "GBytes" ||
        t.unit == "TBytes"))
    return std::nullopt;
  return t;
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
    if (has_accepted(line)) return on_accepted(line.substr(line.find(kAccepted) + kAccepted.size()));
    if (has_listening(line)) return on_listening();
  }

  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t n = ws_at(line, start);
    if (n == 0) break;
    start += n;
  }
  if (start == line.size() || line[start] != '[') return {};
  if (has_id_header(line)) {
    on_header(line);
    return {};
  }

  // One pass over the tokens finds both the bitrate (the first token ending
  // in "bits/sec" and the one before it) and the interval key (the token
  // before the first "sec").
  std::string_view token, previous, number, unit, key, sec;
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
      sec = token;
    }
    if (have_unit && have_sec) break;
    previous = token;
    first = false;
  }
  if (!have_unit || unit_first) {
    // "[  5] local 127.0.0.1 port 40502 connected to 127.0.0.1 port 5201":
    // one stream of the test.
    if (!have_unit && line.find(" connected to ") != std::string_view::npos) ++connected_streams_;
    return {};
  }
  const auto v = bitrate_of(number, unit);
  if (!v) return {};

  const bool is_sum = has_sum(line);
  std::vector<IperfEvent> out;
  out.reserve(3);  // the most a data line gives
  const auto after_unit = static_cast<std::size_t>(unit.data() + unit.size() - line.data());
  const bool sender = has_sender(line), receiver = has_receiver(line);
  if (sender || receiver) {
    on_summary(line, after_unit, *v, is_sum, sender, receiver, out);
  } else {
    // What stands between "sec" and the rate: the transfer, for the record.
    std::string_view between;
    if (have_key && sec.data() < number.data()) {
      const char* const from = sec.data() + sec.size();
      between = std::string_view(from, static_cast<std::size_t>(number.data() - from));
    }
    on_interval(line, have_key ? std::optional<std::string_view>(key) : std::nullopt, between,
                after_unit, *v, is_sum, out);
  }
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
  flow_ = tx_ = rx_ = Flow{};
  header_direction_ = Direction::Send;
  header_udp_ = false;
  connected_streams_ = 0;
  saw_sum_ = false;
  last_record_[0] = last_record_[1] = LastRecord{};
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

void OutputParser::on_summary(std::string_view line, std::size_t after_unit, double v,
                              bool is_sum, bool sender, bool receiver,
                              std::vector<IperfEvent>& out) {
  const Role role = role_of(line);
  Flow& flow = role == Role::kNone ? flow_ : role == Role::kTx ? tx_ : rx_;
  const LineFigures extra = figures_after(line, after_unit);

  if (sender) {
    // A per-stream sender line after the "[SUM]" total does not replace it.
    if (is_sum || !flow.sender_from_sum) {
      flow.figures.sender_mbps = v;
      flow.figures.retransmits = extra.retransmits;
      if (is_sum) flow.sender_from_sum = true;
    }
  }
  if (receiver && (is_sum || !flow.receiver_from_sum)) {
    flow.figures.receiver_mbps = v;
    flow.figures.loss = extra.loss;
    if (is_sum) flow.receiver_from_sum = true;
  }

  if (role == Role::kNone) {
    if (receiver)
      out.emplace_back(Summary{flow_.figures.sender_mbps.value_or(0.0), *flow_.figures.receiver_mbps});
    out.emplace_back(SummaryDetails{false, flow_.figures, {}});
  } else {
    // Both directions of a bidirectional test: what this machine sent, as its
    // sender lines say, and what it received, as its receiver lines say.
    out.emplace_back(Summary{tx_.figures.sender_mbps.value_or(0.0),
                             rx_.figures.receiver_mbps.value_or(0.0)});
    out.emplace_back(SummaryDetails{true, tx_.figures, rx_.figures});
  }
  if (receiver && server_mode_ && client_active_) {
    out.emplace_back(ClientFinished{});
    client_active_ = false;
  }
}

void OutputParser::on_interval(std::string_view line, std::optional<std::string_view> key,
                               std::string_view between, std::size_t after_unit, double v,
                               bool is_sum, std::vector<IperfEvent>& out) {
  // Where several streams run, iperf3 prints each stream's line and then a
  // "[SUM]" line with their total, the interval's figure. On the gauge the
  // streams' lines add up until it comes; it replaces them, a second one of
  // the same interval (a bidirectional test's other direction) adds to it,
  // and a stream's line after it counts no more. The run's record takes the
  // "[SUM]" lines, and a stream's own line only where it is the one stream
  // of its direction and no "[SUM]" line has come in the test.
  const bool same_interval =
      key.has_value() == has_interval_key_ && (!key || *key == interval_key_);
  if (!same_interval) {
    has_interval_key_ = key.has_value();
    interval_key_.assign(key.value_or(std::string_view()));
    interval_mbps_ = 0.0;
    interval_from_sum_ = false;
  } else if (!is_sum && interval_from_sum_) {
    return;  // a stream's line after the total of its interval
  }
  if (is_sum) {
    interval_mbps_ = interval_from_sum_ ? interval_mbps_ + v : v;
    interval_from_sum_ = true;
    saw_sum_ = true;
  } else {
    interval_mbps_ += v;
  }
  Interval& event = std::get<Interval>(out.emplace_back(Interval{interval_mbps_}));

  if (!key || between.empty() || (!is_sum && saw_sum_)) return;
  const Role role = role_of(line);
  if (!is_sum && connected_streams_ > (role == Role::kNone ? 1u : 2u)) return;
  const Direction direction = role == Role::kTx ? Direction::Send
                              : role == Role::kRx ? Direction::Receive
                                                  : header_direction_;
  if (!fill_record(event.record.emplace(), line, *key, between, direction, after_unit, v))
    event.record.reset();
}

// A column-header line ("[ ID] Interval  Transfer  Bitrate  Retr  Cwnd")
// says which way the untagged lines below it go, from this machine's point
// of view: a receiving UDP side shows jitter, a sending one only its
// datagrams, a sending TCP side its retransmits; what is left receives TCP.
void OutputParser::on_header(std::string_view line) {
  header_udp_ = line.find("Datagrams") != std::string_view::npos;
  if (line.find("Jitter") != std::string_view::npos)
    header_direction_ = Direction::Receive;
  else if (header_udp_ || line.find("Retr") != std::string_view::npos)
    header_direction_ = Direction::Send;
  else
    header_direction_ = Direction::Receive;
}

bool OutputParser::fill_record(IntervalRecord& r, std::string_view line, std::string_view key,
                               std::string_view between, Direction direction,
                               std::size_t after_unit, double v) {
  const std::size_t dash = key.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == key.size()) return false;
  const auto transfer = transfer_of(between);
  if (!transfer) return false;
  const std::string_view start = key.substr(0, dash), end = key.substr(dash + 1);
  const bool omitted = has_omitted(line.substr(after_unit));

  // iperf3 prints the last interval again when a client goes early.
  LastRecord& last = last_record_[direction == Direction::Send ? 0 : 1];
  if (last.valid && last.omitted == omitted && last.start == start && last.end == end) return false;
  last.start.assign(start);
  last.end.assign(end);
  last.omitted = omitted;
  last.valid = true;

  r.start_text.assign(start);
  r.end_text.assign(end);
  r.start = parse_double(start).value_or(0.0);
  r.end = parse_double(end).value_or(r.start);
  r.direction = direction;
  r.omitted = omitted;
  r.mbps = v;
  // The rate as printed: its number and unit, which follow the transfer.
  const auto rate_from = static_cast<std::size_t>(between.data() + between.size() - line.data());
  const std::string_view rate = trim_ws(line.substr(rate_from, after_unit - rate_from));
  const std::size_t gap = rate.find_first_of(" \t");
  r.bitrate.assign(rate.substr(0, gap));
  if (gap != std::string_view::npos) r.bitrate.append(" ").append(trim_ws(rate.substr(gap)));
  r.transfer.reserve(transfer->number.size() + 1 + transfer->unit.size());
  r.transfer.append(transfer->number).append(" ").append(transfer->unit);
  // After the rate: a sending TCP side's retransmits, a sending UDP side's
  // datagram count, a receiving UDP side's jitter and loss.
  if (r.direction == Direction::Send) {
    TokenWalker walker(line, after_unit);
    std::string_view count;
    if (walker.next(count) && all_digits(count)) {
      if (header_udp_)
        r.total = digits_value(count);
      else
        r.retransmits = digits_value(count);
    }
  } else if (header_udp_) {
    if (const auto loss = figures_after(line, after_unit).loss) {
      r.jitter_ms = loss->jitter_ms;
      r.lost = loss->lost;
      r.total = loss->total;
    }
  }
  return true;
}

}  // namespace trellan
