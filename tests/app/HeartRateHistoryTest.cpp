#include "HeartRateHistory.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

constexpr double now = 1'700'000'000;
using Points = std::vector<std::pair<double, double>>;  // (seconds before now, bpm)

std::string line(double age, double value, const std::string& type = "heart_rate") {
  return R"({"device":"Phone","ts":)" + std::to_string(now - age) + R"(,"type":")" + type +
         R"(","unit":"count/min","value":)" + std::to_string(value) + "}\n";
}

std::string repeat(const std::string& text, int times) {
  std::string result;
  while (times-- > 0)
    result += text;
  return result;
}

Points points(const HeartRateHistory& history, double at = now) {
  Points result;
  for (const Reading& reading : history.readings())
    result.emplace_back(at - reading.ts, reading.value);
  return result;
}

struct Scan {
  const char* name;
  std::string text;
  Points expected;
};

class HeartRateHistoryScan : public ::testing::TestWithParam<Scan> {};

// Every case is read once with a buffer far larger than the file and once with one smaller
// than a line.
TEST_P(HeartRateHistoryScan, ReadsTheLastDayOfHeartRates) {
  test::TemporaryDirectory dir;
  test::writeFile(dir.path() / "history.jsonl", GetParam().text);
  for (const std::size_t buffer : {1u << 16, 7u}) {
    HeartRateHistory history(test::qPath(dir.path() / "history.jsonl"), buffer);
    history.refresh(now);
    EXPECT_EQ(points(history), GetParam().expected) << "buffer " << buffer;
  }
}

const std::string old = line(90'000, 50);
const std::string last = line(30, 71);
INSTANTIATE_TEST_SUITE_P(
    Cases, HeartRateHistoryScan,
    ::testing::Values(Scan{"OldAndNew",
                           old + line(86'399, 61) + line(86'401, 62) + line(60, 63),
                           {{86'399, 61}, {60, 63}}},
                      Scan{"SortedByTime",
                           line(30, 71) + line(300, 72) + line(30, 73),
                           {{300, 72}, {30, 71}, {30, 73}}},
                      Scan{"OtherMeasures",
                           line(60, 58, "resting_heart_rate") + line(50, 40, "hrv_sdnn") +
                               line(40, 70) + line(30, 5, "Heart_rate"),
                           {{40, 70}}},
                      Scan{"TornLastLine", line(60, 70) + last.substr(0, 40), {{60, 70}}},
                      Scan{"WholeLastLineWithoutLineFeed",
                           line(60, 70) + last.substr(0, last.size() - 1),
                           {{60, 70}}},
                      Scan{"UnparsableLines",
                           line(90, 69) + "{\"type\":\"heart_rate\",\"value\":1,\"ts\":\"5\"}\n" +
                               "not json\n\n[1]\n" + line(60, 70),
                           {{90, 69}, {60, 70}}},
                      Scan{"FirstLineOfTheFile", line(60, 70), {{60, 70}}},
                      // A late batch of old samples does not hide the day before it; a run longer
                      // than any batch ends the scan.
                      Scan{"BackfilledBatch", line(60, 70) + repeat(old, 1999), {{60, 70}}},
                      Scan{"PastTheWindow", line(60, 70) + repeat(old, 2000), {}},
                      Scan{"Empty", "", {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(HeartRateHistory, MissingFileHasNoReadings) {
  HeartRateHistory history(QStringLiteral("/nonexistent/history.jsonl"));
  history.refresh(now);
  EXPECT_TRUE(history.readings().empty());
}

struct Update {
  const char* name;
  std::string before;
  std::string appended;
  bool replace;  // a new file instead of an append
  double later;  // seconds the clock moved on
  Points expected;
};

class HeartRateHistoryUpdate : public ::testing::TestWithParam<Update> {};

TEST_P(HeartRateHistoryUpdate, FollowsTheFile) {
  test::TemporaryDirectory dir;
  const auto file = dir.path() / "history.jsonl";
  test::writeFile(file, GetParam().before);
  HeartRateHistory history(test::qPath(file), 16);
  history.refresh(now);
  if (GetParam().replace) {
    test::writeFile(dir.path() / "new", GetParam().appended);
    std::filesystem::rename(dir.path() / "new", file);
  } else {
    std::ofstream(file, std::ios::app) << GetParam().appended;
  }
  history.refresh(now + GetParam().later);
  EXPECT_EQ(points(history, now + GetParam().later), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeartRateHistoryUpdate,
    ::testing::Values(
        Update{"Appended",
               line(60, 70),
               line(90, 69) + line(10, 72),
               false,
               0,
               {{90, 69}, {60, 70}, {10, 72}}},
        Update{"TornLineCompleted",
               line(60, 70) + last.substr(0, 50),
               last.substr(50) + line(20, 72),
               false,
               0,
               {{60, 70}, {30, 71}, {20, 72}}},
        Update{"Replaced",
               line(60, 70) + line(50, 71),
               line(40, 72) + line(30, 73) + line(20, 74),
               true,
               0,
               {{40, 72}, {30, 73}, {20, 74}}},
        Update{"LeftTheWindow", line(86'000, 60) + line(60, 70), "", false, 600, {{660, 70}}}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace orvane
