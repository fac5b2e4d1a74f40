// The bridge's HTTP API: turns one request into exactly one JSON response.
#pragma once

#include <functional>
#include <string_view>

#include "Credential.hpp"
#include "GuessLimiter.hpp"
#include "HistoryFlusher.hpp"
#include "Request.hpp"
#include "Response.hpp"
#include "StateEngine.hpp"

namespace orvane {

class Router {
 public:
  // Answers with `engine`'s data to clients that present `credential`, counting wrong guesses
  // in `limiter`. All three must outlive the router.
  Router(StateEngine& engine, const Credential& credential, GuessLimiter& limiter)
      : engine_(engine), credential_(credential), limiter_(limiter) {}

  // The answer to a request that came from `peer`: a locked-out peer gets the unauthorised
  // response whatever code it sent. The body is read only by the routes that take one, and an
  // /ingest body straight into the engine's batch, without waiting for the disk: the answer
  // comes with a flush ticket. Answers that never change come with their bytes.
  Response respond(const FramedRequest& request, std::string_view peer);

  // Whether making the answer writes a file to stable storage (the orvaned flag): the server
  // makes those answers away from the threads that serve the others.
  static bool answerFlushesFiles(const FramedRequest& request);

  // Calls `done` once the response may be sent: its ingest's history lines and state document
  // are on stable storage. A flush that has to start runs through `run`, so the caller never
  // blocks.
  void whenFlushed(const Response& response, std::function<void()> done,
                   const HistoryFlusher::Runner& run);

 private:
  Response ingest(std::string_view body);
  Response setOrvaned(const std::optional<JsonObject>& payload);

  StateEngine& engine_;
  const Credential& credential_;
  GuessLimiter& limiter_;
};

}  // namespace orvane
