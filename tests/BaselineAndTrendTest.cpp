#include "BaselineAndTrend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

namespace orvane {
namespace {

constexpr double now = 1'700'000'000.5;

// Readings `age` seconds old with the given values, arriving in that order.
std::vector<Reading> readings(std::initializer_list<std::pair<double, double>> ageAndValue) {
  std::vector<Reading> result;
  for (const auto& [age, value] : ageAndValue)
    result.push_back({now - age, value});
  return result;
}

TEST(Rounding, HalvesGoAwayFromZero) {
  EXPECT_EQ(roundHalfAway(72.5), 73.0);
  EXPECT_EQ(roundHalfAway(2.5), 3.0);
  EXPECT_EQ(roundHalfAway(-0.5), -1.0);
  EXPECT_EQ(roundHalfAway(-2.5), -3.0);
  EXPECT_EQ(roundOneDecimal(0.25), 0.3);
  EXPECT_EQ(roundOneDecimal(-0.25), -0.3);
  EXPECT_EQ(roundOneDecimal(5.96), 6.0);
  EXPECT_EQ(roundOneDecimal(5.94), 5.9);
}

TEST(Baseline, FreshRestingHeartRateWins) {
  std::vector<Reading> day;
  for (int i = 0; i < 500; ++i)
    day.push_back({now - i * 100, 80.0 + i % 7});
  const std::optional<Baseline> sixDays = baseline(day, Reading{now - 6 * 86400, 52.4}, now);
  ASSERT_TRUE(sixDays);
  EXPECT_EQ(sixDays->source, "resting_heart_rate");
  EXPECT_EQ(sixDays->value, 52.4);

  const std::optional<Baseline> sevenDays = baseline(day, Reading{now - 604800, 52.4}, now);
  ASSERT_TRUE(sevenDays);
  EXPECT_EQ(sevenDays->source, "24h_p25");
  EXPECT_FALSE(baseline({}, Reading{now - 604800, 52.4}, now));
}

TEST(Baseline, QuarterValueOfAtLeastTwentyRecentReadings) {
  std::vector<Reading> day;
  for (int v = 51; v <= 70; ++v)
    day.push_back({now - (v - 50) * 3000.0, double(v)});
  std::shuffle(day.begin(), day.end(), std::mt19937{7});
  const std::optional<Baseline> twenty = baseline(day, std::nullopt, now);
  ASSERT_TRUE(twenty);
  EXPECT_EQ(twenty->value, 56);
  EXPECT_EQ(twenty->source, "24h_p25");

  day.pop_back();
  EXPECT_FALSE(baseline(day, std::nullopt, now));

  // 24 readings: index 6, the seventh lowest.
  day.clear();
  for (int v = 1; v <= 24; ++v)
    day.push_back({now, double(100 - v)});
  EXPECT_EQ(baseline(day, std::nullopt, now).value().value, 82);
}

TEST(Baseline, WindowIsUnderOneDayAndCountsFutureReadings) {
  std::vector<Reading> day;
  for (int i = 0; i < 19; ++i)
    day.push_back({now - 60, 70});
  day.push_back({now - 86400, 40});
  EXPECT_FALSE(baseline(day, std::nullopt, now));
  day.back().ts = now - 86399.5;
  EXPECT_TRUE(baseline(day, std::nullopt, now));
  day.back().ts = now + 60;
  EXPECT_TRUE(baseline(day, std::nullopt, now));
}

TEST(Trend, NeedsFiveReadingsWithinTwoMinutesInclusiveAtDistinctTimes) {
  EXPECT_FALSE(trendLabel(readings({{100, 60}, {75, 62}, {50, 64}, {25, 66}}), now));
  EXPECT_FALSE(trendLabel(readings({{120.5, 58}, {100, 60}, {75, 62}, {50, 64}, {25, 66}}), now));
  EXPECT_FALSE(trendLabel(readings({{30, 60}, {30, 70}, {30, 80}, {30, 90}, {30, 100}}), now));
  EXPECT_EQ(
      trendLabel(readings({{120, 58}, {100, 60}, {75, 62}, {50, 64}, {25, 66}}), now).value().label,
      "rising");
}

TEST(Trend, LeastSquaresSlopePerMinute) {
  // Shuffled arrival order: the fit depends on the timestamps only.
  const std::optional<Trend> rising =
      trendLabel(readings({{30, 66}, {120, 60}, {0, 68}, {60, 64}, {90, 62}}), now);
  ASSERT_TRUE(rising);
  EXPECT_EQ(rising->label, "rising");
  EXPECT_EQ(rising->slope, 4.0);

  const std::optional<Trend> flat =
      trendLabel(readings({{110, 70}, {80, 70}, {45, 70}, {20, 70}, {-30, 70}}), now);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->label, "steady");
  EXPECT_EQ(flat->slope, 0.0);

  // Readings older than two minutes do not pull the line.
  const std::optional<Trend> windowed = trendLabel(
      readings({{600, 200}, {120, 68}, {90, 66}, {60, 64}, {30, 62}, {0, 60}, {121, 10}}), now);
  ASSERT_TRUE(windowed);
  EXPECT_EQ(windowed->label, "falling");
  EXPECT_EQ(windowed->slope, -4.0);
}

TEST(Trend, LabelComesFromTheUnroundedSlope) {
  const auto line = [](double perStep) {
    std::vector<Reading> r;
    for (int i = 0; i < 5; ++i)
      r.push_back({now - 120 + 30 * i, 70 + perStep * i});
    return trendLabel(r, now);
  };
  // Exactly 2 per minute is steady; 2.04 shows as 2.0 but rises.
  const std::tuple<double, double, const char*> cases[] = {{1.0, 2.0, "steady"},
                                                           {-1.0, -2.0, "steady"},
                                                           {1.02, 2.0, "rising"},
                                                           {-1.02, -2.0, "falling"}};
  for (const auto& [perStep, slope, label] : cases) {
    EXPECT_EQ(line(perStep).value().slope, slope) << perStep;
    EXPECT_EQ(line(perStep).value().label, label) << perStep;
  }
}

}  // namespace
}  // namespace orvane
