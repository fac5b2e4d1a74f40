#include "PairingInfo.hpp"

#include <gtest/gtest.h>

#include "AppTestSupport.hpp"
#include "BundleResources.hpp"

namespace orvane {
namespace {

using test::bridgeCard;

PairingInfo parse(const std::string& output) {
  return PairingInfo::fromCard(QByteArray::fromStdString(output));
}

TEST(PairingCardReading, TakesHostAndCodeFromTheBridgesCard) {
  const PairingInfo info = parse(bridgeCard("192.168.1.20:8788", "amber-fox-river-123456"));
  EXPECT_EQ(info.host(), "192.168.1.20:8788");
  EXPECT_EQ(info.code(), "amber-fox-river-123456");
}

TEST(PairingCardReading, EmptyOutputGivesBothFallbacks) {
  const PairingInfo info = parse("");
  EXPECT_EQ(info.host(), "127.0.0.1:8788");
  EXPECT_EQ(info.code(), "");
}

TEST(PairingCardReading, OutputThatIsNotUtf8IsIgnoredWhole) {
  for (const char* bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xc0\xaf"}) {
    const PairingInfo info = parse(bridgeCard("10.0.0.2:8788", "amber-fox-1") + bad);
    EXPECT_EQ(info.host(), "127.0.0.1:8788");
    EXPECT_EQ(info.code(), "");
  }
}

TEST(PairingCardReading, EachLabelFallsBackOnItsOwn) {
  const PairingInfo onlyCode = parse("  |  Pairing code  amber-fox-1  |\n");
  EXPECT_EQ(onlyCode.host(), "127.0.0.1:8788");
  EXPECT_EQ(onlyCode.code(), "amber-fox-1");

  const PairingInfo onlyHost = parse("  |  Computer      10.0.0.2:8788  |\n");
  EXPECT_EQ(onlyHost.host(), "10.0.0.2:8788");
  EXPECT_EQ(onlyHost.code(), "");
}

TEST(PairingCardReading, LabelMustBeFollowedByWhiteSpace) {
  EXPECT_EQ(parse("Computer:10.0.0.2:8788\n").host(), "127.0.0.1:8788");
  EXPECT_EQ(parse("Pairing code:amber\n").code(), "");
}

TEST(PairingCardReading, LabelMayEndAWord) {
  EXPECT_EQ(parse("MyComputer 10.0.0.3:1\n").host(), "10.0.0.3:1");
}

TEST(PairingCardReading, BoxDrawingBarEndsTheValueButAsciiBarDoesNot) {
  const PairingInfo boxed = parse("Computer  10.0.0.2:8788\u2502\nPairing code  amber-fox\u2502\n");
  EXPECT_EQ(boxed.host(), "10.0.0.2:8788");
  EXPECT_EQ(boxed.code(), "amber-fox");

  const PairingInfo ascii = parse("Computer  10.0.0.2:8788|\nPairing code  amber-fox|\n");
  EXPECT_EQ(ascii.host(), "10.0.0.2:8788|");
  EXPECT_EQ(ascii.code(), "amber-fox|");
}

TEST(PairingCardReading, FirstComputerLineWins) {
  EXPECT_EQ(parse("Computer  10.0.0.1:1\nComputer  10.0.0.2:2\n").host(), "10.0.0.1:1");
}

TEST(PairingCardReading, LabelAtEndOfLineTakesTheNextLinesValue) {
  const PairingInfo info = parse("Computer\n   10.0.0.9:8788  more\nPairing code\r\n\tamber\n");
  EXPECT_EQ(info.host(), "10.0.0.9:8788");
  EXPECT_EQ(info.code(), "amber");
}

TEST(PairingCardReading, UnicodeWhiteSpaceSeparatesLikeSpaces) {
  // No-break space and em space after the label; ideographic space and line separator end it.
  const PairingInfo info =
      parse("Computer\u00a0\u2003192.168.0.4:1\u3000x\nPairing code\u2028amber\u2029fox\n");
  EXPECT_EQ(info.host(), "192.168.0.4:1");
  EXPECT_EQ(info.code(), "amber");
}

TEST(PairingLink, AddressWithPortAndCodePassUnchanged) {
  EXPECT_EQ(PairingInfo("192.168.1.20:8788", "amber-fox-river-123456").url(),
            "orvane://pair?host=192.168.1.20:8788&code=amber-fox-river-123456");
}

TEST(PairingLink, HostOutsideTheQueryAllowedSetIsPercentEncoded) {
  EXPECT_EQ(PairingInfo("h%st \u00e9#[]\"<>", "c").url(),
            "orvane://pair?host=h%25st%20%C3%A9%23%5B%5D%22%3C%3E&code=c");
  EXPECT_EQ(PairingInfo("aZ09-._~!$&'()*+,;=:@/?", "c").url(),
            "orvane://pair?host=aZ09-._~!$&'()*+,;=:@/?&code=c");
}

TEST(PairingLink, CodeIsCopiedWithoutEncoding) {
  EXPECT_EQ(PairingInfo("h:1", "\u00e9%& #").url(), "orvane://pair?host=h:1&code=\u00e9%& #");
}

TEST(PairingLink, FallbackPairingEndsInAnEmptyCode) {
  EXPECT_EQ(PairingInfo("127.0.0.1:8788", "").url(), "orvane://pair?host=127.0.0.1:8788&code=");
}

// A resources directory holding a fake bridge that prints a different card for each flag.
class PairingLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(root_.path() / "card-pairing", bridgeCard("10.1.1.1:8788", "amber-fox-1"));
    test::writeFile(root_.path() / "card-rotate", bridgeCard("10.2.2.2:8788", "cedar-owl-2"));
    std::filesystem::create_directory(resources());
  }

  std::filesystem::path resources() const { return root_.path() / "resources"; }
  void installFake(const std::filesystem::path& executable) {
    test::FakeBridge{root_.path() / "card-pairing", root_.path() / "card-rotate"}.writeTo(
        executable, events_, root_.path() / "control");
  }
  PairingInfo load(bool rotating) { return PairingInfo::load(test::qPath(resources()), rotating); }

  test::TemporaryDirectory root_;
  test::EventChannel events_{root_.path() / "events"};
};

TEST_F(PairingLoad, CardRunPassesExactlyThePairingFlag) {
  installFake(resources() / "OrvaneBridge");
  const PairingInfo info = load(false);
  EXPECT_EQ(info.host(), "10.1.1.1:8788");
  EXPECT_EQ(info.code(), "amber-fox-1");
  EXPECT_EQ(events_.drain(), std::vector<std::string>{"args 1 [--pairing]"});
}

TEST_F(PairingLoad, RotatingCardRunPassesExactlyTheRotateFlag) {
  installFake(resources() / "OrvaneBridge");
  const PairingInfo info = load(true);
  EXPECT_EQ(info.host(), "10.2.2.2:8788");
  EXPECT_EQ(info.code(), "cedar-owl-2");
  EXPECT_EQ(events_.drain(), std::vector<std::string>{"args 1 [--rotate-pairing]"});
}

TEST_F(PairingLoad, ResourceThatIsADirectoryRunsTheBridgeInsideIt) {
  std::filesystem::create_directory(resources() / "OrvaneBridge");
  installFake(resources() / "OrvaneBridge" / "OrvaneBridge");
  EXPECT_EQ(load(false).code(), "amber-fox-1");
}

TEST_F(PairingLoad, MissingOrUnusableBridgeGivesTheFallbacks) {
  const auto expectFallbacks = [this] {
    const PairingInfo info = load(false);
    EXPECT_EQ(info.host(), "127.0.0.1:8788");
    EXPECT_EQ(info.code(), "");
  };
  expectFallbacks();  // no resource at all

  std::filesystem::create_directory(resources() / "OrvaneBridge");
  expectFallbacks();  // a directory without the executable

  std::filesystem::remove(resources() / "OrvaneBridge");
  test::writeFile(resources() / "OrvaneBridge", "not a program\n");
  expectFallbacks();  // a file that cannot be run
  EXPECT_TRUE(events_.drain().empty());
}

TEST(BridgeLookup, FollowsTheResourceRule) {
  test::TemporaryDirectory root;
  const QString dir = test::qPath(root.path());
  EXPECT_EQ(locateBridge(dir), std::nullopt);

  std::filesystem::create_directory(root.path() / "OrvaneBridge");
  // The inner entry is not checked: its absence shows only as a failed launch.
  EXPECT_EQ(locateBridge(dir), dir + "/OrvaneBridge/OrvaneBridge");

  std::filesystem::remove(root.path() / "OrvaneBridge");
  test::writeFile(root.path() / "OrvaneBridge", "");
  EXPECT_EQ(locateBridge(dir), dir + "/OrvaneBridge");
}

}  // namespace
}  // namespace orvane
