// The card is a format as well as a display: the companion app finds each value as the run of
// non-blank characters after its label, so every value is followed by at least two spaces
// and never cut, and all widths are counted in grapheme clusters, not bytes. Lines 2 to 7
// are all W + 4 characters wide.
#include "PairingCard.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "PairingLink.hpp"
#include "Settings.hpp"
#include "TerminalQR.hpp"
#include "TextWidth.hpp"

namespace orvane {

namespace {

constexpr std::string_view title = "Orvane pairing card";
constexpr std::string_view fallbackAddress = "127.0.0.1";

}  // namespace

std::optional<std::string> firstLanAddress(const ifaddrs* list) {
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    char host[1025] = {};  // NI_MAXHOST, spelled out: not every libc defines it
    if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
      return std::string(host);
    }
  }
  return std::nullopt;
}

std::string lanIP() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0)
    return std::string(fallbackAddress);
  std::optional<std::string> address = firstLanAddress(list);
  ::freeifaddrs(list);
  return address.value_or(std::string(fallbackAddress));
}

std::string pairingCard(std::string_view code, std::string_view hostText) {
  const std::size_t width =
      std::max({std::size_t{38}, displayLength(hostText) + 18, displayLength(code) + 18});
  const std::string rule = "  +" + std::string(width, '-') + "+\n";
  std::string card = "\n";
  card += rule;
  card += "  |" + center(title, width) + "|\n";
  card += rule;
  card += "  |  Computer      " + pad(hostText, width - 16) + "|\n";
  card += "  |  Pairing code  " + pad(code, width - 16) + "|\n";
  card += rule;
  card += "  Enter both in the Orvane iPhone app.\n";
  card += "\n";
  return card;
}

void printPairingCard(const std::string& code) {
  const std::string host = lanIP() + ":" + std::to_string(port());
  std::string card = pairingCard(code, host);
  // Someone at a terminal, on a server or over SSH, can scan the link instead of typing both
  // values; the app, the journal and any other reader of a pipe or file get the card alone.
  if (::isatty(STDOUT_FILENO) == 1)
    card += terminalQR(pairingLink(host, code));
  std::fwrite(card.data(), 1, card.size(), stdout);
  // Whoever reads us through a pipe should see the card now, not when the buffer fills.
  std::fflush(stdout);
}

}  // namespace orvane
