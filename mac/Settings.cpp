#include "Settings.hpp"

#include <cstdlib>

namespace orvane {

namespace {
constexpr std::uint16_t defaultPort = 8788;
}  // namespace

const std::string& version() {
  static const std::string value = "1.2.0";
  return value;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  if (text.empty())
    return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    // Leading zeros keep the value small, so any overflow shows up here first.
    if (value > 65535)
      return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::uint16_t port() {
  static const std::uint16_t value = [] {
    const char* text = std::getenv("ORVANE_PORT");
    if (text == nullptr)
      return defaultPort;
    return parsePort(text).value_or(defaultPort);
  }();
  return value;
}

}  // namespace orvane
