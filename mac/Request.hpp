// One parsed HTTP request, built from everything a connection has sent so far.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Json.hpp"

namespace orvane {

struct Request {
  std::string method;
  std::string path;
  std::string bearer;
  std::optional<JsonObject> json;  // set only when the body is a JSON object
};

// Limits that keep one client from taking the machine's memory.
inline constexpr std::size_t maxHeadBytes = 64 * 1024;
inline constexpr std::int64_t maxBodyBytes = 16 * 1024 * 1024;

struct ParseResult {
  enum class Status {
    complete,  // `request` holds the request
    needMore,  // incomplete, or a malformed head: keep reading, never answer
    tooLarge,  // past a limit: close without an answer
  };
  Status status = Status::needMore;
  std::optional<Request> request;
};

// Parses the whole buffer from its first byte; keeps no state between calls.
ParseResult parseRequest(std::string_view data);

}  // namespace orvane
