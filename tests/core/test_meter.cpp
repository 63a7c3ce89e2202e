// The gauge's animation model, driven with synthetic frame times.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/meter.hpp"

using trellan::MeterState;

namespace {

// Ticks `s` every `step_us` for `seconds`, continuing from its last frame
// (or starting at 1 s, which makes the first of these ticks a dt = 0 tick).
void run(MeterState& s, double seconds, std::int64_t step_us = 16'667) {
  std::int64_t now = s.last_frame_time != 0 ? s.last_frame_time : 1'000'000 - step_us;
  const std::int64_t end = now + static_cast<std::int64_t>(seconds * 1e6);
  while (now < end) s.tick(now += step_us);
}

}  // namespace

TEST(MeterModel, FullScaleSettlesOnTheNext125ValueWithFifteenPercentHeadroom) {
  const struct { double reading, goal; } cases[] = {
      {0, 10},      {5, 10},     {8.69, 10},   {8.7, 20},    {17.4, 50},     {43.5, 100},
      {86.9, 100},  {87, 200},   {435, 1000},  {870, 2000},  {4348, 10000},
  };
  for (const auto& c : cases) {
    MeterState s;
    s.set_value(c.reading);
    run(s, 10.0, 100'000);
    EXPECT_NEAR(s.scale_max, c.goal, c.goal * 1e-9) << "reading " << c.reading;
    EXPECT_DOUBLE_EQ(s.display, c.reading);
  }
}

TEST(MeterModel, FirstTickHasNoTimeStepButSnapsTheNeedleWithinAHundredth) {
  MeterState s;
  s.set_value(50);
  s.tick(123'456);
  EXPECT_EQ(s.display, 0.0);
  EXPECT_EQ(s.scale_max, 10.0);
  EXPECT_EQ(s.peak_age, 0.0);
  EXPECT_EQ(s.last_frame_time, 123'456);

  MeterState t;
  t.set_value(0.005);
  t.tick(123'456);
  EXPECT_EQ(t.display, 0.005);
}

TEST(MeterModel, BackwardTimeStandsStillAndLongGapsCountAsATenthOfASecond) {
  MeterState s;
  s.set_value(100);
  s.tick(5'000'000);
  s.tick(4'000'000);  // backwards
  EXPECT_EQ(s.display, 0.0);
  EXPECT_EQ(s.scale_max, 10.0);
  EXPECT_EQ(s.last_frame_time, 4'000'000);

  s.tick(9'000'000);  // a 5 s gap, e.g. while hidden
  EXPECT_NEAR(s.display, 100 * (1 - std::exp(-1.0)), 1e-9);         // needle: 0.1 s
  EXPECT_NEAR(s.scale_max, 10 + 190 * (1 - std::exp(-0.4)), 1e-9);  // growing: 0.25 s
  EXPECT_NEAR(s.peak_age, 0.1, 1e-12);
}

TEST(MeterModel, PeakIsHeldForTwoSecondsThenDropsToTheCurrentReading) {
  MeterState s;
  s.tick(1'000'000);
  s.set_value(50);
  s.set_value(20);
  EXPECT_EQ(s.peak, 50.0);
  EXPECT_EQ(s.target, 20.0);
  for (int i = 0; i < 32; ++i) s.tick(s.last_frame_time + 62'500);  // exactly 2.0 s
  EXPECT_EQ(s.peak, 50.0);
  s.tick(s.last_frame_time + 62'500);
  EXPECT_EQ(s.peak, 20.0);
  s.set_value(10);  // follows the reading down, frame by frame
  s.tick(s.last_frame_time + 16'667);
  EXPECT_EQ(s.peak, 10.0);
  s.set_value(30);  // a new high is held again
  EXPECT_EQ(s.peak_age, 0.0);
  run(s, 1.5);
  s.set_value(5);
  run(s, 0.4);
  EXPECT_EQ(s.peak, 30.0);
}

TEST(MeterModel, UnusableReadingsZeroTheTargetAndKeepThePeak) {
  for (double bad : {-3.0, std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    MeterState s;
    s.set_value(40);
    s.tick(1'000'000);
    s.tick(1'500'000);
    const double age = s.peak_age;
    s.set_value(bad);
    EXPECT_EQ(s.target, 0.0) << bad;
    EXPECT_EQ(s.peak, 40.0) << bad;
    EXPECT_EQ(s.peak_age, age) << bad;
  }
}

TEST(MeterModel, ResetZeroesReadingAndPeakAtOnceWhileNeedleAndScaleGlideBack) {
  MeterState s;
  s.set_value(800);
  run(s, 5.0);
  ASSERT_NEAR(s.scale_max, 1000, 1e-3);
  s.reset();
  EXPECT_EQ(s.target, 0.0);
  EXPECT_EQ(s.peak, 0.0);
  EXPECT_EQ(s.peak_age, 0.0);
  EXPECT_EQ(s.display, 800.0);
  const double scale = s.scale_max;
  s.tick(s.last_frame_time + 100'000);
  EXPECT_NEAR(s.display, 800 * std::exp(-1.0), 1e-9);
  EXPECT_NEAR(s.scale_max, scale + (10 - scale) * (1 - std::exp(-0.1 / 1.2)), 1e-9);  // 1.2 s
  run(s, 20.0);
  EXPECT_EQ(s.display, 0.0);
  EXPECT_NEAR(s.scale_max, 10.0, 1e-3);
}

TEST(MeterModel, ReadingsAtTheTopOfTheDoubleRangeLeaveAScaleThatShrinksBack) {
  MeterState s;
  s.set_value(std::numeric_limits<double>::max());
  run(s, 3.0);
  EXPECT_TRUE(std::isfinite(s.scale_max));
  EXPECT_GE(s.scale_max, s.display * 0.5);
  s.reset();
  run(s, 1000.0, 100'000);
  EXPECT_NEAR(s.scale_max, 10.0, 1e-6);
}
