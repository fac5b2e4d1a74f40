// The engine: what ingest takes, the state document derived from what it holds, its files.
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "HistoryLine.hpp"
#include "ReferenceRequest.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

Json sample(const std::string& type, Json value, Json ts) {
  return {{"type", type}, {"value", std::move(value)}, {"ts", std::move(ts)}};
}
Json record(const std::string& type, double value, double ts, const std::string& unit,
            const std::string& device) {
  return {{"type", type}, {"value", value}, {"ts", ts}, {"unit", unit}, {"device", device}};
}

// An engine on a clock the test moves by hand, over a private data directory.
class Engine : public test::DataDirTest {
 protected:
  Json measure(const std::string& type, double value, double age) const {
    return sample(type, value, now - age);
  }
  Json heartRate(double bpm, double age) const { return measure("heart_rate", bpm, age); }
  std::int64_t ingest(const std::vector<Json>& samples, const std::string& device = "unknown") {
    return reference::ingest(engine, samples, device);
  }
  // Every line of the history file; a torn last line fails to parse.
  std::vector<Json> historyRecords() const {
    std::istringstream lines(readText(dir.historyFile()));
    std::vector<Json> records;
    for (std::string line; std::getline(lines, line);)
      records.push_back(Json::parse(line));
    return records;
  }

  double now = 1'700'000'000.25;
  StateEngine engine{dir, [this] { return now; }};
};

TEST_F(Engine, BaselinePercentageRaisesAtMostOneFlagInTheFixedOrder) {
  // Latest, resting, percentage, flag; -0.5 rounds away from zero, and a zero baseline gives none.
  using Case = std::tuple<double, double, int, const char*>;
  for (const auto& [latest, resting, percent, flag] :
       {Case{81, 60, 35, "hr_high"}, Case{118, 100, 18, "hr_elevated"}, Case{103, 100, 3, ""},
        Case{102, 100, 2, "hr_at_baseline"}, Case{88, 100, -12, "hr_below_baseline"},
        Case{199, 200, -1, "hr_at_baseline"}, Case{70, 0, 0, ""}}) {
    StateEngine fresh{dir, [this] { return now; }};
    reference::ingest(fresh, {measure("resting_heart_rate", resting, 3600), heartRate(latest, 1)});
    Json document = fresh.state();
    EXPECT_EQ(document["baseline"], (Json{{"bpm", resting}, {"source", "resting_heart_rate"}}));
    EXPECT_EQ(document["heart_rate"].value("vs_baseline_pct", 0), percent) << latest;
    EXPECT_EQ(document["flags"], *flag ? Json::array({flag}) : Json::array()) << latest;
  }
  ingest({measure("resting_heart_rate", 50, 3600), heartRate(60, 120), heartRate(62, 90),
          heartRate(64, 60), heartRate(66, 30), heartRate(70, 0)});
  EXPECT_EQ(engine.state()["flags"], Json::array({"hr_rising", "hr_high"}));
}

TEST_F(Engine, MeasuresShowWhileFreshAndFlagByTheirOwnRules) {
  Json empty{
      {"updated_at", now}, {"version", version()}, {"orvaned", true}, {"flags", Json::array()}};
  EXPECT_EQ(engine.state(), empty);
  // Sleep compares its rounded figure, oxygen and respiration their unrounded values.
  using Case = std::tuple<double, double, double, double, Json>;
  for (const auto& [sleep, sleepShown, oxygen, respiration, flags] :
       {Case{5.96, 6.0, 94.96, 20.04, {"spo2_low", "resp_elevated"}},
        Case{5.94, 5.9, 89.99, 9.96, {"short_sleep", "spo2_critical", "resp_slow"}},
        Case{6, 6, 95, 20, Json::array()}, Case{6, 6, 90, 10, {"spo2_low"}}}) {
    ingest({measure("sleep_hours", sleep, 129599), measure("oxygen_saturation", oxygen, 43199),
            measure("respiratory_rate", respiration, 43199), measure("hrv_sdnn", 48.5, 43199),
            measure("resting_heart_rate", 55, 60)});
    Json document = engine.state();
    EXPECT_EQ(document["sleep_last_night_hours"], sleepShown) << sleep;
    EXPECT_EQ(document["oxygen_saturation"], std::round(oxygen)) << oxygen;
    EXPECT_EQ(document["respiratory_rate"], std::round(respiration)) << respiration;
    EXPECT_EQ(document["hrv_sdnn"], (Json{{"ms", 49}, {"age_minutes", 720}}));
    EXPECT_EQ(document["flags"], flags) << oxygen;
  }
  now += 1;  // each now as old as its window; a resting heart rate alone shows nothing
  empty["updated_at"] = now;
  EXPECT_EQ(engine.state(), empty);
}

TEST_F(Engine, FiguresBeyondSixtyFourBitsAreLeftOut) {
  ingest({measure("hrv_sdnn", 1e19, 60), measure("oxygen_saturation", -1e308, 60),
          measure("resting_heart_rate", 1, 60), heartRate(-9223372036854775808.0, 1)});
  Json document = engine.state();  // -2^63 fits, unlike its percentage or the other figures
  EXPECT_EQ(document["heart_rate"], (Json{{"bpm", INT64_MIN}, {"age_seconds", 1}, {"live", true}}));
  EXPECT_EQ(document.size(), 6u);  // with the baseline, without HRV or oxygen
}

// Random ingests and clock moves, backwards too: kept figures must match fresh ones every time.
TEST_F(Engine, KeptFiguresMatchFiguresDerivedFromScratch) {
  std::vector<Reading> held;  // what the engine should hold, in arrival order
  std::mt19937 random(7);
  const auto pick = [&](std::initializer_list<double> choices) {
    return choices.begin()[random() % choices.size()];
  };
  for (int step = 0; step < 1000; ++step) {
    if (random() % 2) {
      now += pick({0, 0.5, 1, 50, 119.5, 120, 3600, 86400, -0.5, -50, -3600});
    } else {
      std::vector<Json> batch;
      for (auto count = random() % 60; count > 0; --count) {
        // On a 40 s grid (equal timestamps), or half a second off it: both windows' edges.
        const double age = static_cast<double>(random() % 2300) * 40 - 80 + pick({0, 0.5, -0.5});
        batch.push_back(heartRate(40 + static_cast<double>(random() % 280) / 2, age));
        held.push_back({std::min(now - age, now + 60), batch.back()["value"].get<double>()});
      }
      ingest(batch);
      if (held.size() > StateEngine::maxHeartRates)
        held.erase(held.begin(), held.end() - 4000);
    }
    Json expected = Json::object();
    if (!held.empty()) {
      const Reading latest =
          *std::max_element(held.begin(), held.end(), [](auto& a, auto& b) { return a.ts < b.ts; });
      Json& heart = expected["heart_rate"] = {{"bpm", std::llround(latest.value)},
                                              {"age_seconds", std::llround(now - latest.ts)},
                                              {"live", now - latest.ts < 120}};
      if (const std::optional<Trend> trend = trendLabel(held, now))
        heart.update({{"trend", trend->label}, {"slope_bpm_per_min", trend->slope}});
      if (const std::optional<Baseline> base = dailyBaseline(held, now)) {
        heart["vs_baseline_pct"] = std::llround((latest.value - base->value) / base->value * 100);
        expected["baseline"] = {{"bpm", std::llround(base->value)}, {"source", "24h_p25"}};
      }
    }
    Json document = engine.state();
    for (const char* key : {"updated_at", "version", "orvaned", "flags"})
      document.erase(key);
    ASSERT_EQ(document.dump(), expected.dump()) << "step " << step;
  }
}

TEST(Baseline, FreshRestingHeartRateWinsElseTheQuarterOfAtLeastTwentyRecentReadings) {
  std::vector<Reading> day;  // 51 to 70 within a day, shuffled
  for (int v = 51; v <= 70; ++v)
    day.push_back({1e9 - (v - 50) * 4000.0, double(v)});
  std::shuffle(day.begin(), day.end(), std::mt19937{7});
  EXPECT_EQ(baseline(day, Reading{1e9 - 604799.5, 52.4}, 1e9).value().value, 52.4);
  EXPECT_EQ(baseline(day, Reading{1e9 - 604800, 52.4}, 1e9).value().value, 56);
  // 24 readings, future ones too: the seventh lowest.
  day.insert(day.end(), {{1e9 + 60, 1}, {1e9 + 60, 2}, {1e9, 3}, {1e9, 4}});
  EXPECT_EQ(baseline(day, std::nullopt, 1e9).value().value, 53);
  day.resize(20);
  day.back().ts = 1e9 - 86400;  // 19 readings within a day
  EXPECT_FALSE(baseline(day, std::nullopt, 1e9));
  day.back().ts = 1e9 - 86399.5;
  EXPECT_TRUE(baseline(day, std::nullopt, 1e9));
}

// Each case: readings as (age, value) in arrival order, then the slope and label, if any. Only
// timestamps within two minutes count, five of them distinct at least; exactly 2 per minute is
// steady, 2.04 shows as 2.0 but rises.
TEST(Trend, LeastSquaresSlopeOfFiveReadingsWithinTwoMinutesLabelledByItsUnroundedValue) {
  using Case = std::tuple<std::vector<std::pair<double, double>>, double, const char*>;
  const Case cases[] = {
      {{{100, 60}, {75, 62}, {50, 64}, {25, 66}, {120.5, 58}}, 0, ""},
      {{{30, 60}, {30, 70}, {30, 80}, {30, 90}, {30, 100}}, 0, ""},
      {{{600, 200}, {90, 66}, {0, 60}, {120, 68}, {-30, 58}, {60, 64}, {30, 62}, {120.5, 10}},
       -4,
       "falling"},
      {{{120, 70}, {90, 71}, {60, 72}, {30, 73}, {0, 74}}, 2, "steady"},
      {{{120, 70}, {90, 69}, {60, 68}, {30, 67}, {0, 66}}, -2, "steady"},
      {{{120, 70}, {90, 71.02}, {60, 72.04}, {30, 73.06}, {0, 74.08}}, 2, "rising"},
      {{{120, 70}, {90, 68.98}, {60, 67.96}, {30, 66.94}, {0, 65.92}}, -2, "falling"}};
  for (const auto& [ageAndValue, slope, label] : cases) {
    std::vector<Reading> readings;
    for (const auto& [age, value] : ageAndValue)
      readings.push_back({1e9 - age, value});
    const std::optional<Trend> trend = trendLabel(readings, 1e9);
    EXPECT_EQ(trend ? trend->label : "", label) << ageAndValue.size() << " " << slope;
    EXPECT_EQ(trend ? trend->slope : 0, slope) << label;
  }
  EXPECT_EQ(roundOneDecimal(-0.25), -0.3);  // halves away from zero
}

TEST(HistoryLine, FieldsAndNumbersReadBackExactlyTextThatIsNotUtf8LeavesTheLineOut) {
  const std::string awkward = std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f\0", 12) + "\xc3\xa9";
  for (const double number : {72.0, 0.1 + 0.2, 5e-324, -0.0, 1e21, 1.7976931348623157e308}) {
    std::string text = "kept\n";
    ASSERT_TRUE(appendHistoryLine(text, awkward, {number, -number}, awkward, awkward));
    const Json line = Json::parse(text.substr(5));
    EXPECT_EQ(line, record(awkward, -number, number, awkward, awkward));
    EXPECT_TRUE(line["value"].is_number_float() && line["ts"].is_number_float()) << text;
    EXPECT_NE(std::signbit(line["value"].get<double>()), std::signbit(number)) << text;
  }
  std::string text = "kept\n";
  EXPECT_FALSE(appendHistoryLine(text, "\xc3", {1, 1}, "", ""));
  EXPECT_FALSE(appendHistoryLine(text, "", {1, 1}, "\xff", ""));
  EXPECT_FALSE(appendHistoryLine(text, "", {1, 1}, "", "\xed\xa0\x80"));
  EXPECT_EQ(text, "kept\n");
}

// Timestamps are clamped to a minute ahead; other measures keep their last arrival.
TEST_F(Engine, HistoryRecordsTakeTheBatchsDeviceATextUnitAndTheClampedTime) {
  Json withUnit = measure("hrv_sdnn", 41.5, 5), badUnit = heartRate(71, 1);
  withUnit.update({{"unit", "ms"}, {"device", "Phone"}});  // the batch's device wins
  badUnit["unit"] = "\xff";                                // cannot be written, still counts
  Json numericUnit = measure("steps", 12, 7);
  numericUnit.update({{"unit", 3}, {"device", Json::array()}});
  EXPECT_EQ(ingest({withUnit, badUnit, numericUnit}, "Watch"), 3);
  EXPECT_EQ(ingest({heartRate(72, -3600), measure("hrv_sdnn", 40, 60)}), 2);
  EXPECT_EQ(historyRecords(), (std::vector<Json>{record("hrv_sdnn", 41.5, now - 5, "ms", "Watch"),
                                                 record("steps", 12, now - 7, "", "Watch"),
                                                 record("heart_rate", 72, now + 60, "", "unknown"),
                                                 record("hrv_sdnn", 40, now - 60, "", "unknown")}));
  EXPECT_EQ(engine.state()["hrv_sdnn"]["ms"], 40);
}

TEST_F(Engine, TornLastLineOfTheHistoryIsCutBeforeTheFirstAppendWholeOrDamagedLinesAreKept) {
  std::string line;
  appendHistoryLine(line, "heart_rate", {now - 1, 70}, "", "unknown");
  const std::string lines = "{\"a\":1}\n{\"b\":\x01 damaged\n{\"c\":3}\n";
  std::vector<std::string> before;
  for (std::size_t cut = 0; cut <= lines.size(); ++cut)
    before.push_back(lines.substr(0, cut));
  before.push_back(lines + std::string(200'000, 'x'));  // longer than one read
  for (const std::string& text : before) {
    writeText(dir.historyFile(), text);
    StateEngine fresh{dir, [this] { return now; }};
    reference::ingest(fresh, {heartRate(70, 1)});
    ASSERT_EQ(readText(dir.historyFile()), text.substr(0, text.rfind('\n') + 1) + line) << text;
  }
}

// A failed append is the real program's full disk; a short one is taken back too.
TEST_F(Engine, ShortHistoryAppendIsTakenBack) {
  writeText(dir.historyFile(), "{\"earlier\":1}\n");
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit come back short
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  const rlimit lowered{fs::file_size(dir.historyFile()) + 5, previous.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &lowered);
  EXPECT_EQ(ingest({heartRate(70, 1), heartRate(71, 0)}), 2);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(readText(dir.historyFile()), "{\"earlier\":1}\n");
}

TEST_F(Engine, StateFileFollowsEveryIngestAndFlagChangeNotTheInitialFlag) {
  writeText(dir.stateFile(), "left by the previous run");
  writeText(dir.historyFile(), "{\"a\":1}\n{\"b\"");
  engine.setInitialOrvaned(false);
  EXPECT_EQ(readText(dir.stateFile()), "left by the previous run");
  engine.setOrvaned(true);
  EXPECT_EQ(Json::parse(readText(dir.stateFile()))["orvaned"], true);
  now += 10;
  EXPECT_EQ(ingest({sample("heart_rate", "x", now)}), 0);
  EXPECT_EQ(readText(dir.historyFile()), "{\"a\":1}\n{\"b\"");  // appending nothing cuts nothing
  EXPECT_EQ(readText(dir.stateFile()), engine.state().dump(2) + "\n");
}

}  // namespace
}  // namespace orvane
