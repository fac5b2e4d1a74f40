// One answer of the bridge and the bytes it goes out as.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "Json.hpp"

namespace orvane {

struct Response {
  int status = 200;
  JsonObject body;
  // An answer that never changes comes with its bytes, made once; its body is then left null.
  const std::string* wire = nullptr;
  // Not 0: the answer tells that an ingest is recorded, so it may leave only once that
  // ingest's history lines are on stable storage.
  std::uint64_t flushTicket = 0;
};

// The bytes sent on the wire: status line, the three headers, blank line, compact body.
std::string serializeResponse(const Response& response);

// The answer that `make` gives, which never changes, with its bytes made once, on first use.
template <Response (*make)()>
Response fixedResponse() {
  static const Response made = make();
  static const std::string wire = serializeResponse(made);
  return {made.status, JsonObject(), &wire};
}

}  // namespace orvane
