#include "core/text.hpp"

#include <glib.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <algorithm>
#include <limits>
#include <string>
#include <system_error>

namespace trellan {

namespace {

// Length of the White_Space character that `s` ends with, or 0.
std::size_t ws_len_back(std::string_view s) {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  if (static_cast<unsigned char>(s[n - 1]) < 0x80) return ws_len_front(s.substr(n - 1));
  if (n >= 2 && ws_len_front(s.substr(n - 2)) == 2) return 2;
  if (n >= 3 && ws_len_front(s.substr(n - 3)) == 3) return 3;
  return 0;
}

bool ascii_iequals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits with an optional fraction (at least one digit in all), then an
// optional exponent with at least one digit.
bool is_decimal_number(std::string_view s) {
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::string_view trim_ws(std::string_view s) {
  while (std::size_t n = ws_len_front(s)) s.remove_prefix(n);
  while (std::size_t n = ws_len_back(s)) s.remove_suffix(n);
  return s;
}

std::vector<std::string_view> split_ws(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (std::size_t n = ws_len_front(s.substr(i))) {
      i += n;
      continue;
    }
    const std::size_t start = i;
    while (i < s.size() && ws_len_front(s.substr(i)) == 0) ++i;
    out.push_back(s.substr(start, i - start));
  }
  return out;
}

std::string fixed_text(double v, int decimals) {
  // The common case by hand: a number of moderate size whose next decimal
  // does not stand near a half. Within these bounds `scaled` is off by less
  // than 2^-21, so the rounding below is the one printf makes; to_chars's
  // exact reading, far slower, takes the rest.
  static constexpr std::uint64_t kScale[] = {1, 10, 100, 1000};
  if (decimals >= 0 && decimals <= 3 && v >= 0 && !std::signbit(v) && v < 4e9 / kScale[decimals]) {
    const double scaled = v * static_cast<double>(kScale[decimals]);
    const double whole = std::floor(scaled);
    const double part = scaled - whole;
    if (std::fabs(part - 0.5) > 1e-5) {
      const std::uint64_t n = static_cast<std::uint64_t>(whole) + (part > 0.5 ? 1 : 0);
      const std::uint64_t unit = kScale[decimals];
      std::string out = std::to_string(n / unit);
      if (decimals > 0) {
        const std::string frac = std::to_string(n % unit);
        out += '.';
        out.append(static_cast<std::size_t>(decimals) - frac.size(), '0');
        out += frac;
      }
      return out;
    }
  }
  // Wide enough for the largest double written out whole.
  std::array<char, 400> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, decimals);
  return r.ec == std::errc() ? std::string(buf.data(), r.ptr) : std::string("?");
}

std::optional<double> parse_double(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (ascii_iequals(s, "inf") || ascii_iequals(s, "infinity")) {
    const double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (ascii_iequals(s, "nan")) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  if (!is_decimal_number(s)) return std::nullopt;

  double value = 0.0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: round the way strtod does
    // (to infinity or to zero) rather than reject a well-formed number.
    const std::string copy(s);
    value = g_ascii_strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc() || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

namespace {

bool glib_valid(const char* p, std::size_t n) { return g_utf8_validate_len(p, n, nullptr); }

// Whether the `k` bytes at `p` begin one character that continuation bytes
// could complete. The second byte's range depends on the first, and either
// end of the continuation range (0x80 or 0xBF) meets it.
bool starts_a_character(const char* p, std::size_t k) {
  for (std::size_t more = 1; k + more <= 4; ++more)
    for (char fill : {'\x80', '\xBF'}) {
      std::string candidate(p, k);
      candidate.append(more, fill);
      if (glib_valid(candidate.data(), candidate.size())) return true;
    }
  return false;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  // GLib counts NUL bytes as invalid; here they are characters like others.
  while (!s.empty()) {
    const std::size_t nul = s.find('\0');
    if (!glib_valid(s.data(), std::min(nul, s.size()))) return false;
    if (nul == std::string_view::npos) break;
    s.remove_prefix(nul + 1);
  }
  return true;
}

std::string make_valid_utf8(std::string_view s) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(s.size() + 8);
  while (!s.empty()) {
    const char* valid_end = s.data();
    g_utf8_validate_len(s.data(), s.size(), &valid_end);
    const auto good = static_cast<std::size_t>(valid_end - s.data());
    out.append(s.data(), good);
    s.remove_prefix(good);
    if (s.empty()) break;
    if (s.front() == '\0') {
      out.push_back('\0');
      s.remove_prefix(1);
      continue;
    }
    // One replacement for the longest start of a character that is there
    // (a lone byte, or a sequence cut short).
    std::size_t bad = 1;
    while (bad < 3 && bad < s.size() && starts_a_character(s.data(), bad + 1)) ++bad;
    out.append(kReplacement);
    s.remove_prefix(bad);
  }
  return out;
}

std::string cut_middle(std::string_view s, std::size_t max_chars) {
  max_chars = std::max<std::size_t>(max_chars, 3);
  const auto starts_char = [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; };
  // The byte where the character after the first `n` begins.
  const auto after_first = [&](std::size_t n) {
    std::size_t at = 0;
    for (std::size_t seen = 0; at < s.size(); ++at)
      if (starts_char(s[at]) && seen++ == n) break;
    return at;
  };
  if (after_first(max_chars) == s.size()) return std::string(s);
  const std::size_t head = (max_chars - 1) / 2 + (max_chars - 1) % 2, tail = (max_chars - 1) / 2;
  std::size_t from = s.size();
  for (std::size_t kept = 0; kept < tail && from > 0;)
    if (starts_char(s[--from])) ++kept;
  std::string out(s.substr(0, after_first(head)));
  out += "…";
  out += s.substr(from);
  return out;
}

std::string figures_kept_whole(std::string_view s) {
  static constexpr std::string_view kNoBreakSpace = "\u00a0", kWordJoiner = "\u2060";
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  auto is_letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool between = i > 0 && i + 1 < s.size();
    if (c == ' ' && between && is_digit(s[i - 1]) && (is_letter(s[i + 1]) || s[i + 1] == '%')) {
      out += kNoBreakSpace;
    } else if (c == '/' && between && is_letter(s[i - 1]) && is_letter(s[i + 1])) {
      out += '/';
      out += kWordJoiner;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace trellan
