// Process-wide values that live as long as the bridge: its version, the TCP port and the
// pairing code held in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// Reported in the state document and by the health route.
const std::string& version();

// The listening port, taken from ORVANE_PORT at first use (8788 when absent or unparsable)
// and fixed from then on.
std::uint16_t port();

// The ORVANE_PORT rule: ASCII digits with an optional leading "+", leading zeros allowed,
// value at most 65535. Anything else gives nothing.
std::optional<std::uint16_t> parsePort(std::string_view text);

// The pairing code: empty until the run sequence sets it, once, before the server exists.
// Read without a lock afterwards.
const std::string& token();
void setToken(std::string code);
// The pairing code in canonical form (see canonicalForm), made once when it is set.
const std::string& canonicalToken();

}  // namespace orvane
