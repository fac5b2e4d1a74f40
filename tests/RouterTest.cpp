#include "Router.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

constexpr const char* code = "amber-falcon-river-482913";

const JsonObject badPayload = {{"error", "bad payload"}};

Request request(std::string method, std::string path, std::string bearer = code) {
  return Request{std::move(method), std::move(path), std::move(bearer), std::nullopt};
}

Request post(std::string path, const std::string& body) {
  Request r = request("POST", std::move(path));
  r.json = nlohmann::json::parse(body);
  return r;
}

std::string sample(const std::string& extra = "") {
  return R"({"type":"steps","value":12,"ts":1700000000)" + extra + "}";
}

class RouterTest : public test::DataDirTest {
 protected:
  static void SetUpTestSuite() { setToken(code); }

  void SetUp() override {
    DataDirTest::SetUp();
    ensureDataDir();
  }

  static std::vector<JsonObject> historyLines() {
    std::vector<JsonObject> lines;
    std::ifstream in(historyFile());
    for (std::string line; std::getline(in, line);)
      lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
};

// The code is checked before the route: wrong codes get 401 even where the route is unknown.
TEST_F(RouterTest, EveryRouteNeedsTheCodeAndUnknownOnesAreNotFound) {
  using Routes = std::vector<std::pair<std::string, std::string>>;
  const Routes routes = {{"GET", "/health"},
                         {"GET", "/state"},
                         {"POST", "/ingest"},
                         {"POST", "/mark"},
                         {"POST", "/orvane"}};
  const Routes misses = {{"POST", "/state"},  {"POST", "/health"},   {"GET", "/ingest"},
                         {"GET", "/mark"},    {"GET", "/orvane"},    {"get", "/health"},
                         {"GET", "/health/"}, {"GET", "/state?x=1"}, {"GET", "/HEALTH"},
                         {"PUT", "/mark"},    {"GET", "/"},          {"POST", "/ingest/"}};
  const auto answer = [](const std::string& method, const std::string& path,
                         const std::string& bearer) {
    Request r = request(method, path, bearer);
    r.json = nlohmann::json::parse(R"({"samples":[],"enabled":true})");
    return respond(r);
  };
  for (const std::string& bearer :
       {std::string(), std::string(code) + "x", std::string(code).substr(1),
        std::string(code) + '\0', std::string("AMBER-FALCON-RIVER-482913")}) {
    for (const Routes* list : {&routes, &misses}) {
      for (const auto& [method, path] : *list) {
        const Response response = answer(method, path, bearer);
        EXPECT_EQ(response.status, 401) << method << " " << path << " with " << bearer;
        EXPECT_EQ(response.body, (JsonObject{{"error", "unauthorized"}}));
      }
    }
  }
  EXPECT_FALSE(std::filesystem::exists(orvanedFile()));
  for (const auto& [method, path] : misses) {
    const Response response = answer(method, path, code);
    EXPECT_EQ(response.status, 404) << method << " " << path;
    EXPECT_EQ(response.body, (JsonObject{{"error", "not found"}}));
  }
  EXPECT_FALSE(std::filesystem::exists(historyFile()));
}

TEST_F(RouterTest, MarkTakesAnyBodyOrNone) {
  for (const Request& mark : {request("POST", "/mark"), post("/mark", R"({"anything":[1,2]})")}) {
    const Response response = respond(mark);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, (JsonObject{{"ok", true}}));
  }
}

TEST_F(RouterTest, IngestStampsTheBodyDeviceAndReportsTheEngineCount) {
  const std::string phone = sample(R"(,"device":"phone")");
  struct Case {
    std::string body;
    int accepted;
    std::string device;
  };
  const std::vector<Case> cases = {
      {R"({"device":"watch","samples":[)" + sample() + "," + phone + "]}", 2, "watch"},
      {R"({"samples":[)" + phone + "]}", 1, "unknown"},
      {R"({"device":7,"samples":[)" + phone + "]}", 1, "unknown"},
      {R"({"device":null,"samples":[)" + phone + "]}", 1, "unknown"},
      {R"({"device":["watch"],"samples":[)" + phone + "]}", 1, "unknown"},
      {R"({"samples":[]})", 0, ""},
      // The engine skips a sample without a value; the router still passes it on.
      {R"({"device":"d","samples":[{"type":"steps","ts":1},)" + sample() + "]}", 1, "d"},
  };
  for (const Case& c : cases) {
    const std::size_t before = historyLines().size();
    const Response response = respond(post("/ingest", c.body));
    EXPECT_EQ(response.status, 200) << c.body;
    EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"accepted", c.accepted}})) << c.body;
    const std::vector<JsonObject> lines = historyLines();
    ASSERT_EQ(lines.size(), before + static_cast<std::size_t>(c.accepted)) << c.body;
    for (std::size_t i = before; i < lines.size(); ++i)
      EXPECT_EQ(lines[i]["device"], c.device) << c.body;
  }
}

TEST_F(RouterTest, UnusableIngestPayloadsReachNoEngine) {
  EXPECT_EQ(respond(request("POST", "/ingest")).body, badPayload);
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

TEST_F(RouterTest, OrvaneTakesOnlyBooleansAndTheNumbersOneAndZero) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"true", true}, {"0", false},  {"1", true},     {"0.0", false},
      {"1.0", true},  {"-0", false}, {"false", false}};
  for (const auto& [text, flag] : cases) {
    const Response response = respond(post("/orvane", R"({"enabled":)" + text + "}"));
    EXPECT_EQ(response.status, 200) << text;
    EXPECT_EQ(response.body, (JsonObject{{"ok", true}, {"orvaned", flag}})) << text;
    EXPECT_EQ(engine().state()["orvaned"], flag) << text;
    EXPECT_EQ(readWholeFile(orvanedFile()), flag ? "1\n" : "0\n") << text;
  }
  EXPECT_EQ(respond(request("POST", "/orvane")).body, badPayload);
  for (const std::string body :
       {R"({})", R"({"enabled":"true"})", R"({"enabled":null})", R"({"enabled":2})",
        R"({"enabled":-1})", R"({"enabled":0.5})", R"({"enabled":[true]})", R"({"Enabled":true})",
        R"({"enabled":18446744073709551615})"}) {
    const Response response = respond(post("/orvane", body));
    EXPECT_EQ(response.status, 400) << body;
    EXPECT_EQ(response.body, badPayload) << body;
  }
  EXPECT_EQ(engine().state()["orvaned"], false);
  EXPECT_EQ(readWholeFile(orvanedFile()), "0\n");
}

TEST(ResponseBytesTest, ReasonPhrasesLengthsAndUnserialisableBodies) {
  const JsonObject body = {{"ok", true}, {"text", "caf\xc3\xa9 \xe2\x9d\xa4"}, {"n", 1.5}};
  const std::vector<std::pair<int, std::string>> statuses = {{200, "200 OK"},
                                                             {400, "400 Bad Request"},
                                                             {401, "401 Unauthorized"},
                                                             {404, "404 Not Found"},
                                                             {500, "500 Not Found"}};
  for (const auto& [status, line] : statuses) {
    EXPECT_EQ(serializeResponse({status, body}),
              "HTTP/1.1 " + line + "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.dump().size()) + "\r\nConnection: close\r\n\r\n" +
                  body.dump());
  }
  EXPECT_EQ(serializeResponse({200, {{"bad", "\xff"}}}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\n{}");
}

}  // namespace
}  // namespace orvane
