#include "Router.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DataDirectory.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

constexpr const char* code = "amber-falcon-river-482913";

class RouterTest : public test::DataDirTest {
 protected:
  static void SetUpTestSuite() { setToken(code); }

  void SetUp() override {
    DataDirTest::SetUp();
    ensureDataDir();
  }

  static Request request(std::string method, std::string path, std::string bearer = code) {
    return Request{std::move(method), std::move(path), std::move(bearer), std::nullopt};
  }

  static Request post(std::string path, const std::string& body) {
    Request r = request("POST", std::move(path));
    r.json = nlohmann::json::parse(body);
    return r;
  }

  std::vector<JsonObject> historyLines() const {
    std::vector<JsonObject> lines;
    std::ifstream in(historyFile());
    for (std::string line; std::getline(in, line);)
      lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  static std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

const JsonObject unauthorized = {{"error", "unauthorized"}};
const JsonObject notFound = {{"error", "not found"}};
const JsonObject badPayload = {{"error", "bad payload"}};

std::string sample(const std::string& extra = "") {
  return R"({"type":"steps","value":12,"ts":1700000000)" + extra + "}";
}

TEST_F(RouterTest, EveryRouteNeedsTheCodeBeforeAnythingElse) {
  const std::vector<std::pair<std::string, std::string>> routes = {
      {"GET", "/health"},  {"GET", "/state"},   {"POST", "/ingest"}, {"POST", "/mark"},
      {"POST", "/orvane"}, {"GET", "/nowhere"}, {"DELETE", "/state"}};
  const std::string wrong = std::string(code) + "x";
  for (const std::string& bearer : {std::string(), wrong, std::string(code).substr(1),
                                    std::string("AMBER-FALCON-RIVER-482913")}) {
    for (const auto& [method, path] : routes) {
      Request r = request(method, path, bearer);
      r.json = nlohmann::json::parse(R"({"samples":[],"enabled":true})");
      const Response response = respond(r);
      EXPECT_EQ(response.status, 401) << method << " " << path << " with " << bearer;
      EXPECT_EQ(response.body, unauthorized);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
  EXPECT_FALSE(std::filesystem::exists(orvanedFile()));
}

TEST_F(RouterTest, LockedOutPeerGetsTheSameUnauthorisedResponseForTheRightCode) {
  GuessLimiter limiter;
  const Request wrongCode = request("GET", "/health", std::string(code) + "x");
  const std::string refusal = serializeResponse(respond(wrongCode));
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(serializeResponse(respond(wrongCode, limiter, "192.168.1.20")), refusal);

  // Locked: not even a valid batch reaches the engine.
  Request batch = post("/ingest", R"({"samples":[)" + sample() + "]}");
  EXPECT_EQ(serializeResponse(respond(batch, limiter, "192.168.1.20")), refusal);
  EXPECT_FALSE(std::filesystem::exists(historyFile()));

  // Another address, and callers without an address, are served as before.
  EXPECT_EQ(respond(batch, limiter, "192.168.1.21").body,
            (JsonObject{{"ok", true}, {"accepted", 1}}));
  EXPECT_EQ(respond(request("GET", "/health")).status, 200);
  EXPECT_EQ(respond(request("GET", "/nowhere"), limiter, "192.168.1.21").status, 404);
}

TEST(CredentialTest, MatchesOnlyTheWholeString) {
  EXPECT_TRUE(credentialMatches("abc", "abc"));
  EXPECT_TRUE(credentialMatches("", ""));
  EXPECT_FALSE(credentialMatches("abd", "abc"));
  EXPECT_FALSE(credentialMatches("ab", "abc"));
  EXPECT_FALSE(credentialMatches("abcd", "abc"));
  EXPECT_FALSE(credentialMatches(std::string("ab\0", 3), "ab"));
  EXPECT_FALSE(credentialMatches("", "abc"));
  EXPECT_FALSE(credentialMatches("abc", ""));
}

TEST_F(RouterTest, HealthReportsTheVersion) {
  const Response response = respond(request("GET", "/health"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"version", version()}}));
}

TEST_F(RouterTest, StateIsTheEngineDocument) {
  const Response response = respond(request("GET", "/state"));
  EXPECT_EQ(response.status, 200);
  ASSERT_TRUE(response.body.is_object());
  EXPECT_TRUE(response.body.contains("orvaned"));
}

TEST_F(RouterTest, UnknownMethodsAndPathsAreNotFound) {
  const std::vector<std::pair<std::string, std::string>> misses = {
      {"POST", "/state"}, {"POST", "/health"}, {"GET", "/ingest"},  {"GET", "/mark"},
      {"GET", "/orvane"}, {"get", "/health"},  {"GET", "/health/"}, {"GET", "/state?x=1"},
      {"GET", "/HEALTH"}, {"PUT", "/mark"},    {"GET", "/"},        {"POST", "/ingest/"}};
  for (const auto& [method, path] : misses) {
    Request r = request(method, path);
    r.json = nlohmann::json::parse(R"({"samples":[],"enabled":true})");
    const Response response = respond(r);
    EXPECT_EQ(response.status, 404) << method << " " << path;
    EXPECT_EQ(response.body, notFound);
  }
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
}

TEST_F(RouterTest, MarkAcknowledgesAnyBody) {
  EXPECT_EQ(respond(request("POST", "/mark")).body, (JsonObject{{"ok", true}}));
  const Response withBody = respond(post("/mark", R"({"anything":[1,2]})"));
  EXPECT_EQ(withBody.status, 200);
  EXPECT_EQ(withBody.body, (JsonObject{{"ok", true}}));
}

TEST_F(RouterTest, IngestStampsEverySampleWithTheBodyDevice) {
  const Response response =
      respond(post("/ingest", R"({"device":"watch","samples":[)" + sample() + "," +
                                  sample(R"(,"device":"phone")") + "]}"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"accepted", 2}}));
  const std::vector<JsonObject> lines = historyLines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0]["device"], "watch");
  EXPECT_EQ(lines[1]["device"], "watch");
}

TEST_F(RouterTest, IngestWithoutDeviceStringStampsUnknown) {
  for (const std::string device :
       {"", R"("device":7,)", R"("device":null,)", R"("device":["watch"],)"}) {
    const Response response = respond(
        post("/ingest", "{" + device + R"("samples":[)" + sample(R"(,"device":"phone")") + "]}"));
    EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"accepted", 1}})) << device;
  }
  const std::vector<JsonObject> lines = historyLines();
  ASSERT_EQ(lines.size(), 4U);
  for (const JsonObject& line : lines)
    EXPECT_EQ(line["device"], "unknown");
}

TEST_F(RouterTest, IngestReportsTheEngineCount) {
  const Response empty = respond(post("/ingest", R"({"samples":[]})"));
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, (JsonObject{{"ok", true}, {"accepted", 0}}));
  // The engine skips a sample without a value; the router still passes it on.
  const Response partial =
      respond(post("/ingest", R"({"samples":[{"type":"steps","ts":1},)" + sample() + "]}"));
  EXPECT_EQ(partial.body, (JsonObject{{"ok", true}, {"accepted", 1}}));
  EXPECT_EQ(historyLines().size(), 1U);
}

TEST_F(RouterTest, UnusableIngestPayloadsReachNoEngine) {
  Request noBody = request("POST", "/ingest");
  EXPECT_EQ(respond(noBody).body, badPayload);
  for (const std::string& body : std::vector<std::string>{
           R"({})", R"({"samples":null})", R"({"samples":{}})", R"({"samples":"[]"})",
           R"({"Samples":[]})", "{\"samples\":[" + sample() + ",3]}",
           "{\"samples\":[" + sample() + ",[]]}", "{\"samples\":[" + sample() + ",null]}"}) {
    const Response response = respond(post("/ingest", body));
    EXPECT_EQ(response.status, 400) << body;
    EXPECT_EQ(response.body, badPayload) << body;
  }
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
  EXPECT_FALSE(std::filesystem::exists(stateFile()));
}

TEST_F(RouterTest, OrvaneAcceptsBooleansAndTheNumbersOneAndZero) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"false", false}, {"true", true}, {"0", false}, {"1", true},
      {"0.0", false},   {"1.0", true},  {"-0", false}};
  for (const auto& [text, flag] : cases) {
    const Response response = respond(post("/orvane", R"({"enabled":)" + text + "}"));
    EXPECT_EQ(response.status, 200) << text;
    EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"orvaned", flag}})) << text;
    EXPECT_EQ(engine().state()["orvaned"], flag) << text;
    EXPECT_EQ(fileText(orvanedFile()), flag ? "1\n" : "0\n") << text;
  }
}

TEST_F(RouterTest, UnusableOrvanePayloadsChangeNothing) {
  ASSERT_EQ(respond(post("/orvane", R"({"enabled":false})")).status, 200);
  for (const std::string body :
       {R"({})", R"({"enabled":"true"})", R"({"enabled":null})", R"({"enabled":2})",
        R"({"enabled":-1})", R"({"enabled":0.5})", R"({"enabled":[true]})", R"({"Enabled":true})",
        R"({"enabled":18446744073709551615})"}) {
    const Response response = respond(post("/orvane", body));
    EXPECT_EQ(response.status, 400) << body;
    EXPECT_EQ(response.body, badPayload) << body;
  }
  EXPECT_EQ(respond(request("POST", "/orvane")).body, badPayload);
  EXPECT_EQ(engine().state()["orvaned"], false);
  EXPECT_EQ(fileText(orvanedFile()), "0\n");
}

TEST(ResponseBytesTest, UnauthorizedExample) {
  EXPECT_EQ(serializeResponse({401, {{"error", "unauthorized"}}}),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\n"
            "Content-Length: 24\r\nConnection: close\r\n\r\n{\"error\":\"unauthorized\"}");
}

TEST(ResponseBytesTest, ReasonPhrasesAndLengths) {
  const std::vector<std::pair<int, std::string>> statuses = {
      {200, "200 OK"}, {400, "400 Bad Request"}, {404, "404 Not Found"}, {500, "500 Not Found"}};
  const JsonObject body = {{"ok", true}, {"text", "caf\xc3\xa9 \xe2\x9d\xa4"}, {"n", 1.5}};
  const std::string expectedBody = body.dump();
  for (const auto& [status, line] : statuses) {
    const std::string bytes = serializeResponse({status, body});
    EXPECT_EQ(bytes, "HTTP/1.1 " + line + "\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(expectedBody.size()) + "\r\nConnection: close\r\n\r\n" +
                         expectedBody);
  }
}

TEST(ResponseBytesTest, UnserialisableBodyBecomesEmptyObject) {
  const std::string bytes = serializeResponse({200, {{"bad", "\xff"}}});
  EXPECT_EQ(bytes,
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\n{}");
}

}  // namespace
}  // namespace orvane
