#include "ReferenceRequest.hpp"

#include "Text.hpp"

namespace orvane::reference {

ParseResult parseRequest(std::string_view data) {
  FrameResult framed = frameRequest(data);
  ParseResult result{framed.status, std::nullopt};
  if (framed.request) {
    FramedRequest& r = *framed.request;
    result.request = Request{std::move(r.method), std::move(r.path), std::move(r.bearer),
                             r.body.empty() ? std::nullopt : parseJsonObject(r.body)};
  }
  return result;
}

std::int64_t ingest(StateEngine& engine, const std::vector<JsonObject>& samples,
                    const std::string& device) {
  IngestBatch batch{{}, device};
  for (std::size_t i = 0; i < std::min(samples.size(), StateEngine::maxBatch); ++i) {
    const JsonObject& s = samples[i];
    const auto text = [&](const char* key) {
      return s.contains(key) && s[key].is_string() ? std::optional(s[key].get<std::string>())
                                                   : std::nullopt;
    };
    const auto number = [&](const char* key) {  // a JSON number, or text that is one
      return !s.contains(key)     ? std::nullopt
             : s[key].is_number() ? std::optional(s[key].get<double>())
             : s[key].is_string() ? numberInText(s[key].get<std::string>())
                                  : std::nullopt;
    };
    batch.samples.push_back({text("type"), number("value"), number("ts"), text("unit")});
  }
  const StateEngine::Ingested ingested = engine.ingest(batch);
  engine.whenFlushed(
      ingested.flushTicket, [] {}, [](const std::function<void()>& job) { job(); });
  return ingested.accepted;
}

Response respond(Router& router, StateEngine& engine, const Credential& credential,
                 const Request& request) {
  std::string storage;
  if (request.method != "POST" || request.path != "/ingest" ||
      !credential.matchesCanonical(canonicalForm(request.bearer, storage))) {
    const std::string body = request.json ? request.json->dump() : "";
    return router.respond({request.method, request.path, request.bearer, body}, "reference");
  }
  const JsonObject payload = request.json.value_or(JsonObject());
  const auto samples = payload.find("samples"), device = payload.find("device");
  if (samples == payload.end() || !samples->is_array() ||
      !std::all_of(samples->begin(), samples->end(), [](auto& s) { return s.is_object(); }))
    return {400, {{"error", "bad payload"}}};
  const bool named = device != payload.end() && device->is_string();
  const std::int64_t accepted =
      ingest(engine, *samples, named ? device->get<std::string>() : "unknown");
  return {200, {{"ok", true}, {"accepted", accepted}}};
}

}  // namespace orvane::reference
