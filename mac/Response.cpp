#include "Response.hpp"

#include <string_view>

namespace orvane {

namespace {

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

}  // namespace

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
