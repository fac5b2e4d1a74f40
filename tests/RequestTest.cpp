#include "Request.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane {
namespace {

using Status = ParseResult::Status;

Status statusOf(const std::string& data) {
  return parseRequest(data).status;
}

// The request, or a test failure when the buffer does not parse as complete.
Request completeRequest(const std::string& data) {
  ParseResult result = parseRequest(data);
  EXPECT_EQ(result.status, Status::complete) << data;
  return result.request.value_or(Request{});
}

std::string withHeader(const std::string& header, const std::string& body = "") {
  return "POST /ingest HTTP/1.1\r\n" + header + "\r\n\r\n" + body;
}

// The body as parsed JSON, dumped, or nullopt when the request carries none.
std::optional<std::string> jsonOf(const std::string& header, const std::string& body) {
  const Request request = completeRequest(withHeader(header, body));
  return request.json ? std::optional(request.json->dump()) : std::nullopt;
}
std::optional<std::string> jsonOf(const std::string& body) {
  return jsonOf("Content-Length: " + std::to_string(body.size()), body);
}

TEST(RequestTest, IncompleteOrMalformedHeadsNeedMore) {
  const std::string full =
      "POST /ingest HTTP/1.1\r\nContent-Length: 2\r\nAuthorization: Bearer k\r\n\r\n{}";
  for (std::size_t n = 0; n < full.size(); ++n)
    EXPECT_EQ(statusOf(full.substr(0, n)), Status::needMore) << n;
  EXPECT_EQ(statusOf(full), Status::complete);
  // A malformed head never completes, whatever well-formed request follows it.
  for (const std::string data :
       {"GET /state HTTP/1.1\n\n", "GET /state HTTP/1.1\nHost: x\n\n\n\n",
        "GET /state HTTP/1.1\r\n\n\r\n", "GET\r\n\r\n", "GET\r\n\r\nGET /state HTTP/1.1\r\n\r\n",
        "\r\nGET /state HTTP/1.1\r\n\r\n", "GET\t/state\r\n\r\n",
        "GET /st\xff"
        "ate HTTP/1.1\r\n\r\n",
        "GET /state HTTP/1.1\r\nX: \xc3\r\n\r\n"}) {
    EXPECT_EQ(statusOf(data), Status::needMore) << data;
  }
  // The body is awaited to the last Content-Length, signs allowed.
  EXPECT_EQ(statusOf(withHeader("Content-Length: 8", "{\"a\":1")), Status::needMore);
  EXPECT_EQ(statusOf(withHeader("Content-Length: +7", "{\"a\":")), Status::needMore);
  EXPECT_EQ(statusOf(withHeader("Content-Length: 0\r\ncontent-length: 5", "{}")), Status::needMore);
}

TEST(RequestTest, RequestLineSplitsOnlyAtSpaceRuns) {
  Request request = completeRequest("  get   /state?x=1   HTTP/1.1 extra  \r\n\r\n");
  EXPECT_EQ(request.method, "get");
  EXPECT_EQ(request.path, "/state?x=1");
  EXPECT_EQ(request.bearer, "");
  EXPECT_FALSE(request.json);
  EXPECT_EQ(completeRequest("GET /a\tb\r\n\r\n").path, "/a\tb");
  EXPECT_EQ(completeRequest("GET /caf\xc3\xa9\r\n\r\n").path, "/caf\xc3\xa9");
}

// Names match in any case but are not trimmed; Unicode space separators around the value are
// trimmed like spaces; the last Authorization header wins.
TEST(RequestTest, BearerForms) {
  for (const char* header :
       {"Authorization: Bearer x", "AUTHORIZATION: Bearer x", "Authorization: \t Bearer x \t ",
        "Authorization:\xc2\xa0"
        "Bearer x\xe3\x80\x80",
        "Garbage line\r\nAuthorization: Bearer x\r\nmore",
        "Authorization: Bearer a\r\nauthorization: Bearer x"}) {
    EXPECT_EQ(completeRequest(withHeader(header)).bearer, "x") << header;
  }
  for (const char* header :
       {"X: y", "Authorization: bearer x", "Authorization: BEARER x", "Authorization: Basic eA==",
        "Authorization: Bearer", "Authorization: Bearer   ", "Authorization:Bearer\tx",
        " Authorization: Bearer x", "Authorization: Bearer a\r\nAuthorization: Basic b"}) {
    EXPECT_EQ(completeRequest(withHeader(header)).bearer, "") << header;
  }
  EXPECT_EQ(completeRequest(withHeader("Authorization:Bearer abc def")).bearer, "abc def");
  EXPECT_EQ(completeRequest(withHeader("Authorization: Bearer  x")).bearer, " x");
}

// The body is exactly as long as the last valid Content-Length says; "Content-Length : 2" is
// another header's name, and a negative length never holds the request back.
TEST(RequestTest, BodyLength) {
  for (const char* header : {"CONTENT-LENGTH: 2", "Content-length:2", "Content-Length: +2",
                             "Content-Length: 5\r\ncontent-length: 2"}) {
    EXPECT_EQ(jsonOf(header, "{}"), "{}") << header;
  }
  for (const char* header :
       {"X: y", "Content-Length : 2", "Content-Length: abc", "Content-Length: 1.5",
        "Content-Length: ", "Content-Length: 2x", "Content-Length: -1",
        "Content-Length: -9223372036854775808", "Content-Length: 1"}) {
    EXPECT_EQ(jsonOf(header, "{}"), std::nullopt) << header;
  }
  EXPECT_EQ(jsonOf("Content-Length: 7", "{\"a\":1}GET / HTTP"), "{\"a\":1}");

  EXPECT_EQ(parseContentLength("0"), 0);
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

TEST(RequestTest, BodyMustBeAJsonObjectOfBoundedDepth) {
  EXPECT_EQ(jsonOf("{}"), "{}");
  EXPECT_TRUE(jsonOf(" {\"samples\":[{\"v\":1.5}]} "));
  EXPECT_TRUE(jsonOf("{\"a\":" + std::string(maxJsonDepth - 1, '[') +
                     std::string(maxJsonDepth - 1, ']') + "}"));
  // Brackets inside strings do not count as nesting.
  EXPECT_TRUE(jsonOf("{\"a\":\"" + std::string(100000, '[') + "\\\"\"}"));
  for (const std::string& body : std::vector<std::string>{
           "[1,2]", "[]", "3", "\"text\"", "true", "null", "{", "{}x", "{\"a\":1e999}",
           "{\"a\":\"\xff\"}", "{\"a\":1,}", "{/*c*/}", "{'a':1}",
           "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}"}) {
    EXPECT_FALSE(jsonOf(body)) << body.substr(0, 20);
  }
}

TEST(RequestTest, SizeCapsMakeRequestsTooLarge) {
  const std::string line = "GET /state HTTP/1.1\r\nX: ";
  const std::string head = line + std::string(maxHeadBytes - line.size(), 'a');
  EXPECT_EQ(statusOf(head), Status::needMore);
  EXPECT_EQ(statusOf(head + "\r\n\r\n"), Status::complete);
  EXPECT_EQ(statusOf(head + "a\r\n\r\n"), Status::tooLarge);
  EXPECT_EQ(statusOf(head + "aaaa"), Status::tooLarge);
  EXPECT_EQ(statusOf(std::string(maxHeadBytes * 3, 'a')), Status::tooLarge);

  EXPECT_EQ(statusOf(withHeader("Content-Length: " + std::to_string(maxBodyBytes))),
            Status::needMore);
  EXPECT_EQ(statusOf(withHeader("Content-Length: " + std::to_string(maxBodyBytes + 1))),
            Status::tooLarge);
  EXPECT_EQ(statusOf(withHeader("Content-Length: 9223372036854775807")), Status::tooLarge);

  // An endless malformed request is cut off once it could not be a request within both caps.
  std::string endless = "GET\r\n\r\n";
  endless.resize(maxHeadBytes + static_cast<std::size_t>(maxBodyBytes), 'x');
  EXPECT_EQ(statusOf(endless), Status::needMore);
  EXPECT_EQ(statusOf(endless + "xxxxx"), Status::tooLarge);
}

}  // namespace
}  // namespace orvane
