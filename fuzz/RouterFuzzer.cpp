// The router with the real engine and a guess limiter behind it. Byte 0 of an input picks the
// route ('0' + index into `routes`: the five, then near misses), byte 1 the credential and the
// peer ('a' + 4 * peer + index into `credentials`), the rest is the body. Every answer must be
// well-formed, and one the limiter let through must be the one the router's other entry gives
// for the body parsed whole into JSON: the server's own reading of /ingest bodies is held to
// the JSON reader's. State carries over between inputs as in a running bridge; the limiter's
// clock moves a step per input, so that lock-outs both start and run out.
#undef NDEBUG  // the checks are the point
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "DataDirectory.hpp"
#include "Router.hpp"
#include "Settings.hpp"

namespace {

constexpr std::array<std::string_view, 12> routes = {
    "GET /health", "GET /state",  "POST /ingest",  "POST /mark",     "POST /orvane", "POST /state",
    "GET /ingest", "PUT /orvane", "POST /ingest/", "GET /state?x=1", "get /health",  "POST /"};
constexpr std::array<std::string_view, 4> credentials = {"Bearer amber-falcon-river-482913", "",
                                                         "Bearer amber-falcon-river-482914",
                                                         "bearer amber-falcon-river-482913"};
const std::set<std::string> statusLines = {"HTTP/1.1 200 OK", "HTTP/1.1 400 Bad Request",
                                           "HTTP/1.1 401 Unauthorized", "HTTP/1.1 404 Not Found"};
orvane::GuessLimiter::TimePoint now{};
// Three wrong codes lock, three peers are remembered: few enough for the fuzzer to reach both.
orvane::GuessLimiter limiter({3, std::chrono::seconds(60), 3}, [] { return now; });
std::filesystem::path dataDirectory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where possible: every ingest flushes the history to stable storage.
  std::string pattern = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/orvane-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr || ::setenv("ORVANE_DIR", pattern.c_str(), 1) != 0)
    std::abort();
  dataDirectory = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dataDirectory, ignored);
  });
  orvane::setToken("amber-falcon-river-482913");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2)
    return 0;
  const std::string_view route = routes[static_cast<unsigned char>(bytes[0] - '0') % routes.size()];
  const auto choice = static_cast<unsigned char>(bytes[1] - 'a');
  const std::string peer(1, static_cast<char>('a' + choice / 4 % 4)), body(bytes + 2, bytes + size);
  const std::string text = std::string(route) +
                           " HTTP/1.1\r\nAuthorization: " + std::string(credentials[choice % 4]) +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const orvane::FrameResult framed = orvane::frameRequest(text);
  const orvane::ParseResult parsed = orvane::parseRequest(text);
  assert(framed.request && parsed.request);

  now += std::chrono::seconds(7);
  const bool admitted = choice % 4 == 0 && !limiter.locked(peer);
  const std::string answer =
      orvane::serializeResponse(orvane::respond(*framed.request, limiter, peer));
  const std::size_t lineEnd = answer.find('\r'), headEnd = answer.find("\r\n\r\n");
  const std::string content = answer.substr(headEnd + 4);
  assert(statusLines.contains(answer.substr(0, lineEnd)));
  assert(answer.substr(lineEnd, headEnd - lineEnd) ==
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(content.size()) +
             "\r\nConnection: close");
  assert(orvane::JsonObject::parse(content, nullptr, false).is_object());
  if (!admitted)
    assert(content == R"({"error":"unauthorized"})");
  else if (route != "GET /state")  // the state carries the time it was made
    assert(answer == orvane::serializeResponse(orvane::respond(*parsed.request)));
  assert(limiter.size() <= 3);

  // The history only grows; cut it back now and then so long runs stay small on disk.
  std::error_code ignored;
  if (std::filesystem::file_size(orvane::historyFile(), ignored) > (1u << 20))
    std::filesystem::remove(orvane::historyFile(), ignored);
  return 0;
}
