// The state document, built from the held readings on every call; only the figures over a
// heart-rate window are kept between calls, while they cannot have changed. Invariants: it is
// always produced and is always valid JSON: no key is ever null, every integer key holds a
// std::int64_t, every float key a finite double. A figure that cannot meet that (rounded
// beyond the 64-bit range, or not finite) is left out together with the keys and flags that
// only make sense beside it.
#include "StateDocument.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

#include "Settings.hpp"

namespace orvane {

namespace {

constexpr double liveAge = 120;
constexpr double shortFreshness = 43200;   // 12 hours: HRV, oxygen, respiration
constexpr double sleepFreshness = 129600;  // 36 hours

// The rounded figure as a JSON integer, when it fits one. 2^63 itself does not fit; NaN
// fails both comparisons.
std::optional<std::int64_t> integerOf(double rounded) {
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (!(rounded >= -limit && rounded < limit))
    return std::nullopt;
  return static_cast<std::int64_t>(rounded);
}

std::optional<std::int64_t> roundedInteger(double value) {
  return integerOf(roundHalfAway(value));
}

std::optional<double> roundedOneDecimal(double value) {
  const double rounded = roundOneDecimal(value);
  if (!std::isfinite(rounded))
    return std::nullopt;
  return rounded;
}

// At most one flag by the deviation from the baseline; 3 to 17 percent raises none.
const char* baselineFlag(std::int64_t percent) {
  if (percent >= 35)
    return "hr_high";
  if (percent >= 18)
    return "hr_elevated";
  if (percent <= -12)
    return "hr_below_baseline";
  if (percent <= 2)
    return "hr_at_baseline";
  return nullptr;
}

}  // namespace

JsonObject stateDocument(const HeldReadings& held, bool orvaned, double now) {
  JsonObject document = JsonObject::object();
  JsonObject flags = JsonObject::array();
  document["updated_at"] = now;
  document["version"] = version();
  document["orvaned"] = orvaned;

  if (!held.heartRates.empty()) {
    const Reading& latest = held.heartRates[held.latestHeartRate];
    const double age = now - latest.ts;
    const std::optional<std::int64_t> bpm = roundedInteger(latest.value);
    const std::optional<std::int64_t> ageSeconds = roundedInteger(age);
    if (bpm && ageSeconds) {
      JsonObject heartRate = {{"bpm", *bpm}, {"age_seconds", *ageSeconds}, {"live", age < liveAge}};

      if (const std::optional<Trend>& trend = held.trend.at(held.heartRates, now);
          trend && std::isfinite(trend->slope)) {
        heartRate["trend"] = trend->label;
        heartRate["slope_bpm_per_min"] = trend->slope;
        if (trend->label == "rising")
          flags.push_back("hr_rising");
      }

      // The same as baseline(), with the daily figure kept between calls.
      const std::optional<Baseline> base =
          restingIsFresh(held.restingHR, now)
              ? Baseline{held.restingHR->value, "resting_heart_rate"}
              : held.dailyBaseline.at(held.heartRates, now);
      if (base) {
        if (const std::optional<std::int64_t> baseBpm = roundedInteger(base->value)) {
          document["baseline"] = {{"bpm", *baseBpm}, {"source", base->source}};
          // A zero baseline leaves the deviation undefined: no percentage, no flag.
          const std::optional<std::int64_t> percent =
              base->value == 0 ? std::nullopt
                               : roundedInteger((latest.value - base->value) / base->value * 100);
          if (percent) {
            heartRate["vs_baseline_pct"] = *percent;
            if (const char* flag = baselineFlag(*percent))
              flags.push_back(flag);
          }
        }
      }
      document["heart_rate"] = std::move(heartRate);
    }
  }

  if (held.hrv && now - held.hrv->ts < shortFreshness) {
    const std::optional<std::int64_t> ms = roundedInteger(held.hrv->value);
    const std::optional<std::int64_t> ageMinutes = roundedInteger((now - held.hrv->ts) / 60);
    if (ms && ageMinutes)
      document["hrv_sdnn"] = {{"ms", *ms}, {"age_minutes", *ageMinutes}};
  }

  if (held.sleepHours && now - held.sleepHours->ts < sleepFreshness) {
    if (const std::optional<double> hours = roundedOneDecimal(held.sleepHours->value)) {
      document["sleep_last_night_hours"] = *hours;
      if (*hours < 6.0)
        flags.push_back("short_sleep");
    }
  }

  // Oxygen and respiration report the rounded figure but judge the unrounded value.
  if (held.oxygen && now - held.oxygen->ts < shortFreshness) {
    if (const std::optional<double> percent = roundedOneDecimal(held.oxygen->value)) {
      document["oxygen_saturation"] = *percent;
      if (held.oxygen->value < 90)
        flags.push_back("spo2_critical");
      else if (held.oxygen->value < 95)
        flags.push_back("spo2_low");
    }
  }

  if (held.respiration && now - held.respiration->ts < shortFreshness) {
    if (const std::optional<double> rate = roundedOneDecimal(held.respiration->value)) {
      document["respiratory_rate"] = *rate;
      if (held.respiration->value > 20)
        flags.push_back("resp_elevated");
      else if (held.respiration->value < 10)
        flags.push_back("resp_slow");
    }
  }

  document["flags"] = std::move(flags);
  return document;
}

void HeldReadings::heartRatesChanged() {
  dailyBaseline.forget();
  trend.forget();
  latestHeartRate = 0;
  for (std::size_t i = 1; i < heartRates.size(); ++i) {
    if (heartRates[i].ts > heartRates[latestHeartRate].ts)
      latestHeartRate = i;
  }
}

}  // namespace orvane
