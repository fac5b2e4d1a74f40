// The parser's three-way answer, and what a complete request takes from its head and body.
#include "Request.hpp"

#include <gtest/gtest.h>

namespace orvane {
namespace {

std::string post(const std::string& header, const std::string& body = "{}") {
  return "POST /ingest HTTP/1.1\r\n" + header + "\r\n\r\n" + body;
}

TEST(RequestTest, StatusOfPrefixesMalformedHeadsAndOversizedRequests) {
  const std::string full = post("Content-Length: 2"), line = "GET / HTTP/1.1\r\nX: ";
  const std::string head = line + std::string(maxHeadBytes - line.size(), 'a');
  std::string endless = "GET\r\n\r\n";  // malformed: cut off only once past both caps
  endless.resize(maxHeadBytes + 4 + maxBodyBytes, 'x');
  const std::pair<FrameStatus, std::vector<std::string>> cases[] = {
      {FrameStatus::needMore,
       {full.substr(0, full.size() - 1), "GET / HTTP/1.1\n\n", "GET / HTTP/1.1\r\n\n\r\n",
        "GET\r\n\r\nGET / HTTP/1.1\r\n\r\n", "\r\nGET / HTTP/1.1\r\n\r\n", "GET\t/\r\n\r\n",
        "GET /\xff HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nX: \xc3\r\n\r\n",
        post("Content-Length: +3"), post("Content-Length: 0\r\ncontent-length: 5"), head, endless,
        post("Content-Length: " + std::to_string(maxBodyBytes))}},
      {FrameStatus::complete, {full, head + "\r\n\r\n"}},
      {FrameStatus::tooLarge,
       {head + "a\r\n\r\n", head + "aaaa", endless + "x", post("Content-Length: 16777217"),
        post("Content-Length: 9223372036854775807")}}};
  for (const auto& [status, inputs] : cases) {
    for (const std::string& data : inputs)
      EXPECT_EQ(parseRequest(data).status, status) << data.substr(0, 80);
  }
}

// Each case: header lines, then the request as "<method> <path> <bearer> <body as JSON>".
// Names match in any case but are not trimmed, values are trimmed of Unicode spaces, and the
// last header of a name counts.
TEST(RequestTest, CompleteRequestTakesMethodPathBearerAndBody) {
  const std::pair<std::string, std::string> cases[] = {
      {"CONTENT-LENGTH: 2\r\nAUTHORIZATION: Bearer x", "POST /ingest x {}"},
      {"Content-length:+2\r\nX:\r\nAuthorization: \t Bearer x \t ", "POST /ingest x {}"},
      {"Content-Length: 5\r\ncontent-length: 2\r\nAuthorization:\u00a0Bearer  x\u3000",
       "POST /ingest  x {}"},
      {"Authorization: Bearer a\r\nAuthorization: bearer x\r\nContent-Length : 2",
       "POST /ingest  -"},
      {"Content-Length: 2x\r\nAuthorization: Bearer   ", "POST /ingest  -"},
      {"Content-Length: -1\r\n Authorization: Bearer x", "POST /ingest  -"},
      {"Content-Length: 1\r\nAuthorization: Bearer a\r\nauthorization: Bearer y z",
       "POST /ingest y z -"}};
  for (const auto& [header, expected] : cases) {
    const Request request =
        parseRequest(post(header)).request.value_or(Request{"incomplete", "", "", std::nullopt});
    EXPECT_EQ(request.method + " " + request.path + " " + request.bearer + " " +
                  (request.json ? request.json->dump() : "-"),
              expected)
        << header;
  }
  const Request request =
      parseRequest("  get   /a\tb\u00e9\u07ff   HTTP/1.1 x  \r\n\r\n").request.value();
  EXPECT_EQ(request.method + " " + request.path, "get /a\tb\u00e9\u07ff");
}

TEST(RequestTest, ContentLengthIsASignedDecimalWithin64Bits) {
  EXPECT_EQ(parseContentLength("+5"), 5);
  EXPECT_EQ(parseContentLength("-10"), -10);
  EXPECT_EQ(parseContentLength("007"), 7);
  EXPECT_EQ(parseContentLength("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseContentLength("-9223372036854775808"), INT64_MIN);
  for (const char* text :
       {"", "-", "+-5", "5a", " 5", "9223372036854775808", "-9223372036854775809", "\u0665"})
    EXPECT_EQ(parseContentLength(text), 0) << text;
}

}  // namespace
}  // namespace orvane
