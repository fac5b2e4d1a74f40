// The heart-rate figures of the state document are kept between reads; these tests replay
// random ingests and clock moves (backwards too, and onto the edges of the windows) and compare
// every document with one derived from scratch from the test's own copy of the readings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "BaselineAndTrend.hpp"
#include "EngineTestSupport.hpp"

namespace orvane {
namespace {

using test::Json;
using test::sample;

class StateDocumentReuse : public test::EngineTest {
 protected:
  // History lines need not reach the disk here; thousands of flushes would only slow the test.
  StateEngine reused{[this] { return now; }, [](int) { return 0; }};
  std::vector<Reading> readings;  // what the engine should hold, in arrival order
  std::optional<Reading> resting;

  void store(const Json& batch) {
    for (const Json& s : batch) {
      const Reading r{std::min(s["ts"].get<double>(), now + 60), s["value"].get<double>()};
      if (s["type"] == "heart_rate")
        readings.push_back(r);
      else
        resting = r;
    }
    if (readings.size() > StateEngine::maxHeartRates)
      readings.erase(readings.begin(),
                     readings.end() - static_cast<std::ptrdiff_t>(StateEngine::maxHeartRates));
  }

  // The heart-rate keys and the baseline, straight from every reading.
  Json expected() const {
    Json part = Json::object();
    if (readings.empty())
      return part;
    Reading latest = readings.front();
    for (const Reading& r : readings) {
      if (r.ts > latest.ts)
        latest = r;
    }
    Json heartRate = {{"bpm", static_cast<std::int64_t>(roundHalfAway(latest.value))},
                      {"age_seconds", static_cast<std::int64_t>(roundHalfAway(now - latest.ts))},
                      {"live", now - latest.ts < 120}};
    if (const std::optional<Trend> trend = trendLabel(readings, now)) {
      heartRate["trend"] = trend->label;
      heartRate["slope_bpm_per_min"] = trend->slope;
    }
    if (const std::optional<Baseline> base = baseline(readings, resting, now)) {
      part["baseline"] = {{"bpm", static_cast<std::int64_t>(roundHalfAway(base->value))},
                          {"source", base->source}};
      heartRate["vs_baseline_pct"] = static_cast<std::int64_t>(
          roundHalfAway((latest.value - base->value) / base->value * 100));
    }
    part["heart_rate"] = heartRate;
    return part;
  }

  void expectSameDocument(int step) {
    const Json document = reused.state();
    Json part = Json::object();
    for (const char* key : {"heart_rate", "baseline"}) {
      if (document.contains(key))
        part[key] = document[key];
    }
    ASSERT_EQ(part, expected()) << "step " << step << ", " << readings.size() << " readings";
  }

  void replay(unsigned seed) {
    std::mt19937 random(seed);
    const auto pick = [&](auto... choices) {
      const double all[] = {static_cast<double>(choices)...};
      return all[std::uniform_int_distribution<std::size_t>(0, sizeof...(choices) - 1)(random)];
    };
    const auto between = [&](double low, double high) {
      return std::uniform_real_distribution<double>(low, high)(random);
    };
    for (int step = 0; step < 300; ++step) {
      if (random() % 2 == 0) {
        Json batch = Json::array();
        const auto count = random() % 60;
        for (std::size_t i = 0; i < count; ++i) {
          // Ages on and around the edges of both windows, on a coarse grid so that equal
          // timestamps are common, and some beyond the 60 s that the engine allows ahead.
          const double age =
              random() % 3 == 0 ? pick(0, 0.5, 119.5, 120, 120.5, 86399.5, 86400, 86400.5, -30, -90)
                                : std::floor(between(-10, 90000) / 50) * 50;
          const double value = std::floor(between(40, 180)) + pick(0, 0.5);
          batch.push_back(sample("heart_rate", value, now - age));
        }
        if (random() % 8 == 0)
          batch.push_back(sample("resting_heart_rate", 55, now - pick(604799.5, 604800, 3600)));
        reused.ingest(batch.get<std::vector<Json>>());
        store(batch);
      } else {
        now += pick(0, 0.5, 1, 50, 119.5, 120, 3600, 86400, -0.5, -50, -3600);
      }
      expectSameDocument(step);
      if (HasFatalFailure())
        return;
    }
  }
};

TEST_F(StateDocumentReuse, KeptFiguresMatchFiguresDerivedFromScratch) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    replay(seed);
    if (HasFatalFailure())
      return;
  }
}

}  // namespace
}  // namespace orvane
