// The two heart-rate computations behind the state document: the personal baseline and the
// two-minute trend. Pure functions of the engine's fields and now.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "Reading.hpp"

namespace orvane {

struct Baseline {
  double value = 0;    // beats per minute, unrounded
  std::string source;  // "resting_heart_rate" or "24h_p25"
};

struct Trend {
  std::string label;  // "rising", "steady" or "falling"
  double slope = 0;   // beats per minute per minute, rounded to one decimal
};

std::optional<Baseline> baseline(std::span<const Reading> heartRates,
                                 const std::optional<Reading>& restingHR, double now);
// Whether the resting heart rate is recent enough to be the baseline.
bool restingIsFresh(const std::optional<Reading>& restingHR, double now);
// The baseline from the readings of the last 24 h alone, as when no resting HR is fresh.
std::optional<Baseline> dailyBaseline(std::span<const Reading> heartRates, double now);

// Whether a reading `age` seconds old (now - ts) counts for the daily baseline or the trend.
// Both only ever turn false as the age grows.
bool inBaselineWindow(double age);
bool inTrendWindow(double age);

std::optional<Trend> trendLabel(std::span<const Reading> heartRates, double now);

// Nearest integer, halves away from zero.
double roundHalfAway(double value);
// Times ten, rounded as above, divided by ten.
double roundOneDecimal(double value);

}  // namespace orvane
