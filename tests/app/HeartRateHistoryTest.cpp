#include "HeartRateHistory.hpp"

#include <gtest/gtest.h>

#include <optional>
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

Points points(const HeartRateHistory& history) {
  Points result;
  for (const Reading& reading : history.readings())
    result.emplace_back(now - reading.ts, reading.value);
  return result;
}

struct Scan {
  const char* name;
  std::optional<std::string> text;  // none: no file
  Points expected;
};

class HeartRateHistoryScan : public ::testing::TestWithParam<Scan> {};

// Every case is read once with a buffer far larger than the file and once with one smaller
// than a line.
TEST_P(HeartRateHistoryScan, ReadsTheLastDayOfHeartRates) {
  test::TemporaryDirectory dir;
  if (GetParam().text)
    test::writeFile(dir.path() / "history.jsonl", *GetParam().text);
  for (const std::size_t buffer : {1u << 16, 7u}) {
    HeartRateHistory history(test::qPath(dir.path() / "history.jsonl"), buffer);
    history.refresh(now);
    EXPECT_EQ(points(history), GetParam().expected) << "buffer " << buffer;
  }
}

const std::string old = line(90'000, 50);
const std::string last = line(30, 71);
const std::string oldBatch = QByteArray::fromStdString(old).repeated(1999).toStdString();
const std::vector<Scan> scans{
    {"OldAndNew",
     old + line(86'399, 61) + line(86'401, 62) + line(60, 63),
     {{86'399, 61}, {60, 63}}},
    {"SortedByTime", line(30, 71) + line(300, 72) + line(30, 73), {{300, 72}, {30, 71}, {30, 73}}},
    {"OtherMeasures",
     line(60, 58, "resting_heart_rate") + line(50, 40, "hrv_sdnn") + line(40, 70) +
         line(30, 5, "Heart_rate"),
     {{40, 70}}},
    {"TornLastLine", line(60, 70) + last.substr(0, 40), {{60, 70}}},
    {"WholeLastLineWithoutLineFeed", line(60, 70) + last.substr(0, last.size() - 1), {{60, 70}}},
    {"UnparsableLines",
     line(90, 69) +
         R"({"type":"heart_rate","value":1,"ts":"5"})"
         "\nnot json\n\n[1]\n" +
         line(60, 70),
     {{90, 69}, {60, 70}}},
    // A late batch of old samples does not hide the day before it; a run longer than any batch
    // ends the scan.
    {"BackfilledBatch", line(60, 70) + oldBatch, {{60, 70}}},
    {"PastTheWindow", line(60, 70) + oldBatch + old, {}},
    {"Empty", "", {}},
    {"Missing", std::nullopt, {}}};
INSTANTIATE_TEST_SUITE_P(Cases, HeartRateHistoryScan, ::testing::ValuesIn(scans),
                         [](const auto& param) { return std::string(param.param.name); });

struct Update {
  const char* name;
  std::string before;
  std::string appended;
  bool replace;  // a new file instead of an append
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
  // Ten minutes on, as a window left open would see it.
  history.refresh(now + 600);
  EXPECT_EQ(points(history), GetParam().expected);
}

const std::vector<Update> updates{
    {"Appended", line(60, 70), line(90, 69) + line(10, 72), false, {{90, 69}, {60, 70}, {10, 72}}},
    {"TornLineCompleted",
     line(60, 70) + last.substr(0, 50),
     last.substr(50),
     false,
     {{60, 70}, {30, 71}}},
    {"Replaced",
     line(60, 70) + line(50, 71),
     line(40, 72) + line(30, 73) + line(20, 74),
     true,
     {{40, 72}, {30, 73}, {20, 74}}},
    {"LeftTheWindow", line(86'000, 60) + line(60, 70), "", false, {{60, 70}}}};
INSTANTIATE_TEST_SUITE_P(Cases, HeartRateHistoryUpdate, ::testing::ValuesIn(updates),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace orvane
