// The settings library: port rule, text helpers, data directory and files, pairing code and card.

#include <regex>
#include <set>
#include <system_error>

#include "DataDirectory.hpp"
#include "PairingCard.hpp"
#include "PairingCode.hpp"
#include "Settings.hpp"
#include "TestSupport.hpp"
#include "Text.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;

TEST(Settings, PortTextIsDigitsWithAnOptionalPlusUpTo65535) {
  EXPECT_EQ(parsePort("+0009000"), 9000);
  EXPECT_EQ(parsePort("000000000000000000000065535"), 65535);
  for (const char* bad : {"", "+", "65536", "++1", "-1", " 8788", "87a8"})
    EXPECT_FALSE(parsePort(bad).has_value()) << '"' << bad << '"';
}

TEST(Text, Utf8ValidationAtTheEndsOfEachRange) {
  EXPECT_TRUE(
      isValidUtf8("a\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
                  "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  for (const char* bad :
       {"\xC3", "\xE2\x82", "\xC3(", "\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
}

TEST(Text, TrimRemovesUnicodeSpaceAndOptionallyLineBreaks) {
  // Every space separator (at the ends of ranges) and the tab, every line break; not U+200B.
  const std::string spaces =
      " \t\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
  const std::string breaks = "\n\v\f\r\xC2\x85\xE2\x80\xA8\xE2\x80\xA9";
  const std::string text = "\xC3\xA9 b\xE2\x80\x8B";
  EXPECT_EQ(trimWhitespace(spaces + text + spaces, false), text);
  EXPECT_EQ(trimWhitespace(breaks + spaces + text + breaks + spaces, true), text);
  EXPECT_EQ(trimWhitespace(breaks + text + breaks, false), breaks + text + breaks);
  EXPECT_EQ(trimWhitespace("", true), "");
}

using DataDirectoryTest = test::DataDirTest;

TEST_F(DataDirectoryTest, ComesFromTheEnvironment) {
  ::setenv("ORVANE_DIR", "~/x", 1);
  EXPECT_EQ(DataDirectory::fromEnvironment().stateFile(), fs::path("~/x/state.json"));
  ::setenv("ORVANE_DIR", "", 1);
  ::setenv("HOME", "/elsewhere", 1);
  EXPECT_EQ(DataDirectory::fromEnvironment().historyFile(),
            fs::path("/elsewhere/.orvane/history.jsonl"));
}

TEST_F(DataDirectoryTest, CreatesMissingParentsOwnerOnlyAndLeavesExistingOnesAlone) {
  fs::permissions(dataPath(), fs::perms(0755));
  DataDirectory(dataPath() / "a" / "b").ensure();
  EXPECT_EQ(permissionsOf(dataPath()), 0755u);
  EXPECT_EQ(permissionsOf(dataPath() / "a"), 0700u);
  EXPECT_EQ(permissionsOf(dataPath() / "a" / "b"), 0700u);
}

// The rest of writing a file atomically is held by the token tests and the real program's full
// disk; a rename that fails must take its temporary file along too.
TEST_F(DataDirectoryTest, FailedReplacementLeavesNothingBehind) {
  fs::create_directories(dataPath() / "blocked" / "inner");
  EXPECT_THROW(writeFileAtomically(dataPath() / "blocked", "x"), std::system_error);
  EXPECT_EQ(std::distance(fs::directory_iterator(dataPath()), fs::directory_iterator()), 1);
}

TEST_F(DataDirectoryTest, OrvanedFlagIsOnUnlessTheFileHoldsALoneZero) {
  EXPECT_TRUE(dir.loadOrvaned());  // absent
  writeText(dir.orvanedFile(), "  0 \r\n");
  EXPECT_FALSE(dir.loadOrvaned());
  for (const char* content : {"00\n", "0\n0\n", "\xFF\x30"}) {
    writeText(dir.orvanedFile(), content);
    EXPECT_TRUE(dir.loadOrvaned()) << content;
  }
  dir.writeOrvaned(false);
  EXPECT_EQ(readText(dir.orvanedFile()), "0\n");
  EXPECT_NO_THROW(DataDirectory(rootPath() / "missing").writeOrvaned(false));
}

class PairingCode : public test::DataDirTest {
 protected:
  // Three distinct words and six digits without a leading zero; the words go into `seen`.
  void expectWellFormed(const std::string& code) {
    static const std::regex shape("([a-z]+)-([a-z]+)-([a-z]+)-[1-9][0-9]{5}");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(code, match, shape)) << code;
    const std::set<std::string> picked{match[1], match[2], match[3]};
    EXPECT_EQ(picked.size(), 3u) << code;
    seen.insert(picked.begin(), picked.end());
  }
  std::set<std::string> seen;
};

TEST_F(PairingCode, RotationsDrawDistinctCodesFromTheWholeTableIntoAnOwnerOnlyFile) {
  const mode_t previousMask = ::umask(0277);  // takes the owner's write bit from new files
  std::set<std::string> codes;
  for (int i = 0; i < 100; ++i) {
    const std::string code = rotateToken(dir);
    expectWellFormed(code);
    ASSERT_EQ(readText(dir.tokenFile()), code + "\n");
    codes.insert(code);
  }
  ::umask(previousMask);
  EXPECT_EQ(permissionsOf(dir.tokenFile()), 0600u);
  EXPECT_EQ(codes.size(), 100u);
  EXPECT_EQ(seen.size(), 20u);
}

TEST_F(PairingCode, StoredTextWithFourPiecesIsKeptAndTheFileLeftAloneElseANewCodeIsStored) {
  // Each case: the stored text, and the code kept from it ("": a new one replaces it).
  std::vector<std::pair<std::string, std::string>> cases = {
      {"\n \t river-cloud-maple-482913\r\n\n", "river-cloud-maple-482913"},
      {"-Alpha--BETA-c d-4-\n", "-Alpha--BETA-c d-4-"}};
  for (const char* replaced : {"", "\n\n", "calm-leaf-123456", "a--b--c-", "a-b-c-1\xff"})
    cases.emplace_back(replaced, "");
  for (const auto& [stored, kept] : cases) {
    writeText(dir.tokenFile(), stored);
    fs::permissions(dir.tokenFile(), fs::perms(0644));
    const std::string code = loadOrCreateToken(dir);
    if (kept.empty())
      expectWellFormed(code);
    else
      EXPECT_EQ(code, kept);
    EXPECT_EQ(readText(dir.tokenFile()), kept.empty() ? code + "\n" : stored);
    EXPECT_EQ(permissionsOf(dir.tokenFile()), kept.empty() ? 0600u : 0644u);
  }
}

TEST(PairingCard, WidthFollowsTheLongerValueInGraphemeClusters) {
  // Code, host, width, then the spaces left of the title and after each value.
  using Case = std::tuple<std::string, std::string, int, int, int, int>;
  for (const auto& [code, host, width, titleLeft, hostSpaces, codeSpaces] :
       {Case{"a-b-c-d", "10.0.0.2:80", 38, 9, 11, 15},
        Case{"", "255.255.255.255:65535", 39, 10, 2, 23},
        Case{"cafe\u0301-the\u0301-cre\u0300me-\U0001F1EB\U0001F1F7\xff", "1:8", 38, 9, 19, 5}}) {
    const std::string rule = "  +" + std::string(width, '-') + "+\n";
    EXPECT_EQ(pairingCard(code, host),
              "\n" + rule + "  |" + std::string(titleLeft, ' ') + "Orvane pairing card" +
                  std::string(width - titleLeft - 19, ' ') + "|\n" + rule + "  |  Computer      " +
                  host + std::string(hostSpaces, ' ') + "|\n" + "  |  Pairing code  " + code +
                  std::string(codeSpaces, ' ') + "|\n" + rule +
                  "  Enter both in the Orvane iPhone app.\n\n");
  }
}

}  // namespace
}  // namespace orvane
