// Baseline and trend over the heart-rate readings. Both are pure: they read the readings in
// arrival order, one filtering pass each, and never reorder the caller's data.
#include "BaselineAndTrend.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvane {

namespace {

constexpr double restingFreshness = 604800;  // 7 days
constexpr double baselineWindow = 86400;     // 24 hours
constexpr std::size_t baselineMinimum = 20;
constexpr double trendWindow = 120;
constexpr std::size_t trendMinimum = 5;

struct Point {
  double x;
  double y;
};

}  // namespace

bool inBaselineWindow(double age) {
  return age < baselineWindow;
}

bool inTrendWindow(double age) {
  // Negated rather than `age <= trendWindow`, so that a NaN age counts as inside.
  return !(age > trendWindow);
}

double roundHalfAway(double value) {
  return std::round(value);
}

double roundOneDecimal(double value) {
  return std::round(value * 10) / 10;
}

std::optional<Baseline> baseline(std::span<const Reading> heartRates,
                                 const std::optional<Reading>& restingHR, double now) {
  if (restingIsFresh(restingHR, now))
    return Baseline{restingHR->value, "resting_heart_rate"};
  return dailyBaseline(heartRates, now);
}

bool restingIsFresh(const std::optional<Reading>& restingHR, double now) {
  return restingHR && now - restingHR->ts < restingFreshness;
}

std::optional<Baseline> dailyBaseline(std::span<const Reading> heartRates, double now) {
  std::vector<double> values;
  values.reserve(heartRates.size());
  for (const Reading& r : heartRates) {
    if (inBaselineWindow(now - r.ts))
      values.push_back(r.value);
  }
  if (values.size() < baselineMinimum)
    return std::nullopt;
  // Only the element at n/4 of the ascending order matters, not the whole order.
  const auto quarter = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 4);
  std::nth_element(values.begin(), quarter, values.end());
  return Baseline{*quarter, "24h_p25"};
}

std::optional<Trend> trendLabel(std::span<const Reading> heartRates, double now) {
  std::vector<Point> window;
  double t0 = 0;
  double sumX = 0;
  double sumY = 0;
  for (const Reading& r : heartRates) {
    if (!inTrendWindow(now - r.ts))
      continue;
    // The origin is the first reading of the window by arrival, not the earliest.
    if (window.empty())
      t0 = r.ts;
    const Point p{r.ts - t0, r.value};
    window.push_back(p);
    sumX += p.x;
    sumY += p.y;
  }
  if (window.size() < trendMinimum)
    return std::nullopt;

  const auto n = static_cast<double>(window.size());
  const double mx = sumX / n;
  const double my = sumY / n;
  double sxx = 0;
  double sxy = 0;
  for (const Point& p : window) {
    sxx += (p.x - mx) * (p.x - mx);
    sxy += (p.x - mx) * (p.y - my);
  }
  if (sxx == 0)
    return std::nullopt;

  const double slope = sxy / sxx * 60;
  // A NaN slope compares false both ways and so reads as steady.
  const char* label = slope > 2 ? "rising" : slope < -2 ? "falling" : "steady";
  return Trend{label, roundOneDecimal(slope)};
}

}  // namespace orvane
