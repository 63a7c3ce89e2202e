// Locale-independent text helpers shared by the parser and the forms.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellan {

// Removes characters with the Unicode White_Space property (UTF-8) at both ends.
std::string_view trim_ws(std::string_view s);
// Maximal runs of non-White_Space characters.
std::vector<std::string_view> split_ws(std::string_view s);
// A whole decimal floating-point number ("1.5", "-2e3", "inf", "NaN"...),
// independent of the process locale.
std::optional<double> parse_double(std::string_view s);
// printf's "%.<decimals>f" of `v`, with a full stop whatever the locale:
// rounded as printf rounds, halves to even.
std::string fixed_text(double v, int decimals);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). NUL bytes are valid.
bool is_valid_utf8(std::string_view s);
// `s` with each ill-formed UTF-8 sequence (each maximal subpart of one)
// replaced by U+FFFD; well-formed text comes back unchanged.
std::string make_valid_utf8(std::string_view s);

// At most `max_chars` characters of `s` (UTF-8): a longer text keeps its
// start and its end, joined by "…", and is cut between characters.
// `max_chars` counts the "…" and is at least 3.
std::string cut_middle(std::string_view s, std::size_t max_chars);

// `s` as a label shows it, with each figure kept on one line with its unit:
// the space after a digit that a word follows ("1.07 Gbit/s", "3.00 s") is
// a no-break space, and a slash between letters ("bit/s") is followed by a
// word joiner. For shown text only; copies keep plain spaces.
std::string figures_kept_whole(std::string_view s);

// Length in bytes of the White_Space character that `s` starts with, or 0 when
// it starts with something else (or is empty). Bytes that are not valid UTF-8
// never count as whitespace.
inline std::size_t ws_len_front(std::string_view s) {
  if (s.empty()) return 0;
  const auto c = static_cast<unsigned char>(s[0]);
  if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0d)) ? 1 : 0;
  if (c == 0xc2) {
    if (s.size() < 2) return 0;
    const auto d = static_cast<unsigned char>(s[1]);
    return (d == 0x85 || d == 0xa0) ? 2 : 0;  // NEL, NO-BREAK SPACE
  }
  if (c < 0xe1 || c > 0xe3 || s.size() < 3) return 0;
  const auto d = static_cast<unsigned char>(s[1]);
  const auto e = static_cast<unsigned char>(s[2]);
  switch (c) {
    case 0xe1:  // U+1680 OGHAM SPACE MARK
      return (d == 0x9a && e == 0x80) ? 3 : 0;
    case 0xe2:
      if (d == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((e >= 0x80 && e <= 0x8a) || e == 0xa8 || e == 0xa9 || e == 0xaf) ? 3 : 0;
      return (d == 0x81 && e == 0x9f) ? 3 : 0;  // U+205F
    default:  // 0xe3: U+3000 IDEOGRAPHIC SPACE
      return (d == 0x80 && e == 0x80) ? 3 : 0;
  }
}

}  // namespace trellan
