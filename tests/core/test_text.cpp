// Whitespace, number and UTF-8 helpers.
#include "core/text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace trellan {
namespace {

using namespace std::string_view_literals;

// Every character with the Unicode White_Space property, in UTF-8.
const std::vector<std::string> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000",
    "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

TEST(TrimWs, RemovesEveryWhiteSpaceCharacterAtBothEndsOnly) {
  for (const auto& ws : kWhiteSpace) {
    const std::string s = ws + ws + "a" + ws + "b" + ws;
    EXPECT_EQ(trim_ws(s), "a" + ws + "b") << "for U+" << ws;
  }
}

TEST(TrimWs, KeepsCharactersThatOnlyLookBlank) {
  // ZERO WIDTH SPACE, MONGOLIAN VOWEL SEPARATOR and the byte-order mark are
  // not White_Space; neither are bytes that are not UTF-8.
  for (const std::string s : {"\u200Bx\u200B", "\u180Ex\u180E", "\uFEFFx\uFEFF", "\xC2x\xC2",
                              "\xE2\x80x\xE2\x80", "\x80x\xA0"}) {
    EXPECT_EQ(trim_ws(s), s);
  }
}

TEST(TrimWs, EmptyAndAllBlankGiveEmpty) {
  EXPECT_EQ(trim_ws(""), "");
  EXPECT_EQ(trim_ws(" \t\u3000\u00A0 \r\n"), "");
}

TEST(SplitWs, GivesMaximalRunsBetweenAnyWhiteSpace) {
  const auto tokens = split_ws("\u3000[  5]\t0.00-1.00\u00A0sec 56.2\u2009MBytes  ");
  EXPECT_EQ(tokens, (std::vector<std::string_view>{"[", "5]", "0.00-1.00", "sec", "56.2", "MBytes"}));
  EXPECT_TRUE(split_ws(" \t ").empty());
  EXPECT_EQ(split_ws("x"), (std::vector<std::string_view>{"x"}));
}

TEST(ParseDouble, AcceptsDecimalFormsWithSignFractionAndExponent) {
  const std::vector<std::pair<std::string_view, double>> cases = {
      {"0", 0.0},         {"471", 471.0},      {"9.41", 9.41},     {"-2.5", -2.5},
      {"+3", 3.0},        {"1e3", 1000.0},     {"1.5E-3", 0.0015}, {"2e+2", 200.0},
      {"5.", 5.0},        {".5", 0.5},         {"007", 7.0},       {"-0", -0.0},
      {"1e999", INFINITY}, {"-1e999", -INFINITY}, {"1e-999", 0.0},
  };
  for (const auto& [text, want] : cases) {
    const auto got = parse_double(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(*got, want) << text;
    EXPECT_EQ(std::signbit(*got), std::signbit(want)) << text;
  }
}

TEST(ParseDouble, AcceptsInfinityAndNanInAnyCase) {
  for (auto text : {"inf"sv, "INF"sv, "Infinity"sv, "+iNfInItY"sv}) {
    const auto got = parse_double(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_TRUE(std::isinf(*got) && *got > 0) << text;
  }
  EXPECT_EQ(parse_double("-inf"), -INFINITY);
  for (auto text : {"nan"sv, "NaN"sv, "-NAN"sv}) {
    const auto got = parse_double(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_TRUE(std::isnan(*got)) << text;
  }
}

TEST(ParseDouble, RejectsAnythingButAWholeNumber) {
  for (auto text : {""sv, "-"sv, "+"sv, "."sv, "-."sv, "e5"sv, "1e"sv, "1e+"sv, "1.2.3"sv,
                    " 1"sv, "1 "sv, "1,5"sv, "0x10"sv, "1f"sv, "++1"sv, "--1"sv, "infin"sv,
                    "nan(1)"sv, "in"sv, "word"sv, "1_000"sv, "\u0661"sv}) {
    EXPECT_FALSE(parse_double(text).has_value()) << "'" << text << "'";
  }
}

TEST(ParseDouble, IgnoresACommaDecimalLocale) {
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
      << "the de_DE.UTF-8 locale is missing; generate it with: sed -i "
         "'s/^# *de_DE.UTF-8/de_DE.UTF-8/' /etc/locale.gen && locale-gen";
  const std::string decimal_point = std::localeconv()->decimal_point;
  const auto dot = parse_double("9.41");
  const auto comma = parse_double("9,41");
  std::setlocale(LC_ALL, "C");
  ASSERT_EQ(decimal_point, ",") << "the locale did not take effect";
  EXPECT_EQ(dot, 9.41);
  EXPECT_FALSE(comma.has_value());
}

TEST(IsValidUtf8, AcceptsWellFormedText) {
  for (std::string_view s : {""sv, "ascii only, long enough for the fast path"sv, "\0nul"sv,
                             "\u00E9\u20AC\U0001F600"sv, "\u007F\u0080\u07FF\u0800\uFFFF"sv,
                             "\U00010000\U0010FFFF"sv, "\uD7FF\uE000"sv}) {
    EXPECT_TRUE(is_valid_utf8(s)) << s;
  }
}

TEST(IsValidUtf8, RejectsMalformedSequences) {
  for (std::string_view s : {
           "\x80"sv,                  // lone continuation byte
           "abcdefgh\xFF"sv,          // invalid byte after the fast path
           "\xC0\xAF"sv,              // overlong "/"
           "\xC1\xBF"sv,              // overlong
           "\xE0\x80\xAF"sv,          // overlong three-byte form
           "\xF0\x80\x80\xAF"sv,      // overlong four-byte form
           "\xED\xA0\x80"sv,          // surrogate U+D800
           "\xF4\x90\x80\x80"sv,      // above U+10FFFF
           "\xF5\x80\x80\x80"sv,      // lead byte out of range
           "\xE2\x82"sv,              // truncated at the end
           "\xE2\x28\xA1"sv,          // bad continuation
           "\xC3"sv,                  // truncated two-byte form
       }) {
    EXPECT_FALSE(is_valid_utf8(s)) << testing::PrintToString(std::string(s));
  }
}

// Figures are written as printf's "%.Nf" writes them: the exact binary
// value rounded, a true half to even. The quick path must never differ.
TEST(FixedText, RoundsAsPrintfDoesNearHalvesAndEverywhereElse) {
  const std::vector<std::tuple<double, int, std::string>> cases = {
      {1.005, 2, "1.00"},         // 1.00499999999999989…
      {2.675, 2, "2.67"},         // 2.67499999999999982…
      {0.125, 2, "0.12"},         // a true half: to even
      {0.375, 2, "0.38"},
      {0.5, 0, "0"},
      {1.5, 0, "2"},
      {2.5, 0, "2"},
      {9.995, 2, "9.99"},         // 9.99499999999999922…
      {99.95, 1, "100.0"},        // 99.9500000000000028…
      {1.000011, 2, "1.00"},
      {86400.00095, 3, "86400.001"},
      {0.0004, 3, "0.000"},
      {941.5, 0, "942"},
      {-0.0, 2, "-0.00"},
      {-1.25, 1, "-1.2"},
      {1e20, 2, "100000000000000000000.00"},
      {4294967296.5, 0, "4294967296"},
  };
  for (const auto& [v, decimals, want] : cases) EXPECT_EQ(fixed_text(v, decimals), want) << v << " " << decimals;
  EXPECT_EQ(fixed_text(NAN, 1), "nan");
  EXPECT_EQ(fixed_text(INFINITY, 2), "inf");

  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> magnitude(-4, 10);
  for (int i = 0; i < 200000; ++i) {
    // Spread over many sizes, and every so often right on a half.
    double v = std::pow(10.0, magnitude(random));
    const int decimals = static_cast<int>(random() % 4);
    if (i % 5 == 0) v = (std::floor(v * std::pow(10.0, decimals)) + 0.5) / std::pow(10.0, decimals);
    std::array<char, 400> buf;
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, decimals);
    ASSERT_EQ(fixed_text(v, decimals), std::string(buf.data(), r.ptr)) << v << " " << decimals;
  }
}

}  // namespace
}  // namespace trellan
