// Request parsing on arbitrary bytes. Besides running clean under the sanitizers, every input
// must keep the parser's promises: a request comes back exactly when the answer is complete,
// framing agrees with parsing, method and path are UTF-8 pieces without spaces, a JSON body
// prints (it is nested shallowly enough), and an answer is final: the read loop parses the
// growing buffer again after every read. Content-Length reads any 64-bit number as itself, and
// nothing but signs and digits as anything other than 0.
#undef NDEBUG  // the checks are the point
#include <cassert>
#include <cstring>
#include <nlohmann/json.hpp>
#include <tuple>

#include "Request.hpp"
#include "Text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using orvane::FrameStatus;
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const orvane::ParseResult whole = orvane::parseRequest(data);
  assert(whole.request.has_value() == (whole.status == FrameStatus::complete));
  assert(orvane::frameRequest(data).status == whole.status);
  if (const auto& request = whole.request) {
    for (const std::string& piece : {request->method, request->path})
      assert(!piece.empty() && piece.find(' ') == std::string::npos && orvane::isValidUtf8(piece));
    assert(!request->json || !request->json->dump().empty());
  }
  if (size > 0) {
    const orvane::ParseResult prefix = orvane::parseRequest(data.substr(0, size - 1));
    assert(prefix.status == FrameStatus::needMore || prefix.status == whole.status);
    const auto fields = [](const orvane::Request& r) {
      return std::tie(r.method, r.path, r.bearer, r.json);
    };
    assert(!prefix.request || fields(*prefix.request) == fields(*whole.request));
  }
  assert(orvane::parseContentLength(data) == 0 ||
         data.find_first_not_of("+-0123456789") == std::string_view::npos);
  if (size >= sizeof(std::int64_t)) {
    std::int64_t number = 0;
    std::memcpy(&number, bytes, sizeof number);
    assert(orvane::parseContentLength(std::to_string(number)) == number);
  }
  return 0;
}
