// Rate texts: ranges, rounding on the exact binary value, and locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "core/meter.hpp"
#include "core/run_words.hpp"

using trellan::format_rate;

namespace {

struct Case {
  double mbps;
  const char* number;
  const char* unit;
};

// Ties are rounded to even on the exact value of the double: 1.25 and 1.125
// are exact, 1.35 and 1.135 lie just above their ties, 1005 / 1000 just below.
const Case kCases[] = {
    {0, "0", "Kbit/s"},           {0.25, "250", "Kbit/s"},        {1, "1.0", "Mbit/s"},
    {999.96, "1000.0", "Mbit/s"}, {1000, "1.00", "Gbit/s"},       {0.9995, "1000", "Kbit/s"},
    {950, "950.0", "Mbit/s"},     {87, "87.0", "Mbit/s"},         {9420, "9.42", "Gbit/s"},
    {1.25, "1.2", "Mbit/s"},      {1.35, "1.4", "Mbit/s"},        {1.75, "1.8", "Mbit/s"},
    {0.0025, "2", "Kbit/s"},      {0.0035, "4", "Kbit/s"},        {1125, "1.12", "Gbit/s"},
    {1135, "1.14", "Gbit/s"},     {1005, "1.00", "Gbit/s"},       {0.999, "999", "Kbit/s"},
    {-3, "-3000", "Kbit/s"},      {1e-9, "0", "Kbit/s"},          {2.5e10, "25000000.00", "Gbit/s"},
};

void expect_all_cases() {
  for (const Case& c : kCases) {
    const auto [number, unit] = format_rate(c.mbps);
    EXPECT_EQ(number, c.number) << c.mbps;
    EXPECT_EQ(unit, c.unit) << c.mbps;
  }
}

}  // namespace

TEST(FormatRate, PicksTheUnitOnTheUnroundedValueAndRoundsTiesToEven) { expect_all_cases(); }

TEST(FormatRate, KeepsTheDecimalPointUnderACommaDecimalLocale) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is missing";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the locale really is in force
  expect_all_cases();
  EXPECT_EQ(trellan::rate_text(950), "950.0 Mbit/s");
  std::setlocale(LC_ALL, previous.c_str());
}
