#include "core/text.hpp"

#include <glib.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  while (p < end) {
    // ASCII fast path, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;       // no overlong forms
      else if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;       // no overlong forms
      else if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if (p[k] < 0x80 || p[k] > 0xbf) return false;
    p += len;
  }
  return true;
}

std::string make_valid_utf8(std::string_view s) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  std::string out;
  out.reserve(s.size() + 8);
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++p;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      else if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      else if (c == 0xf4) hi = 0x8f;
    }
    // How far the sequence is well formed: the lead byte, then each byte
    // that may follow it.
    std::size_t good = len ? 1 : 0;
    if (good && p + 1 < end && p[1] >= lo && p[1] <= hi) {
      good = 2;
      while (good < len && p + good < end && p[good] >= 0x80 && p[good] <= 0xbf) ++good;
    }
    if (len && good == len) {
      out.append(reinterpret_cast<const char*>(p), len);
      p += len;
    } else {
      out.append(kReplacement);
      p += good ? good : 1;
    }
  }
  return out;
}

}  // namespace trellan
