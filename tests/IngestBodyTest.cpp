// The router reads /ingest bodies without building a JSON value; these tests hold that reading
// to the one the JSON reader gives, on hand-picked bodies and on many random ones.
#include "IngestBody.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "Request.hpp"
#include "StateEngine.hpp"

namespace orvane {
namespace {

// The batch the event reader reads, or nothing for a bad payload.
std::optional<IngestBatch> readIngestBody(std::string_view body) {
  IngestBatch batch;
  if (!orvane::readIngestBody(body, batch))
    return std::nullopt;
  return batch;
}

// The batch as the router would take it from the body parsed whole into JSON.
std::optional<IngestBatch> viaJsonValue(std::string_view body) {
  const std::optional<JsonObject> json = parseJsonObject(body);
  if (!json)
    return std::nullopt;
  const auto samples = json->find("samples");
  if (samples == json->end() || !samples->is_array())
    return std::nullopt;
  IngestBatch batch;
  for (const JsonObject& sample : *samples) {
    if (!sample.is_object())
      return std::nullopt;
    if (batch.samples.size() < StateEngine::maxBatch)
      batch.samples.push_back(sampleFromJson(sample));
  }
  const auto device = json->find("device");
  if (device != json->end() && device->is_string())
    batch.device = device->get<std::string>();
  return batch;
}

bool sameNumber(const std::optional<double>& a, const std::optional<double>& b) {
  if (!a || !b)
    return a.has_value() == b.has_value();
  return *a == *b || (std::isnan(*a) && std::isnan(*b));
}

// Empty when the two agree, else what differs first.
std::string difference(const std::optional<IngestBatch>& got,
                       const std::optional<IngestBatch>& want) {
  if (!got || !want)
    return got.has_value() == want.has_value() ? "" : got ? "read a bad payload" : "refused";
  if (got->device != want->device)
    return "device " + got->device + " instead of " + want->device;
  if (got->samples.size() != want->samples.size())
    return std::to_string(got->samples.size()) + " samples instead of " +
           std::to_string(want->samples.size());
  for (std::size_t i = 0; i < got->samples.size(); ++i) {
    const IngestSample& g = got->samples[i];
    const IngestSample& w = want->samples[i];
    if (g.type != w.type || g.unit != w.unit || g.device != w.device ||
        !sameNumber(g.value, w.value) || !sameNumber(g.ts, w.ts))
      return "sample " + std::to_string(i) + " differs";
  }
  return "";
}

std::string differenceFor(const std::string& body) {
  return difference(readIngestBody(body), viaJsonValue(body));
}

TEST(IngestBodyTest, ReadsTheBatchTheJsonReaderSees) {
  const std::optional<IngestBatch> batch = readIngestBody(
      R"({"device":"watch","samples":[{"type":"heart_rate","value":72,"ts":"1700000000.5",)"
      R"("unit":"count/min","device":"phone"},{"type":"steps","value":-3e2,"ts":17}]})");
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->device, "watch");
  ASSERT_EQ(batch->samples.size(), 2U);
  EXPECT_EQ(batch->samples[0].type, "heart_rate");
  EXPECT_EQ(batch->samples[0].value, 72);
  EXPECT_EQ(batch->samples[0].ts, 1700000000.5);
  EXPECT_EQ(batch->samples[0].unit, "count/min");
  EXPECT_EQ(batch->samples[0].device, "phone");
  EXPECT_EQ(batch->samples[1].value, -300);
  EXPECT_FALSE(batch->samples[1].unit);
}

TEST(IngestBodyTest, AgreesWithTheJsonReaderOnAwkwardBodies) {
  const std::string deep = std::string(maxJsonDepth - 3, '[') + std::string(maxJsonDepth - 3, ']');
  const std::string tooDeep = "[" + deep + "]";
  const std::vector<std::string> bodies = {
      "", " ", "{}", "[]", "3", "null", R"("samples")", R"({"samples":[]})", R"({"samples":{}})",
      R"({"samples":null})", R"({"samples":[1]})", R"({"samples":[[]]})",
      R"({"samples":[{}, "x"]})", R"({"samples":[{}]}x)", R"({"samples":[{}],})",
      // A later member of the same name replaces the earlier one.
      R"({"samples":[1],"samples":[{"type":"a"}]})", R"({"samples":[{"type":"a"}],"samples":5})",
      R"({"samples":[{"type":"a"}],"samples":[{"type":"b"}]})",
      R"({"device":"a","samples":[],"device":7})", R"({"device":{"x":"y"},"samples":[]})",
      R"({"samples":[{"type":"a","type":{"t":1},"value":1,"value":"2"}]})",
      // Names written with escapes are the same names.
      R"({"s\u0061mples":[{"ty\u0070e":"heart_rate","ts":1,"value":2}]})",
      // Members of other objects that look like samples are not samples.
      R"({"other":[{"type":"a"}],"samples":[]})", R"({"samples":[{"x":[{"type":"a"}]}]})",
      R"({"samples":[{"type":["heart_rate"],"value":[1],"ts":{"v":1},"unit":null}]})",
      // Every way a value can read as a number, or not.
      R"({"samples":[{"value":18446744073709551615,"ts":-9223372036854775808}]})",
      R"({"samples":[{"value":18446744073709551616,"ts":1.5e308}]})",
      R"({"samples":[{"value":"0x1p3","ts":" 1"},{"value":"nan","ts":"-inf"}]})",
      R"({"samples":[{"value":"1e999","ts":""},{"value":true,"ts":null}]})",
      R"({"samples":[{"value":1e999}]})", R"({"samples":[{"value":01}]})",
      R"({"samples":[{"type":"\u00e9\ud83d\ude00","unit":"a\"b\\c\n"}]})",
      "{\"samples\":[{\"type\":\"\xff\"}]}", R"({"samples":[{"type":"\ud800"}]})",
      // Nesting up to the limit is fine anywhere, one level more is not.
      R"({"samples":[{"x":)" + deep + "}]}", R"({"samples":[{"x":)" + tooDeep + "}]}",
      R"({"x":)" + tooDeep + R"(,"samples":[]})"};
  for (const std::string& body : bodies)
    EXPECT_EQ(differenceFor(body), "") << body.substr(0, 80);
}

TEST(IngestBodyTest, KeepsTheFirstBatchOfSamplesButChecksThemAll) {
  std::string body = R"({"samples":[)";
  for (std::size_t i = 0; i < StateEngine::maxBatch + 500; ++i)
    body += R"({"type":"steps","value":)" + std::to_string(i) + R"(,"ts":1},)";
  const std::optional<IngestBatch> batch = readIngestBody(body + "{}]}");
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->samples.size(), StateEngine::maxBatch);
  EXPECT_EQ(batch->samples.back().value, StateEngine::maxBatch - 1);
  EXPECT_FALSE(readIngestBody(body + "2]}"));
}

// Bodies put together from pieces that matter to the reading: repeated and escaped names,
// values of every kind where samples, devices and numbers are expected, nested look-alikes,
// and now and then a cut or a stray byte that breaks the JSON.
class BodyMaker {
 public:
  explicit BodyMaker(unsigned seed) : random_(seed) {}

  std::string body() {
    std::string text = "{";
    const int members = below(5);
    for (int i = 0; i < members; ++i) {
      if (i > 0)
        text += ',';
      text += pick(
          {R"("samples":)", R"("samples":)", R"("device":)", R"("other":)", R"("s\u0061mples":)"});
      text += below(4) == 0 ? value(2) : samples();
    }
    text += "}";
    if (below(8) == 0)
      text.resize(static_cast<std::size_t>(below(static_cast<int>(text.size()) + 1)));
    if (below(8) == 0)
      text.insert(static_cast<std::size_t>(below(static_cast<int>(text.size()) + 1)), 1,
                  pick({"{", "]", ",", "\"", "\\", "\xc3"})[0]);
    return text;
  }

 private:
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + below(static_cast<int>(options.size())));
  }

  std::string samples() {
    std::string text = "[";
    const int count = below(6);
    for (int i = 0; i < count; ++i) {
      if (i > 0)
        text += ',';
      text += below(12) == 0 ? value(1) : sample();
    }
    return text + "]";
  }

  std::string sample() {
    std::string text = "{";
    const int fields = below(7);
    for (int i = 0; i < fields; ++i) {
      if (i > 0)
        text += ',';
      text += pick({R"("type":)", R"("value":)", R"("ts":)", R"("unit":)", R"("device":)",
                    R"("x":)", R"("ty\u0070e":)"});
      text += value(2);
    }
    return text + "}";
  }

  std::string value(int depth) {
    const int kind = below(depth > 0 ? 14 : 12);
    switch (kind) {
      case 0:
        return std::to_string(below(200) - 50);
      case 1:
        return pick({"1.5", "-0.0", "1e3", "1E-2", "18446744073709551615", "18446744073709551616",
                     "-9223372036854775809", "1e999", "01", "-"});
      case 2:
        return pick({R"("72")", R"("1.5e2")", R"(" 3")", R"("3 ")", R"("0x1A")", R"("nan")",
                     R"("-inf")", R"("1e999")", R"("")", R"("abc")"});
      case 3:
        return pick({R"("heart_rate")", R"("resting_heart_rate")", R"("count/min")",
                     R"("w\u00e4tch")", R"("a\"b")"});
      case 4:
        return pick({"true", "false", "null"});
      case 5:
        return R"("heart_rate")";
      case 6:
      case 7:
      case 8:
      case 9:
      case 10:
      case 11:
        return std::to_string(1700000000 + below(1000));
      case 12:
        return "[" + value(depth - 1) + "," + value(depth - 1) + "]";
      default:
        return R"({"type":)" + value(depth - 1) + R"(,"samples":[)" + value(depth - 1) + "]}";
    }
  }

  std::mt19937 random_;
};

TEST(IngestBodyTest, AgreesWithTheJsonReaderOnRandomBodies) {
  BodyMaker maker(20261206);
  int read = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::string body = maker.body();
    ASSERT_EQ(differenceFor(body), "") << body;
    read += readIngestBody(body).has_value();
  }
  // The pieces must give both outcomes often enough for the comparison to mean something.
  EXPECT_GT(read, 1000);
  EXPECT_LT(read, 9000);
}

}  // namespace
}  // namespace orvane
