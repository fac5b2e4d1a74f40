// Constants of the bridge process: its version and the TCP port.
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

}  // namespace orvane
