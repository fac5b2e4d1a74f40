// Request parsing on arbitrary bytes. Besides running clean under the sanitizers, every input
// must keep the parser's promises:
// - a request comes back exactly when the status says complete;
// - method and path are non-empty and hold no space and no CR LF; they and the bearer are
//   valid UTF-8, since they are cut from a head that was checked whole;
// - a body that became JSON is an object and serialises without error;
// - an answer is final: the read loop parses the growing buffer again after every read, so once
//   a prefix is complete or too large, the whole buffer must give the same answer;
// - Content-Length values read exactly as the signed 64-bit rule says, checked against an
//   independent reading of the text.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "Request.hpp"
#include "Text.hpp"

namespace {

using orvane::ParseResult;
using orvane::Request;
using orvane::fuzz::require;

void checkResult(const ParseResult& result) {
  require(result.request.has_value() == (result.status == ParseResult::Status::complete),
          "a request is returned exactly when complete");
  if (!result.request)
    return;
  const Request& request = *result.request;
  for (const std::string* piece : {&request.method, &request.path}) {
    require(!piece->empty(), "method and path are not empty");
    require(piece->find(' ') == std::string::npos, "method and path hold no space");
    require(piece->find("\r\n") == std::string::npos, "method and path hold no line break");
    require(orvane::isValidUtf8(*piece), "method and path are UTF-8");
  }
  require(orvane::isValidUtf8(request.bearer), "the bearer is UTF-8");
  if (request.json) {
    require(request.json->is_object(), "a parsed body is an object");
    [[maybe_unused]] const std::string text = request.json->dump();
  }
}

bool sameRequest(const Request& a, const Request& b) {
  return a.method == b.method && a.path == b.path && a.bearer == b.bearer && a.json == b.json;
}

void checkFinal(std::string_view data, std::size_t cut, const ParseResult& whole) {
  const ParseResult prefix = orvane::parseRequest(data.substr(0, cut));
  checkResult(prefix);
  if (prefix.status == ParseResult::Status::needMore)
    return;
  require(whole.status == prefix.status, "a complete or too-large answer stays");
  if (prefix.request)
    require(sameRequest(*prefix.request, *whole.request), "more bytes leave a request unchanged");
}

// What the Content-Length rule gives for `text`, worked out on the digits as text.
std::string expectedContentLength(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return "0";
  while (text.size() > 1 && text.front() == '0')
    text.remove_prefix(1);
  const std::string_view limit = negative ? "9223372036854775808" : "9223372036854775807";
  if (text.size() > limit.size() || (text.size() == limit.size() && text > limit))
    return "0";
  if (text == "0")
    return "0";
  return (negative ? "-" : "") + std::string(text);
}

void checkContentLength(std::string_view text) {
  require(std::to_string(orvane::parseContentLength(text)) == expectedContentLength(text),
          "Content-Length follows the signed 64-bit rule");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);

  const ParseResult whole = orvane::parseRequest(data);
  checkResult(whole);
  if (size > 0) {
    checkFinal(data, size / 2, whole);
    checkFinal(data, size - 1, whole);
  }

  checkContentLength(data);
  // Header values are where such text really turns up: try the first one as well.
  const std::size_t colon = data.find(':');
  if (colon != std::string_view::npos) {
    std::string_view value = data.substr(colon + 1);
    value = value.substr(0, value.find('\r'));
    const std::size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view{} : value.substr(first);
    value = value.substr(0, value.find_last_not_of(" \t") + 1);
    checkContentLength(value);
  }
  return 0;
}
