#include "Credential.hpp"

#include "Text.hpp"

namespace orvane {

Credential::Credential(std::string code) : code_(std::move(code)) {
  std::string storage;
  canonical_ = canonicalForm(code_, storage);
}

bool Credential::matchesCanonical(std::string_view bearer) const {
  return credentialMatches(bearer, canonical_);
}

bool credentialMatches(std::string_view given, std::string_view expected) {
  unsigned difference = given.size() == expected.size() ? 0U : 1U;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto g = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0;
}

}  // namespace orvane
