#include "StateEngine.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EngineTestSupport.hpp"

namespace orvane {
namespace {

using test::Json;
using test::sample;

std::optional<double> fromText(const char* text) {
  return toDouble(Json(text));
}

TEST(ToDouble, TakesNumbersAndTextWhoseWholeTextIsANumber) {
  const std::pair<Json, double> cases[] = {
      {Json(72.5), 72.5},
      {Json(72), 72.0},
      {Json(-5), -5.0},
      {Json(std::numeric_limits<std::uint64_t>::max()), 18446744073709551616.0},
      {Json(std::numeric_limits<std::int64_t>::min()), -9223372036854775808.0},
      {Json("72.5"), 72.5},
      {Json("-1e3"), -1000.0},
      {Json("+4"), 4.0},
      {Json(".5"), 0.5},
      {Json("0x1A"), 26.0},
      {Json("0x1p3"), 8.0}};
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(toDouble(input), expected) << input;
  for (const char* text : {"inf", "Infinity", "-INF", "1e999"})
    EXPECT_TRUE(std::isinf(fromText(text).value_or(0))) << text;
  for (const char* text : {"nan", "NaN", "-nan"})
    EXPECT_TRUE(std::isnan(fromText(text).value_or(0))) << text;
}

TEST(ToDouble, RefusesBlanksOtherTextAndNonNumbers) {
  std::vector<Json> refused{
      Json(std::string("72\0", 3)), Json(true), Json(false), Json(nullptr), Json::array({72}),
      Json::object({{"value", 72}})};
  for (const char* text :
       {" 72", "\t72", "\n72", "72 ", "72\n", "", "abc", "72abc", "0x", "1,5", "seventy"})
    refused.emplace_back(text);
  for (const Json& value : refused)
    EXPECT_FALSE(toDouble(value).has_value()) << value;
}

TEST(ToDouble, IgnoresTheProcessLocale) {
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "no de_DE.UTF-8 locale here";
  const std::optional<double> dotted = fromText("72.5");
  const std::optional<double> comma = fromText("72,5");
  std::setlocale(LC_NUMERIC, previous.c_str());
  EXPECT_EQ(dotted, 72.5);
  EXPECT_FALSE(comma.has_value());
}

using Ingest = test::EngineTest;

TEST_F(Ingest, TakesOnlyTheFirst2000Samples) {
  std::vector<Json> batch;
  for (int i = 0; i < 2500; ++i)
    batch.push_back(heartRate(i, 3000 - i));  // later in the batch means newer
  EXPECT_EQ(engine.ingest(batch), 2000);
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 1999);
  EXPECT_EQ(historyRecords().size(), 2000u);
}

TEST_F(Ingest, SkipsMalformedAndNonFiniteSamplesAndKeepsTheRest) {
  Json noTs = heartRate(70, 10);
  noTs.erase("ts");
  Json noValue = heartRate(70, 10);
  noValue.erase("value");
  const std::int64_t accepted =
      ingest({noTs,
              noValue,
              sample("heart_rate", 70, nullptr),
              sample("heart_rate", 70, "yesterday"),
              sample("heart_rate", true, now),
              sample("heart_rate", Json::array({70}), now),
              {{"value", 70}, {"ts", now}},
              {{"type", 7}, {"value", 70}, {"ts", now}},
              Json::array({"heart_rate", 70, now}),
              sample("heart_rate", "nan", now),
              sample("heart_rate", "inf", now),
              sample("heart_rate", "1e999", now),
              sample("heart_rate", std::numeric_limits<double>::infinity(), now),
              sample("heart_rate", 70, "nan"),
              sample("heart_rate", 70, "-Infinity"),
              sample("hrv_sdnn", std::nan(""), now),
              sample("steps", 70, "1e999")});
  EXPECT_EQ(accepted, 0);
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
  EXPECT_EQ(ingest({sample("heart_rate", "nan", now), heartRate(64, 5)}), 1);
  const Json document = engine.state();
  EXPECT_EQ(document["heart_rate"]["bpm"], 64);
  EXPECT_FALSE(document.contains("hrv_sdnn"));
  EXPECT_EQ(historyRecords().size(), 1u);
}

TEST_F(Ingest, ConvertsTextAndIntegerValuesAndCountsUnknownTypes) {
  const Json before = engine.state();
  EXPECT_EQ(ingest({sample("heart_rate", "72.5", std::to_string(now - 10)),
                    sample("steps", 72, now - 10), measure("Heart_Rate", 70, 10)}),
            3);
  const std::vector<Json> records = historyRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["value"], 72.5);
  EXPECT_TRUE(records[1]["value"].is_number_float());
  EXPECT_EQ(records[1]["value"], 72.0);
  Json after = engine.state();
  EXPECT_EQ(after["heart_rate"]["bpm"], 73);
  after.erase("heart_rate");  // unknown types change no series
  EXPECT_EQ(after, before);
}

TEST_F(Ingest, ClampsTimestampsToAMinuteAhead) {
  EXPECT_EQ(ingest({heartRate(70, -3600)}), 1);
  EXPECT_EQ(historyRecords().at(0)["ts"], now + 60);
  EXPECT_EQ(engine.state()["heart_rate"]["age_seconds"], -60);
  now += 1000;  // the clamp is to the ingest's now, not the reader's
  EXPECT_EQ(engine.state()["heart_rate"]["age_seconds"], 940);
}

TEST_F(Ingest, SingleValueMeasuresKeepTheLastArrival) {
  EXPECT_EQ(ingest({measure("hrv_sdnn", 40, 60), measure("hrv_sdnn", 55, 600)}), 2);
  EXPECT_EQ(engine.state()["hrv_sdnn"]["ms"], 55);
  ingest({measure("oxygen_saturation", 97, 10)});
  ingest({measure("oxygen_saturation", 93, 900)});
  EXPECT_EQ(engine.state()["oxygen_saturation"], 93.0);
}

TEST_F(Ingest, KeepsTheLast4000HeartRatesByArrival) {
  // The first reading is the newest, so it would be reported for as long as it is kept.
  std::vector<Json> batch{heartRate(150, 0)};
  for (int i = 1; i < 2000; ++i)
    batch.push_back(heartRate(60, 5000 - i));
  ingest(batch);
  batch.clear();
  for (int i = 0; i < 2000; ++i)
    batch.push_back(heartRate(61, 3000 - i));
  ingest(batch);
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 150);  // 4000 held, the first among them
  ingest({heartRate(62, 2000)});
  const Json heart = engine.state()["heart_rate"];
  EXPECT_EQ(heart["bpm"], 61);
  EXPECT_EQ(heart["age_seconds"], 1001);
}

TEST_F(Ingest, ConcurrentBatchesAreAppliedWhole) {
  constexpr int threads = 4;
  constexpr int batches = 25;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([this, t] {
      for (int b = 0; b < batches; ++b) {
        std::vector<Json> batch;
        for (int i = 0; i < 10; ++i)
          batch.push_back(heartRate(60 + t, 100 + b));
        engine.ingest(batch);
        engine.state();
      }
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  const std::vector<Json> records = historyRecords();
  ASSERT_EQ(records.size(), std::size_t{threads * batches * 10});
  // Each batch's ten lines sit together: no batch was interleaved with another.
  for (std::size_t i = 0; i < records.size(); i += 10) {
    for (std::size_t j = i; j < i + 10; ++j)
      EXPECT_EQ(records[j]["value"], records[i]["value"]) << j;
  }
}

}  // namespace
}  // namespace orvane
