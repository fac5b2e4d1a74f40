#include <gtest/gtest.h>

#include <string>

#include "EngineTestSupport.hpp"
#include "Settings.hpp"

namespace orvane {
namespace {

using test::Json;

using StateDocument = test::EngineTest;

TEST_F(StateDocument, FreshEngineHasOnlyTheFixedKeysAndOneReadingNoTrendOrBaseline) {
  Json document = engine.state();
  EXPECT_EQ(document, (Json{{"updated_at", now},
                            {"version", version()},
                            {"orvaned", true},
                            {"flags", Json::array()}}));
  EXPECT_TRUE(document["updated_at"].is_number_float());

  ingest({heartRate(71.5, 30)});
  document = engine.state();
  EXPECT_EQ(document["heart_rate"], (Json{{"bpm", 72}, {"age_seconds", 30}, {"live", true}}));
  EXPECT_TRUE(document["heart_rate"]["bpm"].is_number_integer());
  EXPECT_TRUE(document["heart_rate"]["age_seconds"].is_number_integer());
  EXPECT_FALSE(document.contains("baseline"));
  EXPECT_EQ(document["flags"], Json::array());
}

TEST_F(StateDocument, LiveMeansYoungerThanTwoMinutesUnrounded) {
  ingest({heartRate(70, 119.6)});
  EXPECT_EQ(engine.state()["heart_rate"]["age_seconds"], 120);
  EXPECT_EQ(engine.state()["heart_rate"]["live"], true);
  now += 0.4;
  EXPECT_EQ(engine.state()["heart_rate"]["live"], false);
}

TEST_F(StateDocument, LatestIsTheGreatestTsFirstArrivalAmongEquals) {
  ingest({heartRate(80, 10), heartRate(60, 50)});
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 80);
  ingest({heartRate(90, 5), heartRate(95, 5)});
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 90);
}

TEST_F(StateDocument, BaselinePercentageRaisesAtMostOneFlag) {
  struct Case {
    double latest;
    double restingHR;
    std::int64_t percent;
    Json flags;
  };
  const Case cases[] = {
      {81, 60, 35, {"hr_high"}},
      {81, 61, 33, {"hr_elevated"}},
      {118, 100, 18, {"hr_elevated"}},
      {134, 100, 34, {"hr_elevated"}},
      {117, 100, 17, Json::array()},
      {103, 100, 3, Json::array()},
      {102, 100, 2, {"hr_at_baseline"}},
      {89, 100, -11, {"hr_at_baseline"}},
      {88, 100, -12, {"hr_below_baseline"}},
      {199, 200, -1, {"hr_at_baseline"}},       // -0.5: halves round away from zero
      {72.5, 200, -64, {"hr_below_baseline"}},  // -63.75
  };
  for (const Case& c : cases) {
    StateEngine fresh{[this] { return now; }};
    const std::vector<Json> batch{measure("resting_heart_rate", c.restingHR, 3600),
                                  heartRate(c.latest, 1)};
    fresh.ingest(batch);
    const Json document = fresh.state();
    EXPECT_EQ(document["baseline"], (Json{{"bpm", c.restingHR}, {"source", "resting_heart_rate"}}));
    EXPECT_EQ(document["heart_rate"]["bpm"], static_cast<std::int64_t>(c.latest + 0.5)) << c.latest;
    EXPECT_EQ(document["heart_rate"]["vs_baseline_pct"], c.percent) << c.latest;
    EXPECT_EQ(document["flags"], c.flags) << c.latest;
  }
}

TEST_F(StateDocument, RestingHeartRateAloneOrZeroGivesNoBaselineFigures) {
  ingest({measure("resting_heart_rate", 55, 60)});
  Json document = engine.state();
  EXPECT_FALSE(document.contains("heart_rate"));
  EXPECT_FALSE(document.contains("baseline"));
  EXPECT_EQ(document["flags"], Json::array());

  ingest({measure("resting_heart_rate", 0, 30), heartRate(70, 1)});
  document = engine.state();
  EXPECT_EQ(document["baseline"], (Json{{"bpm", 0}, {"source", "resting_heart_rate"}}));
  EXPECT_FALSE(document["heart_rate"].contains("vs_baseline_pct"));
  EXPECT_EQ(document["flags"], Json::array());
}

TEST_F(StateDocument, HrvIsFreshForUnderTwelveHours) {
  ingest({measure("hrv_sdnn", 48.5, 43199)});
  EXPECT_EQ(engine.state()["hrv_sdnn"], (Json{{"ms", 49}, {"age_minutes", 720}}));
  now += 1;
  EXPECT_FALSE(engine.state().contains("hrv_sdnn"));
}

TEST_F(StateDocument, SleepComparesItsRoundedFigure) {
  ingest({measure("sleep_hours", 5.96, 30 * 3600)});
  Json document = engine.state();
  EXPECT_TRUE(document["sleep_last_night_hours"].is_number_float());
  EXPECT_EQ(document["sleep_last_night_hours"], 6.0);
  EXPECT_EQ(document["flags"], Json::array());
  ingest({measure("sleep_hours", 5.94, 129599)});
  document = engine.state();
  EXPECT_EQ(document["sleep_last_night_hours"], 5.9);
  EXPECT_EQ(document["flags"], Json::array({"short_sleep"}));
  now += 1;
  EXPECT_FALSE(engine.state().contains("sleep_last_night_hours"));
  EXPECT_EQ(engine.state()["flags"], Json::array());
}

TEST_F(StateDocument, OxygenAndRespirationJudgeTheirUnroundedValues) {
  struct Case {
    double oxygen;
    double respiration;
    double oxygenShown;
    double respirationShown;
    Json flags;
  };
  const Case cases[] = {{94.96, 20.04, 95.0, 20.0, {"spo2_low", "resp_elevated"}},
                        {89.99, 9.96, 90.0, 10.0, {"spo2_critical", "resp_slow"}},
                        {95, 20, 95.0, 20.0, Json::array()},
                        {90, 10, 90.0, 10.0, {"spo2_low"}}};
  for (const Case& c : cases) {
    ingest({measure("oxygen_saturation", c.oxygen, 43199),
            measure("respiratory_rate", c.respiration, 43199)});
    const Json document = engine.state();
    EXPECT_EQ(document["oxygen_saturation"], c.oxygenShown) << c.oxygen;
    EXPECT_EQ(document["respiratory_rate"], c.respirationShown) << c.respiration;
    EXPECT_EQ(document["flags"], c.flags) << c.oxygen;
  }
  now += 1;  // both now exactly twelve hours old
  const Json stale = engine.state();
  EXPECT_FALSE(stale.contains("oxygen_saturation"));
  EXPECT_FALSE(stale.contains("respiratory_rate"));
  EXPECT_EQ(stale["flags"], Json::array());
}

TEST_F(StateDocument, FlagsFollowTheFixedOrder) {
  // Fed in the reverse of the flag order, to show the order is not arrival order.
  ingest({measure("respiratory_rate", 25, 60), measure("oxygen_saturation", 92, 60),
          measure("sleep_hours", 4, 3600), measure("resting_heart_rate", 50, 3600),
          heartRate(60, 120), heartRate(62, 90), heartRate(64, 60), heartRate(66, 30),
          heartRate(70, 0)});
  const Json document = engine.state();
  EXPECT_EQ(document["heart_rate"]["trend"], "rising");
  EXPECT_EQ(document["heart_rate"]["vs_baseline_pct"], 40);
  EXPECT_EQ(document["flags"],
            Json::array({"hr_rising", "hr_high", "short_sleep", "spo2_low", "resp_elevated"}));
}

TEST_F(StateDocument, FiguresBeyondSixtyFourBitsAreLeftOutExtremesKept) {
  ingest({measure("hrv_sdnn", 1e19, 60), measure("oxygen_saturation", -1e308, 60),
          measure("respiratory_rate", 1.7e308, 60), measure("resting_heart_rate", 9.3e18, 60),
          heartRate(70, 1)});
  Json document = engine.state();
  EXPECT_FALSE(document.contains("hrv_sdnn"));
  EXPECT_FALSE(document.contains("oxygen_saturation"));
  EXPECT_FALSE(document.contains("respiratory_rate"));
  EXPECT_FALSE(document.contains("baseline"));
  EXPECT_EQ(document["heart_rate"], (Json{{"bpm", 70}, {"age_seconds", 1}, {"live", true}}));
  EXPECT_EQ(document["flags"], Json::array());

  // -2^63 still fits a 64-bit integer; its percentage against a small baseline does not.
  StateEngine extreme{[this] { return now; }};
  std::vector<Json> batch{measure("resting_heart_rate", 1, 60),
                          heartRate(-9223372036854775808.0, 1)};
  extreme.ingest(batch);
  document = extreme.state();
  EXPECT_EQ(document["heart_rate"]["bpm"], std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(document["heart_rate"].contains("vs_baseline_pct"));
  EXPECT_EQ(document["baseline"]["bpm"], 1);

  // A reading from the distant past is the only one held but its age does not fit.
  StateEngine ancient{[this] { return now; }};
  batch = {test::sample("heart_rate", 70, -1e300)};
  ancient.ingest(batch);
  document = ancient.state();
  EXPECT_FALSE(document.contains("heart_rate"));
  EXPECT_EQ(Json::parse(document.dump()), document);
}

}  // namespace
}  // namespace orvane
