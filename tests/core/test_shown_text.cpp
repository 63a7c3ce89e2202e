// What a page shows of texts of any length: names and run texts from files
// or the form are cut to what a label lays out in a frame, keeping their
// start and end, and short ones come through unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/run_words.hpp"
#include "core/text.hpp"

namespace trellan {
namespace {

std::size_t chars(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xc0) != 0x80; }));
}

TEST(CutMiddle, KeepsShortTextsAndCutsLongOnesBetweenCharactersKeepingBothEnds) {
  EXPECT_EQ(cut_middle("abcdefghij", 10), "abcdefghij");
  EXPECT_EQ(cut_middle("abcdefghij", 5), "ab…ij");
  EXPECT_EQ(cut_middle("abcdefghij", 6), "abc…ij");
  EXPECT_EQ(cut_middle("ééééé", 4), "éé…é");
  EXPECT_EQ(cut_middle("a😀b😀c😀d", 5), "a😀…😀d");
  EXPECT_EQ(cut_middle("", 3), "");
}

TEST(ShownName, AnyValidDnsNameIsShownWholeAndLongerOnesKeepTheirEndsOnOneLine) {
  std::string dns;
  for (int label = 0; label < 4; ++label) dns += std::string(label < 3 ? 63 : 61, 'a' + label) + ".";
  dns.pop_back();
  ASSERT_EQ(dns.size(), 253u);
  EXPECT_EQ(shown_name(dns + ", port 65535"), dns + ", port 65535");

  const std::string huge = "start" + std::string(1'000'000, 'x') + "é, port 5201";
  const std::string shown = shown_name(huge);
  EXPECT_TRUE(is_valid_utf8(shown));
  EXPECT_EQ(shown.rfind("start", 0), 0u);
  EXPECT_TRUE(shown.ends_with("xé, port 5201")) << shown;
  EXPECT_NE(shown.find("…"), std::string::npos);
  EXPECT_LT(chars(shown), 1000u);

  EXPECT_EQ(shown_name("a\nb\tc\r\nd\u2028e\x7f" "f"), "a b c d e f");
}

TEST(ShownText, ShortTextsStayAndLongLinesOrManyLinesKeepTheirEnds) {
  EXPECT_EQ(shown_text("Result — send: 9.41 Gbit/s\nRetransmits: 3"), "Result — send: 9.41 Gbit/s\nRetransmits: 3");

  const std::string line = shown_text("begin" + std::string(1'000'000, 'y') + "end");
  EXPECT_EQ(line.rfind("begin", 0), 0u);
  EXPECT_TRUE(line.ends_with("yend"));
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_LT(chars(line), 1000u);

  std::string many = "first";
  for (int i = 0; i < 1'000'000; ++i) many += i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : "\r";
  many += "last";
  const std::string lines = shown_text(many);
  EXPECT_EQ(lines.rfind("first\n", 0), 0u);
  EXPECT_TRUE(lines.ends_with("\nlast"));
  EXPECT_NE(lines.find("\n…\n"), std::string::npos);
  EXPECT_LT(std::count(lines.begin(), lines.end(), '\n'), 100);
  EXPECT_EQ(lines.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace trellan
