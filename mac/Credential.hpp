// The pairing code the bridge was started with, as the credential that clients must present.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

class Credential {
 public:
  explicit Credential(std::string code);

  // The code as stored and shown on the pairing card.
  const std::string& code() const { return code_; }

  // Whether `bearer`, already in canonical form (see canonicalForm), is this code. Strings
  // that Unicode counts as the same match: a code typed with "é" as one character matches one
  // stored as "e" and a combining accent, and the other way round.
  bool matchesCanonical(std::string_view bearer) const;

 private:
  std::string code_;
  std::string canonical_;  // made once, not on every request
};

// Whether `given` equals `expected`, in a time that does not depend on where they differ.
bool credentialMatches(std::string_view given, std::string_view expected);

}  // namespace orvane
