// The bridge's HTTP API: turns one request into exactly one JSON response.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "GuessLimiter.hpp"
#include "HistoryFlusher.hpp"
#include "Json.hpp"
#include "Request.hpp"

namespace orvane {

struct Response {
  int status = 200;
  JsonObject body;
  // An answer that never changes comes with its bytes, made once; its body is then left null.
  const std::string* wire = nullptr;
  // Not 0: the answer tells that an ingest is recorded, so it may leave only once
  // whenFlushed(response, ...) has called back.
  std::uint64_t flushTicket = 0;
};

// Checks the bearer credential, picks the route and calls the engine.
Response respond(const Request& request);

// The server's entry, for a request that came from `peer`, whose guesses at the code
// `limiter` counts: a locked-out peer gets the unauthorised response whatever code it sent.
// The body is read only by the routes that take one, and an /ingest body straight into the
// engine's batch, without waiting for the disk: the answer comes with a flush ticket. Answers
// that never change come with their bytes.
Response respond(const FramedRequest& request, GuessLimiter& limiter, std::string_view peer);

// Whether making the answer writes a file to stable storage (the orvaned flag): the server
// makes those answers away from the threads that serve the others.
bool answerFlushesFiles(const FramedRequest& request);

// Calls `done` once the response may be sent: its ingest's history lines are on stable
// storage. A flush that has to start runs through `run`, so the caller never blocks.
void whenFlushed(const Response& response, std::function<void()> done,
                 const HistoryFlusher::Runner& run);

// The bytes sent on the wire: status line, the three headers, blank line, compact body.
std::string serializeResponse(const Response& response);

// Whether `given` equals `expected`, in a time that does not depend on where they differ. The
// bearer and the pairing code are compared in canonical form, so that a code typed with "é"
// as one character matches one stored as "e" and a combining accent, and the other way round.
bool credentialMatches(std::string_view given, std::string_view expected);

}  // namespace orvane
