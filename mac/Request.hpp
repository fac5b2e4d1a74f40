// One HTTP request, framed from everything a connection has sent so far.
#pragma once

#include <cstddef>
#include <cstdint>
// The full JSON header, not Json.hpp's forward declaration: an optional JsonObject needs the
// complete type. Only the HTTP unit's sources include this header.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Json.hpp"

namespace orvane {

// Limits that keep one client from taking the machine's memory. A head may be up to
// maxHeadBytes long, not counting the blank line that ends it.
inline constexpr std::size_t maxHeadBytes = 64 * 1024;
inline constexpr std::int64_t maxBodyBytes = 16 * 1024 * 1024;
// Deeper bodies are treated as not JSON: copying or printing a JSON value recurses once per
// level, so a deep body could otherwise exhaust a worker thread's stack.
inline constexpr std::size_t maxJsonDepth = 512;

enum class FrameStatus {
  complete,  // the result holds the request
  needMore,  // incomplete, or a malformed head: keep reading, never answer
  tooLarge,  // past a limit: close without an answer
};

// A complete request whose body has not been read: the server leaves that to the route.
struct FramedRequest {
  std::string method;
  std::string path;
  std::string bearer;
  std::string_view body;  // within the bytes given to frameRequest
};

struct FrameResult {
  FrameStatus status = FrameStatus::needMore;
  std::optional<FramedRequest> request;
  // needMore once the head is complete: the bytes the whole request takes.
  std::size_t wholeBytes = 0;
};

// Frames the whole buffer from its first byte, without reading the body; keeps no state
// between calls.
FrameResult frameRequest(std::string_view data);

// The body as JSON when it is a JSON object nested at most maxJsonDepth deep.
std::optional<JsonObject> parseJsonObject(std::string_view body);

// The Content-Length rule: an optional single sign, then one or more ASCII digits and nothing
// else, within the signed 64-bit range. Anything else reads as 0.
std::int64_t parseContentLength(std::string_view text);

}  // namespace orvane
