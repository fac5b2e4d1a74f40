// The router and engine: byte 0 of an input picks the route ('0' + index into `routes`), byte 1
// the credential ('a' + index into `credentials`), the rest is the body. The server's entry
// must answer well-formed and as the reference that takes the body parsed whole into JSON.
#undef NDEBUG  // the checks are the point
#include <cassert>
#include <cstdlib>
#include <filesystem>

#include "ReferenceRequest.hpp"

namespace {

const std::string_view routes[] = {"GET /health",  "GET /state",  "POST /ingest", "POST /mark",
                                   "POST /orvane", "POST /state", "GET /ingest",  "PUT /orvane"};
const std::string_view credentials[] = {"Bearer amber-falcon-river-482913", "",
                                        "Bearer amber-falcon-river-482914",
                                        "bearer amber-falcon-river-482913"};

// scripts/fuzz gives each run a data directory of its own.
const orvane::DataDirectory dir = [] {
  if (std::getenv("ORVANE_DIR") == nullptr)
    std::abort();
  return orvane::DataDirectory::fromEnvironment();
}();
orvane::StateEngine engine(dir);
const orvane::Credential credential("amber-falcon-river-482913");
orvane::GuessLimiter limiter({1'000'000'000});  // never locks: both paths must be let through
orvane::Router router(engine, credential, limiter);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2)
    return 0;
  const std::string_view route = routes[static_cast<unsigned char>(bytes[0] - '0') % 8];
  const std::string body(bytes + 2, bytes + size);
  const std::string text =
      std::string(route) + " HTTP/1.1\r\nAuthorization: " +
      std::string(credentials[static_cast<unsigned char>(bytes[1] - 'a') % 4]) +
      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const std::string answer =
      orvane::serializeResponse(router.respond(*orvane::frameRequest(text).request, "p"));
  const std::size_t bodyAt = answer.find("\r\n\r\n") + 4;
  assert(answer.find("\r\nContent-Type: application/json\r\nContent-Length: " +
                     std::to_string(answer.size() - bodyAt) + "\r\nConnection: close\r\n\r\n") ==
         answer.find("\r\n"));
  assert(orvane::JsonObject::parse(answer.substr(bodyAt), nullptr, false).is_object());
  if (route != "GET /state")  // the state tells the time it was made
    assert(answer ==
           orvane::serializeResponse(orvane::reference::respond(
               router, engine, credential, *orvane::reference::parseRequest(text).request)));
  // The history only grows; cut it back now and then so long runs stay small.
  if (std::error_code ignored; std::filesystem::file_size(dir.historyFile(), ignored) > 1 << 20)
    std::filesystem::remove(dir.historyFile(), ignored);
  return 0;
}
