#include "Request.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

using Status = ParseResult::Status;

// The request, or a test failure when the buffer does not parse as complete.
Request completeRequest(const std::string& data) {
  ParseResult result = parseRequest(data);
  EXPECT_EQ(result.status, Status::complete) << data;
  if (!result.request)
    return {};
  return *result.request;
}

Status statusOf(const std::string& data) {
  return parseRequest(data).status;
}

std::string withHeader(const std::string& header, const std::string& body = "") {
  return "POST /ingest HTTP/1.1\r\n" + header + "\r\n\r\n" + body;
}

std::string bearerOf(const std::string& authorization) {
  return completeRequest(withHeader("Authorization:" + authorization)).bearer;
}

TEST(RequestTest, PlainGetYieldsMethodPathAndNothingElse) {
  const Request request = completeRequest("GET /state HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/state");
  EXPECT_EQ(request.bearer, "");
  EXPECT_FALSE(request.json);
}

TEST(RequestTest, EveryPrefixOfARequestNeedsMore) {
  const std::string full =
      "POST /ingest HTTP/1.1\r\nContent-Length: 2\r\nAuthorization: Bearer k\r\n\r\n{}";
  for (std::size_t n = 0; n < full.size(); ++n)
    EXPECT_EQ(statusOf(full.substr(0, n)), Status::needMore) << n;
  EXPECT_EQ(statusOf(full), Status::complete);
}

TEST(RequestTest, HeadWithBareLineFeedsNeverCompletes) {
  EXPECT_EQ(statusOf("GET /state HTTP/1.1\n\n"), Status::needMore);
  EXPECT_EQ(statusOf("GET /state HTTP/1.1\nHost: x\n\n\n\n"), Status::needMore);
  EXPECT_EQ(statusOf("GET /state HTTP/1.1\r\n\n\r\n"), Status::needMore);
}

TEST(RequestTest, MalformedHeadNeverCompletesHoweverMuchFollows) {
  std::string single = "GET\r\n\r\n";
  EXPECT_EQ(statusOf(single), Status::needMore);
  single += "GET /state HTTP/1.1\r\n\r\n";
  EXPECT_EQ(statusOf(single), Status::needMore);
  EXPECT_EQ(statusOf("\r\nGET /state HTTP/1.1\r\n\r\n"), Status::needMore);
  EXPECT_EQ(statusOf("GET\t/state\r\n\r\n"), Status::needMore);
  EXPECT_EQ(statusOf("GET /st\xff"
                     "ate HTTP/1.1\r\n\r\n"),
            Status::needMore);
  EXPECT_EQ(statusOf("GET /state HTTP/1.1\r\nX: \xc3\r\n\r\n"), Status::needMore);
}

TEST(RequestTest, RequestLineSplitsOnlyAtSpaceRuns) {
  Request request = completeRequest("  get   /state?x=1   HTTP/1.1 extra  \r\n\r\n");
  EXPECT_EQ(request.method, "get");
  EXPECT_EQ(request.path, "/state?x=1");
  request = completeRequest("GET /a\tb\r\n\r\n");
  EXPECT_EQ(request.path, "/a\tb");
  request = completeRequest("GET /caf\xc3\xa9\r\n\r\n");
  EXPECT_EQ(request.path, "/caf\xc3\xa9");
}

TEST(RequestTest, HeaderNamesMatchInAnyCaseButAreNotTrimmed) {
  EXPECT_TRUE(completeRequest(withHeader("CONTENT-LENGTH: 2", "{}")).json);
  EXPECT_TRUE(completeRequest(withHeader("Content-length:2", "{}")).json);
  // A space before the colon makes another name, so the body is not looked at.
  EXPECT_FALSE(completeRequest(withHeader("Content-Length : 2", "{}")).json);
  EXPECT_EQ(bearerOf(" Bearer k"), "k");
  EXPECT_EQ(completeRequest(withHeader("AUTHORIZATION: Bearer k")).bearer, "k");
  EXPECT_EQ(completeRequest(withHeader(" Authorization: Bearer k")).bearer, "");
}

TEST(RequestTest, LinesWithoutColonAreSkipped) {
  const Request request =
      completeRequest(withHeader("Garbage line\r\nAuthorization: Bearer k\r\nmore", ""));
  EXPECT_EQ(request.bearer, "k");
}

TEST(RequestTest, ContentLengthForms) {
  EXPECT_EQ(parseContentLength("0"), 0);
  EXPECT_EQ(parseContentLength("17"), 17);
  EXPECT_EQ(parseContentLength("+5"), 5);
  EXPECT_EQ(parseContentLength("-1"), -1);
  EXPECT_EQ(parseContentLength("007"), 7);
  EXPECT_EQ(parseContentLength("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseContentLength("-9223372036854775808"), INT64_MIN);
  for (const char* invalid :
       {"", "+", "-", "++5", "+-5", "abc", "5a", "1.5", "1e3", " 5", "5 ", "0x10",
        "9223372036854775808", "-9223372036854775809", "99999999999999999999999", "\xd9\xa5"}) {
    EXPECT_EQ(parseContentLength(invalid), 0) << invalid;
  }
}

TEST(RequestTest, InvalidContentLengthCompletesAtBlankLineAndIgnoresBody) {
  for (const char* value : {"abc", "1.5", "", "2x"}) {
    const ParseResult result = parseRequest(withHeader(std::string("Content-Length: ") + value));
    ASSERT_EQ(result.status, Status::complete) << value;
    EXPECT_FALSE(result.request->json);
  }
  EXPECT_FALSE(completeRequest(withHeader("Content-Length: 1.5", "{}")).json);
  EXPECT_FALSE(completeRequest(withHeader("X: y", "{}")).json);
}

TEST(RequestTest, SignedContentLengths) {
  EXPECT_EQ(statusOf(withHeader("Content-Length: +7", "{\"a\":")), Status::needMore);
  const Request plus = completeRequest(withHeader("Content-Length: +7", "{\"a\":1}"));
  ASSERT_TRUE(plus.json);
  EXPECT_EQ((*plus.json)["a"], 1);
  // A negative length never holds the request back and means no body.
  EXPECT_FALSE(completeRequest(withHeader("Content-Length: -1", "{}")).json);
  EXPECT_FALSE(completeRequest(withHeader("Content-Length: -9223372036854775808")).json);
}

TEST(RequestTest, LastContentLengthWins) {
  EXPECT_EQ(statusOf(withHeader("Content-Length: 0\r\ncontent-length: 5", "{}")), Status::needMore);
  EXPECT_TRUE(completeRequest(withHeader("Content-Length: 5\r\ncontent-length: 2", "{}")).json);
}

TEST(RequestTest, BodyIsExactlyContentLengthBytes) {
  EXPECT_EQ(statusOf(withHeader("Content-Length: 8", "{\"a\":1")), Status::needMore);
  const Request request = completeRequest(withHeader("Content-Length: 7", "{\"a\":1}GET / HTTP"));
  ASSERT_TRUE(request.json);
  EXPECT_EQ(request.json->dump(), "{\"a\":1}");
  // One byte too few of a valid object makes it invalid JSON.
  EXPECT_FALSE(completeRequest(withHeader("Content-Length: 6", "{\"a\":1}")).json);
}

TEST(RequestTest, BodyMustBeAJsonObject) {
  auto jsonOf = [](const std::string& body) {
    return completeRequest(withHeader("Content-Length: " + std::to_string(body.size()), body)).json;
  };
  ASSERT_TRUE(jsonOf("{}"));
  EXPECT_TRUE(jsonOf("{}")->empty());
  EXPECT_TRUE(jsonOf(" {\"samples\":[{\"v\":1.5}]} "));
  for (const std::string body :
       {"[1,2]", "[]", "3", "\"text\"", "true", "null", "{", "{}x", "{\"a\":1e999}",
        "{\"a\":\"\xff\"}", "{\"a\":1,}", "{/*c*/}", "{'a':1}"}) {
    EXPECT_FALSE(jsonOf(body)) << body;
  }
}

TEST(RequestTest, DeepNestingIsNotJson) {
  const std::string shallow =
      "{\"a\":" + std::string(maxJsonDepth - 1, '[') + std::string(maxJsonDepth - 1, ']') + "}";
  EXPECT_TRUE(
      completeRequest(withHeader("Content-Length: " + std::to_string(shallow.size()), shallow))
          .json);
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(
      completeRequest(withHeader("Content-Length: " + std::to_string(deep.size()), deep)).json);
  // Brackets inside strings do not count as nesting.
  const std::string quoted = "{\"a\":\"" + std::string(100000, '[') + "\\\"\"}";
  EXPECT_TRUE(
      completeRequest(withHeader("Content-Length: " + std::to_string(quoted.size()), quoted)).json);
}

TEST(RequestTest, BearerForms) {
  EXPECT_EQ(bearerOf(" Bearer x"), "x");
  EXPECT_EQ(bearerOf("Bearer abc def"), "abc def");
  EXPECT_EQ(bearerOf(" bearer x"), "");
  EXPECT_EQ(bearerOf(" BEARER x"), "");
  EXPECT_EQ(bearerOf(" Basic eA=="), "");
  EXPECT_EQ(bearerOf(" Bearer  x"), " x");
  EXPECT_EQ(bearerOf(" Bearer"), "");
  EXPECT_EQ(bearerOf(" Bearer   "), "");
  EXPECT_EQ(bearerOf("Bearer\tx"), "");
  EXPECT_EQ(bearerOf(" \t Bearer x \t "), "x");
  // Unicode space separators around the value are trimmed like spaces.
  EXPECT_EQ(bearerOf("\xc2\xa0"
                     "Bearer x\xe3\x80\x80"),
            "x");
  EXPECT_EQ(completeRequest("GET /health HTTP/1.1\r\n\r\n").bearer, "");
}

TEST(RequestTest, LastAuthorizationWins) {
  EXPECT_EQ(
      completeRequest(withHeader("Authorization: Bearer a\r\nauthorization: Bearer b")).bearer,
      "b");
  EXPECT_EQ(completeRequest(withHeader("Authorization: Bearer a\r\nAuthorization: Basic b")).bearer,
            "");
}

TEST(RequestTest, OversizedHeadIsTooLarge) {
  const std::string line = "GET /state HTTP/1.1\r\nX: ";
  std::string head = line + std::string(maxHeadBytes - line.size(), 'a');
  ASSERT_EQ(head.size(), maxHeadBytes);
  EXPECT_EQ(statusOf(head), Status::needMore);
  EXPECT_EQ(statusOf(head + "\r\n\r\n"), Status::complete);
  EXPECT_EQ(statusOf(head + "a\r\n\r\n"), Status::tooLarge);
  EXPECT_EQ(statusOf(head + "aaaa"), Status::tooLarge);
  EXPECT_EQ(statusOf(std::string(maxHeadBytes * 3, 'a')), Status::tooLarge);
}

TEST(RequestTest, OversizedContentLengthIsTooLarge) {
  EXPECT_EQ(statusOf(withHeader("Content-Length: " + std::to_string(maxBodyBytes))),
            Status::needMore);
  EXPECT_EQ(statusOf(withHeader("Content-Length: " + std::to_string(maxBodyBytes + 1))),
            Status::tooLarge);
  EXPECT_EQ(statusOf(withHeader("Content-Length: 9223372036854775807")), Status::tooLarge);
}

TEST(RequestTest, EndlessMalformedRequestIsEventuallyTooLarge) {
  std::string data = "GET\r\n\r\n";
  data.resize(maxHeadBytes + static_cast<std::size_t>(maxBodyBytes), 'x');
  EXPECT_EQ(statusOf(data), Status::needMore);
  data.append(5, 'x');
  EXPECT_EQ(statusOf(data), Status::tooLarge);
}

}  // namespace
}  // namespace orvane
