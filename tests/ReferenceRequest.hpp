// The slow, obvious way through a request: the whole body parsed into a JSON tree and the
// samples read from it. The tests and fuzzers hold the bridge's fast path against it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Request.hpp"
#include "Router.hpp"

namespace orvane::reference {

struct Request {
  std::string method;
  std::string path;
  std::string bearer;
  std::optional<JsonObject> json;  // set only when the body is a JSON object
};

struct ParseResult {
  FrameStatus status = FrameStatus::needMore;
  std::optional<Request> request;
};

ParseResult parseRequest(std::string_view data);

// Stores the first maxBatch `samples` as sent by `device` and returns, once their history
// lines are durable, how many were accepted.
std::int64_t ingest(StateEngine& engine, const std::vector<JsonObject>& samples,
                    const std::string& device = "unknown");

// The answer of `router` over `engine` (the credential and limiter behind it are `credential`
// and one that never locks), with /ingest bodies read through the JSON tree.
Response respond(Router& router, StateEngine& engine, const Credential& credential,
                 const Request& request);

}  // namespace orvane::reference
