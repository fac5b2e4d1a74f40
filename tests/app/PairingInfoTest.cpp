#include "PairingInfo.hpp"

#include <gtest/gtest.h>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

TEST(PairingCardReading, TakesEachValueOrItsFallback) {
  const std::string card = pairingCard("amber-fox-river-123456", "192.168.1.20:8788");
  const struct {
    std::string output, host, code;
  } cases[] = {
      {card, "192.168.1.20:8788", "amber-fox-river-123456"},
      {"", "127.0.0.1:8788", ""},
      // Output that is not UTF-8 is ignored whole.
      {card + "\xff", "127.0.0.1:8788", ""},
      {card + "\xc3", "127.0.0.1:8788", ""},
      {card + "\xed\xa0\x80", "127.0.0.1:8788", ""},
      {card + "\xc0\xaf", "127.0.0.1:8788", ""},
      // Each label falls back on its own.
      {"  |  Pairing code  amber-fox-1  |\n", "127.0.0.1:8788", "amber-fox-1"},
      {"  |  Computer      10.0.0.2:8788  |\n", "10.0.0.2:8788", ""},
      // The label must be followed by white space, but may end a word.
      {"Computer:10.0.0.2:8788\nPairing code:amber\n", "127.0.0.1:8788", ""},
      {"MyComputer 10.0.0.3:1\n", "10.0.0.3:1", ""},
      // A box-drawing bar ends the value, an ASCII bar does not.
      {"Computer  10.0.0.2:8788\u2502\nPairing code  amber-fox\u2502\n", "10.0.0.2:8788",
       "amber-fox"},
      {"Computer  10.0.0.2:8788|\nPairing code  amber-fox|\n", "10.0.0.2:8788|", "amber-fox|"},
      {"Computer  10.0.0.1:1\nComputer  10.0.0.2:2\n", "10.0.0.1:1", ""},
      // A label at the end of a line takes the next line's value.
      {"Computer\n   10.0.0.9:8788  more\nPairing code\r\n\tamber\n", "10.0.0.9:8788", "amber"},
      // No-break and em space after a label; ideographic space and line separator end a value.
      {"Computer\u00a0\u2003192.168.0.4:1\u3000x\nPairing code\u2028amber\u2029fox\n",
       "192.168.0.4:1", "amber"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    const PairingInfo info = PairingInfo::fromCard(QByteArray::fromStdString(c.output));
    EXPECT_EQ(info.host().toStdString(), c.host);
    EXPECT_EQ(info.code().toStdString(), c.code);
  }
}

TEST(PairingLink, PercentEncodesTheHostOnlyOutsideTheQuerySetAndCopiesTheCode) {
  const struct {
    QString host, code, url;
  } cases[] = {
      {"192.168.1.20:8788", "amber-fox-river-123456",
       "orvane://pair?host=192.168.1.20:8788&code=amber-fox-river-123456"},
      {"h%st \u00e9#[]\"<>", "c", "orvane://pair?host=h%25st%20%C3%A9%23%5B%5D%22%3C%3E&code=c"},
      {"aZ09-._~!$&'()*+,;=:@/?", "c", "orvane://pair?host=aZ09-._~!$&'()*+,;=:@/?&code=c"},
      {"h:1", "\u00e9%& #", "orvane://pair?host=h:1&code=\u00e9%& #"},
      {"127.0.0.1:8788", "", "orvane://pair?host=127.0.0.1:8788&code="},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PairingInfo(c.host, c.code).url(), c.url);
}

using PairingLoad = test::FakeBridgeTest;

TEST_F(PairingLoad, CardRunPassesExactlyTheFlagAndReadsItsCard) {
  installFake();
  for (const bool rotating : {false, true}) {
    const PairingInfo info = PairingInfo::load(test::qPath(resources()), rotating);
    EXPECT_EQ(info.host(), rotating ? "10.2.2.2:8788" : "10.1.1.1:8788");
    EXPECT_EQ(info.code(), rotating ? "cedar-owl-2" : "amber-fox-1");
    EXPECT_EQ(events_.drain(), std::vector<std::string>{rotating ? "args 1 [--rotate-pairing]"
                                                                 : "args 1 [--pairing]"});
  }
}

TEST_F(PairingLoad, ResourceThatIsADirectoryRunsTheBridgeInsideIt) {
  std::filesystem::create_directory(resources() / "OrvaneBridge");
  installFakeAt(resources() / "OrvaneBridge" / "OrvaneBridge");
  EXPECT_EQ(PairingInfo::load(test::qPath(resources()), false).code(), "amber-fox-1");
}

TEST_F(PairingLoad, MissingOrUnusableBridgeGivesTheFallbacks) {
  const auto expectFallbacks = [this](const char* what) {
    const PairingInfo info = PairingInfo::load(test::qPath(resources()), false);
    EXPECT_EQ(info.host(), "127.0.0.1:8788") << what;
    EXPECT_EQ(info.code(), "") << what;
  };
  expectFallbacks("no resource at all");
  std::filesystem::create_directory(resources() / "OrvaneBridge");
  expectFallbacks("a directory without the executable");
  std::filesystem::remove(resources() / "OrvaneBridge");
  test::writeFile(resources() / "OrvaneBridge", "not a program\n");
  expectFallbacks("a file that cannot be run");
  EXPECT_TRUE(events_.drain().empty());
}

}  // namespace
}  // namespace orvane
