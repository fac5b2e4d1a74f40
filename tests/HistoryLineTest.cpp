#include "HistoryLine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace orvane {
namespace {

using Json = nlohmann::json;

Json lineRecord(const std::string& line) {
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, ended by its line feed";
  return Json::parse(line);
}

TEST(HistoryLine, EveryFieldReadsBackExactly) {
  const std::string awkward =
      std::string("a\"b\\c/\b\f\n\r\t\x01\x1f\x7f ", 16) + "\xc3\xa9\xe2\x82\xac";
  std::string text;
  ASSERT_TRUE(appendHistoryLine(text, "heart_rate", {1'700'000'000.25, 72.5}, awkward, "Watch"));
  ASSERT_TRUE(appendHistoryLine(text, awkward, {0, -0.1}, "", awkward));
  const std::size_t firstEnd = text.find('\n') + 1;
  EXPECT_EQ(lineRecord(text.substr(0, firstEnd)), (Json{{"type", "heart_rate"},
                                                        {"value", 72.5},
                                                        {"ts", 1'700'000'000.25},
                                                        {"unit", awkward},
                                                        {"device", "Watch"}}));
  EXPECT_EQ(
      lineRecord(text.substr(firstEnd)),
      (Json{{"type", awkward}, {"value", -0.1}, {"ts", 0.0}, {"unit", ""}, {"device", awkward}}));
}

TEST(HistoryLine, NumbersKeepTheirExactDoubleAndStayFloatingPoint) {
  const std::vector<double> values{72.0,   0.1 + 0.2,
                                   1e300,  -1e-300,
                                   5e-324, 123456789012345680000.0,
                                   -0.0,   std::numeric_limits<double>::max(),
                                   1e21,   1e15};
  for (const double value : values) {
    std::string text;
    ASSERT_TRUE(appendHistoryLine(text, "t", {value, value}, "u", "d"));
    const Json record = lineRecord(text);
    for (const char* key : {"value", "ts"}) {
      EXPECT_TRUE(record[key].is_number_float()) << text;
      EXPECT_EQ(record[key].get<double>(), value) << text;
      EXPECT_EQ(std::signbit(record[key].get<double>()), std::signbit(value)) << text;
    }
  }
}

TEST(HistoryLine, TextThatIsNotUtf8LeavesTheLineOut) {
  std::string text = "kept\n";
  EXPECT_FALSE(appendHistoryLine(text, "bad\xc3", {1, 1}, "", "d"));
  EXPECT_FALSE(appendHistoryLine(text, "t", {1, 1}, "\xff\xfe", "d"));
  EXPECT_FALSE(appendHistoryLine(text, "t", {1, 1}, "", "\xed\xa0\x80"));
  EXPECT_EQ(text, "kept\n");
}

}  // namespace
}  // namespace orvane
