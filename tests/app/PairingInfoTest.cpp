#include "PairingInfo.hpp"

#include <gtest/gtest.h>

#include <array>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

TEST(PairingCardReading, TakesEachValueOrItsFallback) {
  const std::string card = pairingCard("amber-fox-river-123456", "192.168.1.20:8788");
  const std::array<std::string, 3> cases[] = {
      {card, "192.168.1.20:8788", "amber-fox-river-123456"},
      {card + "\xff", "127.0.0.1:8788", ""},  // not UTF-8: ignored whole
      // The label must be followed by white space; each value falls back on its own.
      {"Computer:10.0.0.2:8788\nPairing code  amber\n", "127.0.0.1:8788", "amber"},
      // A box-drawing bar ends the value, an ASCII bar does not; the first label counts.
      {"Computer  10.0.0.2:8788\u2502\nComputer  10.0.0.3:1\n", "10.0.0.2:8788", ""},
      {"Computer  10.0.0.2:8788|\nPairing code  amber-fox\u2502\n", "10.0.0.2:8788|", "amber-fox"},
      // A label at the end of a line takes the next line's value.
      {"Computer\n   10.0.0.9:8788  more\nPairing code\r\n\tamber|\n", "10.0.0.9:8788", "amber|"},
      // No-break and em space after a label; ideographic space and line separator end a value.
      {"Computer\u00a0\u2003192.168.0.4:1\u3000x\nPairing code\u2028amber\u2029fox\n",
       "192.168.0.4:1", "amber"},
  };
  for (const auto& [output, host, code] : cases) {
    const PairingInfo info = PairingInfo::fromCard(QByteArray::fromStdString(output));
    EXPECT_EQ(info.host().toStdString(), host) << output;
    EXPECT_EQ(info.code().toStdString(), code) << output;
  }
}

TEST(PairingLink, PercentEncodesTheHostOnlyOutsideTheQuerySetAndCopiesTheCode) {
  EXPECT_EQ(PairingInfo("h%st \u00e9#[]\"<>", "c").url(),
            "orvane://pair?host=h%25st%20%C3%A9%23%5B%5D%22%3C%3E&code=c");
  EXPECT_EQ(PairingInfo("aZ09-._~!$&'()*+,;=:@/?", "\u00e9%& #").url(),
            "orvane://pair?host=aZ09-._~!$&'()*+,;=:@/?&code=\u00e9%& #");
}

}  // namespace
}  // namespace orvane
