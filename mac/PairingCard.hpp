// The pairing card printed for people and read by the companion app, and the LAN address it
// shows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct ifaddrs;

namespace orvane {

// The first non-loopback IPv4 address in the system's interface order, or "127.0.0.1".
std::string lanIP();

// The choice lanIP makes, over a list the caller holds: the numeric text of the first entry
// with an IPv4 address on an interface without the loopback flag that converts, if any.
std::optional<std::string> firstLanAddress(const ifaddrs* list);

// The nine lines of the card, each ended by a line feed.
std::string pairingCard(std::string_view code, std::string_view hostText);

// Prints the card for `code` with lanIP() and port() as the host, and flushes. When standard
// output is a terminal, the QR Code of the pairing link follows the card; output that goes to
// a pipe or a file is the card alone.
void printPairingCard(const std::string& code);

}  // namespace orvane
