// Routing. The credential is checked before method or path are looked at, so an unauthorised
// client learns nothing about the routes; a client locked out for guessing gets the very same
// unauthorised response. A route that rejects its payload touches neither the engine nor the
// flag file. The router keeps no state of its own.
#include "Router.hpp"

#include "IngestBody.hpp"
#include "Settings.hpp"
#include "Text.hpp"

namespace orvane {

namespace {

Response error(int status, const char* text) {
  return {status, JsonObject{{"error", text}}};
}

Response badPayload() {
  return error(400, "bad payload");
}

Response unauthorized() {
  return error(401, "unauthorized");
}

Response health() {
  return {200, JsonObject{{"ok", true}, {"version", version()}}};
}

Response marked() {
  return {200, JsonObject{{"ok", true}}};
}

Response notFound() {
  return error(404, "not found");
}

// A JSON boolean, or a JSON number whose value is exactly 1 or 0 (1.0 and 0.0 included:
// JSON itself does not tell integers from other numbers).
std::optional<bool> enabledFlag(const JsonObject& value) {
  if (value.is_boolean())
    return value.get<bool>();
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n <= 1)
      return n == 1;
  } else if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n == 0 || n == 1)
      return n == 1;
  } else if (value.is_number_float()) {
    const auto n = value.get<double>();
    if (n == 0.0 || n == 1.0)
      return n == 1.0;
  }
  return std::nullopt;
}

enum class Route { health, state, ingest, mark, orvane, none };

Route routeOf(std::string_view method, std::string_view path) {
  if (method == "GET") {
    if (path == "/health")
      return Route::health;
    if (path == "/state")
      return Route::state;
  } else if (method == "POST") {
    if (path == "/ingest")
      return Route::ingest;
    if (path == "/mark")
      return Route::mark;
    if (path == "/orvane")
      return Route::orvane;
  }
  return Route::none;
}

}  // namespace

Response Router::ingest(std::string_view body) {
  // Each thread keeps the room of its last batch: a full batch's samples fill a few hundred
  // kilobytes, which taken fresh every time would mostly cost page faults.
  thread_local IngestBatch batch;
  if (!readIngestBody(body, batch))
    return badPayload();
  const StateEngine::Ingested ingested = engine_.ingest(batch);
  Response response{200, JsonObject{{"ok", true}, {"accepted", ingested.accepted}}};
  response.flushTicket = ingested.flushTicket;
  return response;
}

Response Router::setOrvaned(const std::optional<JsonObject>& payload) {
  if (!payload)
    return badPayload();
  const auto enabled = payload->find("enabled");
  if (enabled == payload->end())
    return badPayload();
  const std::optional<bool> flag = enabledFlag(*enabled);
  if (!flag)
    return badPayload();
  engine_.setOrvaned(*flag);
  return {200, JsonObject{{"ok", true}, {"orvaned", *flag}}};
}

Response Router::respond(const FramedRequest& request, std::string_view peer) {
  // Made before the limiter's lock is taken: a head can hold kilobytes of text to compose.
  std::string storage;
  const std::string_view bearer = canonicalForm(request.bearer, storage);
  if (!limiter_.admits(peer, [&] { return credential_.matchesCanonical(bearer); }))
    return fixedResponse<unauthorized>();
  switch (routeOf(request.method, request.path)) {
    case Route::health:
      return fixedResponse<health>();
    case Route::mark:
      return fixedResponse<marked>();
    case Route::none:
      return fixedResponse<notFound>();
    case Route::ingest:
      return ingest(request.body);
    case Route::state:
      return {200, engine_.state()};
    case Route::orvane:
      break;
  }
  return setOrvaned(request.body.empty() ? std::nullopt : parseJsonObject(request.body));
}

bool Router::answerFlushesFiles(const FramedRequest& request) {
  return routeOf(request.method, request.path) == Route::orvane;
}

void Router::whenFlushed(const Response& response, std::function<void()> done,
                         const HistoryFlusher::Runner& run) {
  engine_.whenFlushed(response.flushTicket, std::move(done), run);
}

}  // namespace orvane
