// The state document: what the engine holds, as the JSON that GET /state answers and
// "state.json" stores.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "BaselineAndTrend.hpp"
#include "Json.hpp"
#include "Reading.hpp"
#include "WindowMemo.hpp"

namespace orvane {

// The readings the document is made from.
struct HeldReadings {
  std::vector<Reading> heartRates;  // arrival order
  // Derived from heartRates when it changes, or kept until it does: reading the state is far
  // more frequent than ingesting and must not rescan thousands of readings every time.
  std::size_t latestHeartRate = 0;  // the greatest ts, the first to arrive among equals
  mutable WindowMemo<std::optional<Baseline>> dailyBaseline{inBaselineWindow,
                                                            orvane::dailyBaseline};
  mutable WindowMemo<std::optional<Trend>> trend{inTrendWindow, trendLabel};
  std::optional<Reading> hrv;
  std::optional<Reading> restingHR;
  std::optional<Reading> sleepHours;
  std::optional<Reading> oxygen;
  std::optional<Reading> respiration;

  // Brings what is kept about heartRates up to date after they changed.
  void heartRatesChanged();
};

// The document as of `now`.
JsonObject stateDocument(const HeldReadings& held, bool orvaned, double now);

}  // namespace orvane
