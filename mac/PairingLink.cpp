#include "PairingLink.hpp"

namespace orvane {

namespace {

// Spelled out rather than taken from <cctype>, whose answers depend on the locale.
bool allowedInQuery(unsigned char c) {
  constexpr std::string_view punctuation = "-._~!$&'()*+,;=:@/?";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         punctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string pairingLink(std::string_view host, std::string_view code) {
  constexpr std::string_view hexDigits = "0123456789ABCDEF";
  std::string link = "orvane://pair?host=";
  for (const char byte : host) {
    const auto c = static_cast<unsigned char>(byte);
    if (allowedInQuery(c)) {
      link += byte;
    } else {
      link += '%';
      link += hexDigits[c >> 4];
      link += hexDigits[c & 0xF];
    }
  }
  link += "&code=";
  link += code;
  return link;
}

}  // namespace orvane
