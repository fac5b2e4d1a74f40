#include "PairingCard.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <sstream>
#include <vector>

#include "Files.hpp"
#include "Settings.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

std::vector<std::string> linesOf(const std::string& card) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = card.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(card.substr(start, end - start));
  EXPECT_EQ(start, card.size()) << "text after the last line feed";
  return lines;
}

TEST(PairingCard, UsualValuesGiveTheExactCard) {
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
}

TEST(PairingCard, ShortValuesKeepTheMinimumWidth) {
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

TEST(PairingCard, EmptyCodeLeavesAnEmptyFieldAndTheHostDecidesTheWidth) {
  const auto lines = linesOf(pairingCard("", "10.0.0.2:80"));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[5], "  |  Pairing code                        |");

  // A host long enough to matter widens the card by itself.
  const std::string host = "255.255.255.255:65535";  // 21 characters
  const auto wide = linesOf(pairingCard("", host));
  ASSERT_EQ(wide.size(), 9u);
  EXPECT_EQ(wide[1], "  +" + std::string(39, '-') + "+");
  EXPECT_EQ(wide[1].size(), 21u + 18 + 4);
  EXPECT_EQ(wide[4], "  |  Computer      " + host + "  |");
}

TEST(PairingCard, LongCodeWidensEveryLineWithoutCutting) {
  const std::string code = "hand-edited-pairing-code-that-is-long";  // 37 characters
  const auto lines = linesOf(pairingCard(code, "192.168.1.20:8788"));
  ASSERT_EQ(lines.size(), 9u);
  const std::size_t width = code.size() + 18;
  for (std::size_t i = 1; i <= 6; ++i) {
    EXPECT_EQ(lines[i].size(), width + 4) << i;
  }
  EXPECT_EQ(lines[5], "  |  Pairing code  " + code + "  |");
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[7], "  Enter both in the Orvane iPhone app.");
  EXPECT_EQ(lines[8], "");
}

TEST(PairingCard, NonAsciiCodeIsMeasuredInCharactersNotBytes) {
  // "é" written as e + combining acute: two code points, three bytes, one character.
  const std::string code = "cafe\u0301-the\u0301-cre\u0300me-123456";  // 21 characters
  const auto lines = linesOf(pairingCard(code, "192.168.1.20:8788"));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[1], "  +" + std::string(39, '-') + "+");
  EXPECT_EQ(lines[5], "  |  Pairing code  " + code + "  |");
}

TEST(DisplayLength, CountsGraphemeClusters) {
  EXPECT_EQ(displayLength(""), 0u);
  EXPECT_EQ(displayLength("abc"), 3u);
  EXPECT_EQ(displayLength("e\u0301"), 1u);
  EXPECT_EQ(displayLength("\u00e9t\u00e9"), 3u);
  EXPECT_EQ(displayLength("\r\n"), 1u);
  EXPECT_EQ(displayLength("\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA"), 2u);  // two flags
  EXPECT_EQ(displayLength("a\xff"
                          "b"),
            3u);  // a stray byte counts as one
}

TEST(PadAndCenter, FillToTheWidthAndNeverCut) {
  EXPECT_EQ(pad("ab", 5), "ab   ");
  EXPECT_EQ(pad("abcdef", 3), "abcdef");
  EXPECT_EQ(pad("e\u0301", 3), "e\u0301  ");
  EXPECT_EQ(center("ab", 6), "  ab  ");
  EXPECT_EQ(center("ab", 5), " ab  ");  // the odd space goes right
  EXPECT_EQ(center("abc", 2), "abc");
  EXPECT_EQ(center("", 3), "   ");
  EXPECT_EQ(center("e\u0301", 4), " e\u0301  ");
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

TEST(LanAddress, FirstNonLoopbackIPv4EntryWins) {
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
}

TEST(LanAddress, OnlyLoopbackOrIPv6GivesNothing) {
  EXPECT_EQ(firstLanAddress(nullptr), std::nullopt);
  InterfaceList list;
  list.add("lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK)
      .add("lo", AF_INET6, "::1", IFF_UP | IFF_LOOPBACK)
      .add("en0", AF_INET6, "2001:db8::5", IFF_UP);
  EXPECT_EQ(firstLanAddress(list.head()), std::nullopt);
}

TEST(LanAddress, IsAlwaysDottedIPv4Text) {
  const std::string address = lanIP();
  in_addr parsed{};
  EXPECT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
}

TEST(PairingCard, PrintingWritesTheCardAndFlushesAtOnce) {
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
  EXPECT_EQ(printed, pairingCard("calm-leaf-moon-123456", lanIP() + ":" + std::to_string(port())));
}

}  // namespace
}  // namespace orvane
