#include "PairingCard.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <vector>

#include "Files.hpp"
#include "Settings.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

TEST(PairingCard, UsualAndShortValuesGiveTheExactCard) {
  EXPECT_EQ(pairingCard("river-cloud-maple-482913", "192.168.1.20:8788"),
            "\n"
            "  +------------------------------------------+\n"
            "  |           Orvane pairing card            |\n"
            "  +------------------------------------------+\n"
            "  |  Computer      192.168.1.20:8788         |\n"
            "  |  Pairing code  river-cloud-maple-482913  |\n"
            "  +------------------------------------------+\n"
            "  Enter both in the Orvane iPhone app.\n"
            "\n");
  // Short values keep the minimum width.
  EXPECT_EQ(pairingCard("a-b-c-d", "10.0.0.2:80"),
            "\n"
            "  +--------------------------------------+\n"
            "  |         Orvane pairing card          |\n"
            "  +--------------------------------------+\n"
            "  |  Computer      10.0.0.2:80           |\n"
            "  |  Pairing code  a-b-c-d               |\n"
            "  +--------------------------------------+\n"
            "  Enter both in the Orvane iPhone app.\n"
            "\n");
}

TEST(PairingCard, TheLongerValueWidensEveryLineWithoutCutting) {
  const std::string longCode = "hand-edited-pairing-code-that-is-long";  // 37 characters
  // "é" as e + combining acute: two code points, three bytes, one character.
  const std::string combining = "cafe\u0301-the\u0301-cre\u0300me-123456";  // 21 characters
  const std::string longHost = "255.255.255.255:65535";                     // 21 characters
  const struct {
    std::string code, host;
    std::size_t width;
    std::string computerLine, codeLine;
  } cases[] = {
      {"", "10.0.0.2:80", 38, "  |  Computer      10.0.0.2:80           |",
       "  |  Pairing code                        |"},
      {"", longHost, 39, "  |  Computer      " + longHost + "  |",
       "  |  Pairing code                         |"},
      {longCode, "192.168.1.20:8788", 55,
       "  |  Computer      192.168.1.20:8788" + std::string(22, ' ') + "|",
       "  |  Pairing code  " + longCode + "  |"},
      {combining, "192.168.1.20:8788", 39, "  |  Computer      192.168.1.20:8788      |",
       "  |  Pairing code  " + combining + "  |"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code + " " + c.host);
    const std::string rule = "  +" + std::string(c.width, '-') + "+";
    const std::string title = "Orvane pairing card";
    const std::size_t left = (c.width - title.size()) / 2;
    EXPECT_EQ(pairingCard(c.code, c.host), "\n" + rule + "\n  |" + std::string(left, ' ') + title +
                                               std::string(c.width - left - title.size(), ' ') +
                                               "|\n" + rule + "\n" + c.computerLine + "\n" +
                                               c.codeLine + "\n" + rule +
                                               "\n  Enter both in the Orvane iPhone app.\n\n");
  }
}

TEST(DisplayLength, CountsGraphemeClusters) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"e\u0301", 1},
      {"\u00e9t\u00e9", 3},
      {"\r\n", 1},
      {"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2},  // two flags
      {"a\xff"
       "b",
       3},  // a stray byte counts as one
  };
  for (const auto& [text, length] : cases)
    EXPECT_EQ(displayLength(text), length) << text;
}

// Hand-built interface lists, so the walk can be checked against entries no test machine has.
class InterfaceList {
 public:
  InterfaceList& add(const char* name, int family, const char* address, unsigned flags) {
    ifaddrs& entry = entries_.emplace_back();
    entry.ifa_name = const_cast<char*>(name);
    entry.ifa_flags = flags;
    if (family == AF_INET) {
      sockaddr_in& in = v4_.emplace_back();
      in.sin_family = AF_INET;
      ::inet_pton(AF_INET, address, &in.sin_addr);
      entry.ifa_addr = reinterpret_cast<sockaddr*>(&in);
    } else if (family == AF_INET6) {
      sockaddr_in6& in6 = v6_.emplace_back();
      in6.sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, address, &in6.sin6_addr);
      entry.ifa_addr = reinterpret_cast<sockaddr*>(&in6);
    }
    if (entries_.size() > 1)
      entries_[entries_.size() - 2].ifa_next = &entry;
    return *this;
  }
  const ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front(); }

 private:
  // Deques keep addresses stable as entries are added.
  std::deque<ifaddrs> entries_;
  std::deque<sockaddr_in> v4_;
  std::deque<sockaddr_in6> v6_;
};

TEST(LanAddress, FirstIPv4EntryWithoutTheLoopbackFlagWins) {
  InterfaceList list;
  list.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
      .add("en0", AF_UNSPEC, nullptr, IFF_UP)  // no address
      .add("en0", AF_INET6, "fe80::1", IFF_UP)
      .add("en5", AF_INET, "10.1.2.3", 0)  // down, but only the loopback flag counts
      .add("en0", AF_INET, "192.168.1.20", IFF_UP);
  EXPECT_EQ(firstLanAddress(list.head()), "10.1.2.3");

  InterfaceList named;  // a loopback-looking name without the flag is an ordinary interface
  named.add("lo0", AF_INET, "127.0.0.2", IFF_UP).add("en0", AF_INET, "192.168.1.20", IFF_UP);
  EXPECT_EQ(firstLanAddress(named.head()), "127.0.0.2");

  EXPECT_EQ(firstLanAddress(nullptr), std::nullopt);
  InterfaceList none;
  none.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
      .add("lo", AF_INET6, "::1", IFF_UP | IFF_LOOPBACK)
      .add("en0", AF_INET6, "2001:db8::5", IFF_UP);
  EXPECT_EQ(firstLanAddress(none.head()), std::nullopt);
}

TEST(PairingCard, PrintingWritesTheCardWithADottedIPv4HostAndFlushesAtOnce) {
  test::TemporaryDirectory dir;
  const auto capture = dir.path() / "stdout";
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  std::FILE* file = std::fopen(capture.c_str(), "w");
  ASSERT_NE(file, nullptr);
  ::dup2(::fileno(file), STDOUT_FILENO);
  std::fclose(file);

  printPairingCard("calm-leaf-moon-123456");
  // Read before anything else flushes: only printPairingCard's own flush put it there.
  const std::string printed = readWholeFile(capture).value_or("");

  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  const std::string address = lanIP();
  in_addr parsed{};
  EXPECT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
  EXPECT_EQ(printed, pairingCard("calm-leaf-moon-123456", address + ":" + std::to_string(port())));
}

}  // namespace
}  // namespace orvane
