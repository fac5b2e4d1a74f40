// Request parsing on arbitrary bytes: besides running clean under the sanitizers, a request
// comes back exactly when complete, method and path are UTF-8 pieces without spaces, and a
// JSON body can be printed (it is shallow enough).
#undef NDEBUG  // the checks are the point
#include <cassert>
#include <nlohmann/json.hpp>

#include "ReferenceRequest.hpp"
#include "Text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using orvane::reference::parseRequest;
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const orvane::reference::ParseResult whole = parseRequest(data);
  assert(whole.request.has_value() == (whole.status == orvane::FrameStatus::complete));
  if (const auto& r = whole.request) {
    for (const std::string& piece : {r->method, r->path})
      assert(!piece.empty() && piece.find(' ') == std::string::npos && orvane::isValidUtf8(piece));
    assert(!r->json || !r->json->dump().empty());
  }
  // The read loop parses the buffer again after every read: a complete or too-large answer stays.
  const orvane::reference::ParseResult prefix = parseRequest(data.substr(0, size - (size > 0)));
  assert(prefix.status == orvane::FrameStatus::needMore || prefix.status == whole.status);
  return 0;
}
