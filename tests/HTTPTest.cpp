// The HTTP unit: request parser, guess limiter, router (through both its entries), server.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "BridgeProcess.hpp"
#include "HTTPServer.hpp"
#include "ReferenceRequest.hpp"
#include "Settings.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

using namespace std::string_literals;

constexpr const char* code = "amber-falcon-river-482913";
const std::string s = R"({"type":"steps","value":12,"ts":1700000000})";  // a sample that is kept
const std::string bad = R"(400 Bad Request {"error":"bad payload"})";

std::string request(const std::string& route, const std::string& body = "",
                    const std::string& bearer = code) {
  return route + " HTTP/1.1\r\nAuthorization: Bearer " + bearer +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// `depth` arrays nested in one another, with something between the brackets.
std::string nested(std::size_t depth) {
  return depth == 0 ? "0" : "[0," + nested(depth - 1) + "]";
}

TEST(RequestTest, StatusOfPrefixesMalformedHeadsAndOversizedRequests) {
  const std::string full = request("POST /mark", "{}"), line = "GET / HTTP/1.1\r\nX: ";
  const std::string head = line + std::string(maxHeadBytes - line.size(), 'a');
  std::string endless = "GET\r\n\r\n";  // malformed: cut off only once past both caps
  endless.resize(maxHeadBytes + 4 + maxBodyBytes, 'x');
  const auto length = [](const std::string& value) {
    return "GET / HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n{}";
  };
  const std::pair<FrameStatus, std::vector<std::string>> cases[] = {
      {FrameStatus::needMore,
       {full.substr(0, full.size() - 1), "GET / HTTP/1.1\n\n", "GET\r\n\r\nGET / HTTP/1.1\r\n\r\n",
        "\r\nGET / HTTP/1.1\r\n\r\n", "GET\t/\r\n\r\n", "GET /\xff HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nX: \xc3\r\n\r\n", length("+3"), length("0\r\ncontent-length: 5"), head,
        endless, length(std::to_string(maxBodyBytes))}},
      {FrameStatus::complete, {full, head + "\r\n\r\n"}},
      {FrameStatus::tooLarge,
       {head + "a\r\n\r\n", head + "aaaa", endless + "x", length("16777217"),
        length("9223372036854775807")}}};
  for (const auto& [status, inputs] : cases) {
    for (const std::string& data : inputs)
      EXPECT_EQ(reference::parseRequest(data).status, status) << data.substr(0, 80);
  }
}

// Each case: a head, then "<method> <path> <bearer> <body as JSON>". Header names match in any
// case but are not trimmed, values are trimmed of Unicode spaces, the last of a name counts.
TEST(RequestTest, CompleteRequestTakesMethodPathBearerAndBody) {
  const std::pair<std::string, std::string> cases[] = {
      {"POST / HTTP/1.1\r\nCONTENT-LENGTH:+2\r\nX:\r\nAuthorization:\u3000\tBearer  x \t",
       "POST /  x {}"},
      {"GET / HTTP/1.1\r\nAuthorization: Bearer a\r\nAuthorization: bearer x\r\nContent-Length : 2",
       "GET /  -"},
      {"  get   /a\tb\u00e9\u07ff   HTTP/1.1 x  ", "get /a\tb\u00e9\u07ff  -"}};
  for (const auto& [head, expected] : cases) {
    const reference::Request r = reference::parseRequest(head + "\r\n\r\n{}").request.value();
    EXPECT_EQ(r.method + " " + r.path + " " + r.bearer + " " + (r.json ? r.json->dump() : "-"),
              expected);
  }
  EXPECT_EQ(parseContentLength("+007") + parseContentLength("-10"), -3);
  EXPECT_EQ(parseContentLength("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseContentLength("-9223372036854775808"), INT64_MIN);
  for (const char* text :
       {"", "-", "+-5", "5a", " 5", "9223372036854775808", "-9223372036854775809", "\u0665"})
    EXPECT_EQ(parseContentLength(text), 0) << text;
}

// A code Unicode counts as the same text is the same code, whichever form was stored and sent;
// bytes that are not UTF-8 compare as they are. Each case: stored, sent, status.
TEST(CanonicalCode, BearerMatchesTheCodeInCanonicalForm) {
  const std::tuple<std::string, std::string, int> cases[] = {
      {"cafe\u0301-r-s-12", "caf\u00e9-r-s-12", 200},
      {"caf\u00e9-r-s-12", "cafe\u0301-r-s-12", 200},
      {"caf\u00e9-r-s-12", "cafe\u0300-r-s-12", 401},
      {"caf\u00e9-r-s-12", "cafe-r-s-12", 401},
      {"K-r-s-12", "\u212a-r-s-12", 200},
      {"c-\xff-s-12", "c-\xff-s-12", 200},
      {"c-\xff-s-12", "c-\xfe-s-12", 401}};
  const DataDirectory unused("/nonexistent");
  StateEngine engine(unused);
  for (const auto& [stored, sent, status] : cases) {
    const Credential credential(stored);
    GuessLimiter limiter;
    Router router(engine, credential, limiter);
    EXPECT_EQ(router.respond({"GET", "/health", sent, {}}, "127.0.0.1").status, status) << sent;
  }
}

class HTTPTest : public test::DataDirTest {
 protected:
  std::string history() const { return readWholeFile(dir.historyFile()).value_or(""); }

  // "<status> <reason> <body>" of the answer, once the other entry gave it too; `lines` gets
  // the history lines it appended.
  std::string answer(const std::string& route, const std::string& body = "",
                     const std::string& bearer = code) {
    const std::string raw = request(route, body, bearer);
    const std::size_t before = history().size();
    const std::string bytes = serializeResponse(router.respond(*frameRequest(raw).request, "p"));
    lines = history().substr(before);
    const std::string whole = serializeResponse(
        reference::respond(router, engine, credential, *reference::parseRequest(raw).request));
    EXPECT_EQ(history().substr(before + lines.size()), lines) << body;
    EXPECT_TRUE(whole == bytes || route == "GET /state") << body;  // the state tells the time
    return bytes.substr(9, bytes.find('\r') - 9) + " " + bytes.substr(bytes.find("\r\n\r\n") + 4);
  }

  std::string lines;
  StateEngine engine{dir};
  const Credential credential{code};
  GuessLimiter limiter{{1'000'000'000}};  // never locks: both paths must be let through
  Router router{engine, credential, limiter};
};

// The code is checked before the route: without it even unknown routes get 401.
TEST_F(HTTPTest, EveryRouteNeedsTheCodeAndOnlyExactRoutesExist) {
  const std::vector<std::string> routes = {
      "GET /health", "GET /state",  "POST /ingest", "POST /mark",   "POST /orvane", "POST /state",
      "GET /orvane", "get /health", "GET /health/", "GET /state?x", "PUT /mark"};
  for (const std::string& bearer : {""s, code + "x"s, code + "\0"s, "mber-falcon-river-482913"s,
                                    "AMBER-FALCON-RIVER-482913"s}) {
    for (const std::string& route : routes)
      EXPECT_EQ(answer(route, R"({"enabled":1})", bearer),
                R"(401 Unauthorized {"error":"unauthorized"})");
  }
  for (std::size_t i = 5; i < routes.size(); ++i)
    EXPECT_EQ(answer(routes[i]), R"(404 Not Found {"error":"not found"})") << routes[i];
  EXPECT_EQ(answer("GET /health"), R"(200 OK {"ok":true,"version":")" + version() + "\"}");
  EXPECT_EQ(answer("GET /state").substr(0, 8), "200 OK {");
  EXPECT_EQ(answer("POST /mark", "[not JSON"), R"(200 OK {"ok":true})");
  EXPECT_EQ(history(), "");
}

// Each case: a body, and how many of its samples are accepted.
TEST_F(HTTPTest, IngestAcceptsTheUsableSamplesOfAUsablePayload) {
  std::string full = R"({"samples":[)";  // one sample more than a batch keeps
  for (std::size_t i = 0; i <= StateEngine::maxBatch; ++i)
    full += s + ",";
  for (const std::string& body :
       {full + "2]}", ""s, "[]"s, R"({"samples":{}})"s, R"({"Samples":[]})"s,
        "{\"samples\":[" + s + ",3]}", "{\"samples\":[" + s + ",[]]}",
        "{\"samples\":[" + s + "],\"samples\":5}",
        "{\"samples\":[" + s + "],\"x\":" + nested(maxJsonDepth) + "}"})
    EXPECT_EQ(answer("POST /ingest", body), bad) << body.substr(0, 40);
  const std::pair<std::string, int> cases[] = {
      {R"({"device":"w","samples":[{"type":"a","value":1,"ts":1,"device":"b"},)" + s + "]}", 2},
      {R"({"device":"a","samples":[)" + s + R"(],"device":7})", 1},
      {R"({"samples":[{"type":"a","value":[1],"value":2,"ts":1,"unit":"\"\n"}]})", 1},
      {R"({"samples":[{"type":"a","type":{"t":1},"value":1,"ts":1},{"value":1,"ts":1},)"
       R"({"type":7,"value":1,"ts":1},{"type":"a","ts":1},{"type":"a","value":1}]})",
       0},
      // Text counts as a number only when its whole text is one, and a finite one.
      {R"({"samples":[{"value":"7","ts":" 1","type":"a"},{"value":"2","ts":"1e2","type":"a"},)"
       R"({"value":"7 ","ts":1,"type":"a"},{"value":"","ts":1,"type":"a"},{"value":"\n7","ts":1,"type":"a"},)"
       R"({"value":"1,5","ts":1,"type":"a"},{"value":"7\u0000","ts":1,"type":"a"},)"
       R"({"value":"nan","ts":1,"type":"a"},{"value":1,"ts":"-Infinity","type":"a"},)"
       R"({"value":"-1e3","ts":"0x1p3","type":"a"}]})",
       2},
      {R"({"samples":[{"x":)" + nested(509) + "}," + s + "]}", 1},
      {full + "{}]}", 2000}};
  for (const auto& [body, count] : cases) {
    EXPECT_EQ(answer("POST /ingest", body),
              R"(200 OK {"accepted":)" + std::to_string(count) + R"(,"ok":true})")
        << body.substr(0, 80);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), count);
  }
}

TEST_F(HTTPTest, OrvaneTakesBooleansAndTheNumbersOneAndZero) {
  for (const std::string& body :
       {""s, "{}"s, R"({"enabled":"true"})"s, R"({"enabled":2})"s, R"({"enabled":-1})"s,
        R"({"enabled":0.5})"s, R"({"enabled":18446744073709551615})"s, R"({"enabled":1e999})"s,
        "{\"enabled\":1,\"x\":\"\xff\"}"s, R"({"enabled":1,"x":)" + nested(maxJsonDepth) + "}"})
    EXPECT_EQ(answer("POST /orvane", body), bad) << body.substr(0, 40);
  EXPECT_FALSE(std::filesystem::exists(dir.orvanedFile()));
  EXPECT_FALSE(std::filesystem::exists(dir.stateFile()));
  // Nesting counts outside strings only, up to the limit.
  EXPECT_EQ(answer("POST /orvane", R"({"enabled":1,"x":[")" + std::string(999, '[') + R"("],"y":)" +
                                       nested(maxJsonDepth - 1) + "}"),
            R"(200 OK {"ok":true,"orvaned":true})");
  for (const std::string flag : {"true", "false", "1", "0", "1.0", "0.0", "-0"}) {
    const bool on = flag == "true" || flag.starts_with('1');
    EXPECT_EQ(answer("POST /orvane", R"({"enabled":)" + flag + "}"),
              R"(200 OK {"ok":true,"orvaned":)"s + (on ? "true}" : "false}"));
    EXPECT_EQ(engine.state()["orvaned"], on) << flag;
  }
}

// A request is answered once whole, if well-formed and not oversized, even after a lack of fds.
TEST_F(HTTPTest, ServerOverLoopback) {
  std::atomic<GuessLimiter::TimePoint> now{};
  GuessLimiter counting({}, [&] { return now.load(); });
  Router countingRouter(engine, credential, counting);
  HTTPServer server(countingRouter, 0);
  std::thread loop([&] { server.run(); });
  const auto exchange = [&](const std::string& bytes, const char* from = "127.0.0.1") {
    return test::exchange(server.localPort(), bytes, from);
  };
  const std::string health = request("GET /health"), mark = request("POST /mark", "{}");
  const std::string healthReply = serializeResponse({200, {{"ok", true}, {"version", version()}}});
  const std::string markReply =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
      "Connection: close\r\n\r\n{\"ok\":true}";
  test::Connection slow(server.localPort()), malformed(server.localPort());
  for (std::size_t i = 0; i + 1 < mark.size(); ++i)
    slow.send(mark.substr(i, 1));
  malformed.send("GET\r\n\r\n" + health);
  EXPECT_FALSE(slow.readableWithin(200) || malformed.readableWithin(0));
  slow.send(mark.substr(mark.size() - 1));
  EXPECT_EQ(slow.readUntilClosed(), markReply);
  EXPECT_EQ(exchange(health + mark), healthReply);
  EXPECT_EQ(exchange(request("POST /mark", std::string(3 << 20, ' '))), markReply);
  EXPECT_EQ(exchange("POST /mark HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n{}"), "");
#ifndef ORVANE_UBSAN  // UBSan needs a free descriptor to check a type it has not met before
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const int lowestFree = ::socket(AF_INET, SOCK_STREAM, 0);
  ::close(lowestFree);
  const rlimit starved{static_cast<rlim_t>(lowestFree) + 1, saved.rlim_max};  // one for the client
  ::setrlimit(RLIMIT_NOFILE, &starved);
  test::Connection client(server.localPort());
  client.send(health);
  const bool answeredWhileStarved = client.readableWithin(200);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(answeredWhileStarved);
  EXPECT_EQ(client.readUntilClosed(), healthReply);
#endif
  // Ten wrong codes in a sliding minute lock an address out until it is refused nothing for a
  // minute. Each step: seconds passed, address, wrong codes it sends, right code then served.
  const std::tuple<int, int, int, bool> steps[] = {
      {0, 1, 9, true},  {0, 1, 1, false}, {0, 2, 0, true},  {59, 1, 0, false}, {59, 1, 0, false},
      {60, 1, 9, true}, {0, 1, 1, false}, {60, 3, 9, true}, {60, 3, 1, true}};
  for (const auto& [after, address, wrong, served] : steps) {
    now = now.load() + std::chrono::seconds(after);
    const std::string from = "127.0.0." + std::to_string(address);
    for (int i = 0; i < wrong; ++i)
      EXPECT_EQ(exchange(request("GET /health", "", "wrong"), from.c_str()).substr(9, 3), "401");
    EXPECT_EQ(exchange(health, from.c_str()) == healthReply, served) << after << " " << address;
  }
  server.stop();
  loop.join();
}

}  // namespace
}  // namespace orvane
