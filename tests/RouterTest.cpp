// The routes through both entries of the router: the server's, which reads an /ingest body on
// its own, and the one that takes the body parsed whole into JSON. Both must give the same
// answer and history lines, which holds the server's reading to the JSON reader's.
#include "Router.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

using namespace std::string_literals;

constexpr const char* code = "amber-falcon-river-482913";
const std::string ok = R"(200 OK {"ok":true})", bad = R"(400 Bad Request {"error":"bad payload"})";
const std::string s = R"({"type":"steps","value":12,"ts":1700000000})";  // a sample that is kept

// `depth` arrays nested in one another, with something between the brackets.
std::string arrays(std::size_t depth) {
  std::string text = "0";
  while (depth-- > 0)
    text = "[0," + text + "]";
  return text;
}

class RouterTest : public test::DataDirTest {
 protected:
  static void SetUpTestSuite() { setToken(code); }
  void SetUp() override {
    DataDirTest::SetUp();
    ensureDataDir();
  }
  static std::string history() { return readWholeFile(historyFile()).value_or(""); }

  // The answer to `route` ("POST /ingest") as "<status> <reason> <body>"; `lines` gets the
  // history lines it appended.
  std::string answer(const std::string& route, const std::string& body = "",
                     const std::string& bearer = code) {
    const std::string raw = route + " HTTP/1.1\r\nAuthorization: Bearer " + bearer +
                            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                            body;
    GuessLimiter limiter;
    const std::size_t before = history().size();
    const std::string bytes = serializeResponse(respond(*frameRequest(raw).request, limiter, "p"));
    lines = history().substr(before);
    const std::string whole = serializeResponse(respond(*parseRequest(raw).request));
    EXPECT_EQ(history().substr(before + lines.size()), lines) << body;
    if (route != "GET /state") {  // the state carries the time it was made
      EXPECT_EQ(whole, bytes) << body;
    }
    const std::size_t lineEnd = bytes.find('\r'), bodyAt = bytes.find("\r\n\r\n") + 4;
    EXPECT_EQ(bytes.substr(lineEnd, bodyAt - lineEnd),
              "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(bytes.size() - bodyAt) + "\r\nConnection: close\r\n\r\n");
    return bytes.substr(9, lineEnd - 9) + " " + bytes.substr(bodyAt);
  }

  std::string lines;
};

// The code is checked before the route: without it even unknown routes get 401.
TEST_F(RouterTest, EveryRouteNeedsTheCodeAndOnlyExactRoutesExist) {
  const std::vector<std::string> routes = {
      "GET /health", "GET /state",  "POST /ingest", "POST /mark",   "POST /orvane", "POST /state",
      "GET /orvane", "get /health", "GET /health/", "GET /state?x", "PUT /mark"};
  for (const std::string& bearer : {""s, code + "x"s, code + "\0"s, "mber-falcon-river-482913"s,
                                    "AMBER-FALCON-RIVER-482913"s}) {
    for (const std::string& route : routes)
      EXPECT_EQ(answer(route, R"({"enabled":true})", bearer),
                R"(401 Unauthorized {"error":"unauthorized"})");
  }
  for (std::size_t i = 5; i < routes.size(); ++i)
    EXPECT_EQ(answer(routes[i]), R"(404 Not Found {"error":"not found"})") << routes[i];
  EXPECT_EQ(answer("GET /health"), R"(200 OK {"ok":true,"version":")" + version() + "\"}");
  EXPECT_EQ(answer("GET /state").substr(0, 8), "200 OK {");
  EXPECT_EQ(answer("POST /mark", "[not json"), ok);
  EXPECT_EQ(history(), "");
  // A body that cannot be printed as JSON goes out empty.
  EXPECT_TRUE(serializeResponse({200, {{"t", "\xff"}}})
                  .ends_with("Length: 2\r\nConnection: close\r\n\r\n{}"));
}

// Each case: body, samples accepted, the device their lines name.
TEST_F(RouterTest, IngestAcceptsTheUsableSamplesUnderTheBodysDevice) {
  std::string full = R"({"samples":[)";  // one sample more than a batch keeps
  for (std::size_t i = 0; i <= StateEngine::maxBatch; ++i)
    full += s + ",";
  const std::tuple<std::string, int, std::string> cases[] = {
      {R"({"device":"watch","samples":[{"type":"a","value":1,"ts":1,"device":"b"},)" + s + "]}", 2,
       "watch"},
      {R"({"samples":[)" + s + "]}", 1, "unknown"},
      {R"({"device":"a","samples":[)" + s + R"(],"device":7})", 1, "unknown"},
      {R"({"device":{"x":"y"},"samples":[)" + s + "]}", 1, "unknown"},
      {R"({"samples":[1],"samples":[)" + s + "]}", 1, "unknown"},
      {R"({"s\u0061mples":[{"ty\u0070e":"a","ts":1,"value":"2"}],"device":"\u00e9"})", 1, "é"},
      {R"({"samples":[{"type":"a","value":[1],"value":2,"ts":1,"unit":"\"\n"}]})", 1, ""},
      {R"({"samples":[{"type":"a","type":{"t":1},"value":1,"ts":1},{"value":1,"ts":1}]})", 0, ""},
      {R"({"other":[)" + s + R"(],"samples":[{"x":)" + s + "}]}", 0, ""},
      {R"({"samples":[{"value":"7","ts":" 1","type":"a"},{"value":"0x1p3","ts":"1e2","type":"a"}]})",
       1, ""},
      {R"({"samples":[{"x":)" + std::string(maxJsonDepth - 3, '[') +
           std::string(maxJsonDepth - 3, ']') + "}," + s + "]}",
       1, ""},
      {full + "{}]}", 2000, ""}};
  for (const auto& [body, count, device] : cases) {
    EXPECT_EQ(answer("POST /ingest", body),
              R"(200 OK {"accepted":)" + std::to_string(count) + R"(,"ok":true})")
        << body;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), count) << body;
    EXPECT_TRUE(device.empty() ||
                nlohmann::json::parse(lines.substr(0, lines.find('\n')))["device"] == device)
        << body;
  }
  EXPECT_EQ(answer("POST /ingest", full + "2]}"), bad);  // every sample is checked
}

TEST_F(RouterTest, UnusablePayloadsReachNoEngine) {
  for (const std::string& body :
       {""s, "[]"s, "{}"s, R"({"samples":null})"s, R"({"samples":{}})"s, R"({"Samples":[]})"s,
        R"({"samples":[{"value":1e999}]})"s, "{\"samples\":[" + s + ",3]}",
        "{\"samples\":[" + s + ",[]]}", "{\"samples\":[" + s + "]}x",
        "{\"samples\":[" + s + "],\"samples\":5}",
        "{\"x\":" + std::string(maxJsonDepth, '[') + std::string(maxJsonDepth, ']') +
            ",\"samples\":[" + s + "]}"})
    EXPECT_EQ(answer("POST /ingest", body), bad) << body;
  for (const std::string& body :
       {""s, "[true]"s, "{}"s, R"({"enabled":"true"})"s, R"({"enabled":null})"s,
        R"({"enabled":2})"s, R"({"enabled":-1})"s, R"({"enabled":0.5})"s, R"({"enabled":[true]})"s,
        R"({"enabled":18446744073709551615})"s, R"({"enabled":1e999})"s, R"({"enabled":1}x)"s,
        "{\"enabled\":1,\"x\":\"\xff\"}"s, R"({"enabled":1,"x":)" + arrays(maxJsonDepth) + "}"})
    EXPECT_EQ(answer("POST /orvane", body), bad) << body.substr(0, 30);
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
  EXPECT_FALSE(std::filesystem::exists(stateFile()));
  EXPECT_FALSE(std::filesystem::exists(orvanedFile()));
}

TEST_F(RouterTest, OrvaneTakesBooleansAndTheNumbersOneAndZero) {
  // Bodies nested up to the limit are JSON like any other; brackets in strings do not count.
  for (const std::string& x : {arrays(maxJsonDepth - 1), "\"\\\"" + std::string(99999, '[') + "\""})
    EXPECT_EQ(answer("POST /orvane", R"({"enabled":1,"x":)" + x + "}"),
              R"(200 OK {"ok":true,"orvaned":true})");
  for (const std::string on : {"true", "1", "1.0"}) {
    for (const std::string off : {"false", "0", "0.0", "-0"}) {
      EXPECT_EQ(answer("POST /orvane", R"({"enabled":)" + on + "}"),
                R"(200 OK {"ok":true,"orvaned":true})");
      EXPECT_EQ(engine().state()["orvaned"], true) << on;
      EXPECT_EQ(answer("POST /orvane", R"({"enabled":)" + off + "}"),
                R"(200 OK {"ok":true,"orvaned":false})");
      EXPECT_EQ(readWholeFile(orvanedFile()), "0\n") << off;
    }
  }
}

}  // namespace
}  // namespace orvane
