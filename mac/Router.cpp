// Routing and response bytes. The credential is checked before method or path are looked at,
// so an unauthorised client learns nothing about the routes; a client locked out for guessing
// gets the very same unauthorised response. A route that rejects its payload
// touches neither the engine nor the flag file. The router keeps no state; the bytes of the
// answers that never change are made once.
#include "Router.hpp"

#include <nlohmann/json.hpp>

#include "DataDirectory.hpp"
#include "IngestBody.hpp"
#include "Settings.hpp"
#include "StateEngine.hpp"
#include "Text.hpp"

namespace orvane {

namespace {

Response error(int status, const char* text) {
  return {status, JsonObject{{"error", text}}};
}

Response badPayload() {
  return error(400, "bad payload");
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    default:
      return "Not Found";
  }
}

Response accepted(std::int64_t count) {
  return {200, JsonObject{{"ok", true}, {"accepted", count}}};
}

Response ingest(std::string_view body) {
  // Each thread keeps the room of its last batch: a full batch's samples fill a few hundred
  // kilobytes, which taken fresh every time would mostly cost page faults.
  thread_local IngestBatch batch;
  if (!readIngestBody(body, batch))
    return badPayload();
  const StateEngine::Ingested ingested = engine().ingestBatchUnflushed(batch);
  Response response = accepted(ingested.accepted);
  response.flushTicket = ingested.flushTicket;
  return response;
}

Response ingest(const Request& request) {
  if (!request.json)
    return badPayload();
  const JsonObject& payload = *request.json;
  const auto samples = payload.find("samples");
  if (samples == payload.end() || !samples->is_array())
    return badPayload();
  for (const JsonObject& sample : *samples) {
    if (!sample.is_object())
      return badPayload();
  }

  const auto device = payload.find("device");
  static const std::string unknownDevice = "unknown";
  const std::string& deviceName = device != payload.end() && device->is_string()
                                      ? device->get_ref<const std::string&>()
                                      : unknownDevice;
  return accepted(engine().ingest(samples->get_ref<const JsonObject::array_t&>(), deviceName));
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

Response setOrvaned(const Request& request) {
  if (!request.json)
    return badPayload();
  const auto enabled = request.json->find("enabled");
  if (enabled == request.json->end())
    return badPayload();
  const std::optional<bool> flag = enabledFlag(*enabled);
  if (!flag)
    return badPayload();
  // No lock spans the two writes: two simultaneous switches may leave the engine and the
  // file disagreeing until the next one, which only matters at the next start.
  engine().setOrvaned(*flag);
  writeOrvaned(*flag);
  return {200, JsonObject{{"ok", true}, {"orvaned", *flag}}};
}

}  // namespace

bool credentialMatches(std::string_view given, std::string_view expected) {
  unsigned difference = given.size() == expected.size() ? 0U : 1U;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto g = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

namespace {

Response unauthorized() {
  return error(401, "unauthorized");
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

Response health() {
  return {200, JsonObject{{"ok", true}, {"version", version()}}};
}

Response marked() {
  return {200, JsonObject{{"ok", true}}};
}

Response notFound() {
  return error(404, "not found");
}

Response route(Route chosen, const Request& request) {
  switch (chosen) {
    case Route::health:
      return health();
    case Route::state:
      return {200, engine().state()};
    case Route::ingest:
      return ingest(request);
    case Route::mark:
      return marked();
    case Route::orvane:
      return setOrvaned(request);
    case Route::none:
      break;
  }
  return notFound();
}

// An answer that never changes, its bytes made once, on first use.
template <Response (*make)()>
Response fixedAnswer() {
  static const Response made = make();
  static const std::string wire = serializeResponse(made);
  return {made.status, JsonObject(), &wire};
}

}  // namespace

Response respond(const Request& request) {
  std::string storage;
  if (!credentialMatches(canonicalForm(request.bearer, storage), canonicalToken()))
    return unauthorized();
  return route(routeOf(request.method, request.path), request);
}

Response respond(const FramedRequest& request, GuessLimiter& limiter, std::string_view peer) {
  // Made before the limiter's lock is taken: a head can hold kilobytes of text to compose.
  std::string storage;
  const std::string_view bearer = canonicalForm(request.bearer, storage);
  if (!limiter.admits(peer, [&] { return credentialMatches(bearer, canonicalToken()); }))
    return fixedAnswer<unauthorized>();
  const Route chosen = routeOf(request.method, request.path);
  switch (chosen) {
    case Route::health:
      return fixedAnswer<health>();
    case Route::mark:
      return fixedAnswer<marked>();
    case Route::none:
      return fixedAnswer<notFound>();
    case Route::ingest:
      return ingest(request.body);
    case Route::state:
    case Route::orvane:
      break;
  }
  Request whole{request.method, request.path, request.bearer, std::nullopt};
  if (chosen == Route::orvane && !request.body.empty())
    whole.json = parseJsonObject(request.body);
  return route(chosen, whole);
}

bool answerFlushesFiles(const FramedRequest& request) {
  return routeOf(request.method, request.path) == Route::orvane;
}

void whenFlushed(const Response& response, std::function<void()> done,
                 const HistoryFlusher::Runner& run) {
  engine().whenFlushed(response.flushTicket, std::move(done), run);
}

std::string serializeResponse(const Response& response) {
  if (response.wire)
    return *response.wire;
  std::string body;
  try {
    body = response.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    body = "{}";
  }
  std::string bytes = "HTTP/1.1 " + std::to_string(response.status) + " ";
  bytes += reasonPhrase(response.status);
  bytes += "\r\nContent-Type: application/json\r\nContent-Length: ";
  bytes += std::to_string(body.size());
  bytes += "\r\nConnection: close\r\n\r\n";
  bytes += body;
  return bytes;
}

}  // namespace orvane
