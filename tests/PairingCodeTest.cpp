#include "PairingCode.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> splitAtHyphens(const std::string& code) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = code.find('-', start);
    pieces.push_back(code.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos)
      return pieces;
    start = end + 1;
  }
}

bool isTableWord(const std::string& word) {
  for (const auto& w : words()) {
    if (w == word)
      return true;
  }
  return false;
}

// Every property a freshly made code must have; returns the three words.
std::vector<std::string> expectWellFormed(const std::string& code) {
  EXPECT_GE(code.size(), 21u) << code;
  EXPECT_LE(code.size(), 25u) << code;
  for (char c : code) {
    EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') << code;
  }
  const auto pieces = splitAtHyphens(code);
  EXPECT_EQ(pieces.size(), 4u) << code;
  if (pieces.size() != 4)
    return {};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(isTableWord(pieces[i])) << code;
  }
  EXPECT_NE(pieces[0], pieces[1]) << code;
  EXPECT_NE(pieces[0], pieces[2]) << code;
  EXPECT_NE(pieces[1], pieces[2]) << code;
  EXPECT_EQ(pieces[3].size(), 6u) << code;
  EXPECT_NE(pieces[3].front(), '0') << code;
  return {pieces[0], pieces[1], pieces[2]};
}

class PairingCode : public test::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    ensureDataDir();
  }
  static void writeText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string readText(const fs::path& p) { return readWholeFile(p).value_or("<none>"); }
  static ino_t inodeOf(const fs::path& p) {
    struct stat info {};
    return ::stat(p.c_str(), &info) == 0 ? info.st_ino : 0;
  }
};

// Sets the process umask for one test and puts the old one back.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

TEST(WordTable, HoldsTwentyDistinctLowerCaseWordsOfTheAgreedLengths) {
  EXPECT_EQ(wordTable.size(), 112u);
  EXPECT_NE(wordTable.front(), ' ');
  EXPECT_NE(wordTable.back(), ' ');
  EXPECT_EQ(wordTable.find("  "), std::string_view::npos);

  const auto& table = words();
  ASSERT_EQ(table.size(), 20u);
  EXPECT_EQ(std::set<std::string>(table.begin(), table.end()).size(), 20u);
  int byLength[7] = {};
  std::string joined;
  for (const auto& word : table) {
    ASSERT_GE(word.size(), 4u) << word;
    ASSERT_LE(word.size(), 6u) << word;
    ++byLength[word.size()];
    for (char c : word) {
      EXPECT_TRUE(c >= 'a' && c <= 'z') << word;
    }
    joined += (joined.empty() ? "" : " ") + word;
  }
  EXPECT_EQ(byLength[4], 8);
  EXPECT_EQ(byLength[5], 11);
  EXPECT_EQ(byLength[6], 1);
  EXPECT_EQ(joined, wordTable);  // same words, same order
}

TEST(SecureRandom, StaysBelowTheBoundAndReachesEveryValue) {
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(secureRandomBelow(1), 0u);
  }
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 1000 && seen.size() < 3; ++i) {
    const auto value = secureRandomBelow(3);
    ASSERT_LT(value, 3u);
    seen.insert(value);
  }
  EXPECT_EQ(seen.size(), 3u);

  // Just above half the range: nearly half of all raw draws are rejected, and a modulo
  // without rejection would still stay below the bound, so check the top half is reached.
  const std::uint64_t big = (std::uint64_t{1} << 63) + 1;
  bool upperHalf = false;
  for (int i = 0; i < 200 && !upperHalf; ++i) {
    const auto value = secureRandomBelow(big);
    ASSERT_LT(value, big);
    upperHalf = value >= (std::uint64_t{1} << 62);
  }
  EXPECT_TRUE(upperHalf);
  EXPECT_THROW(secureRandomBelow(0), std::invalid_argument);
}

TEST_F(PairingCode, RotationsMakeWellFormedCodesFromTheWholeTable) {
  std::set<std::string> wordsSeen;
  std::set<char> leadingDigits;
  std::set<std::string> codes;
  for (int i = 0; i < 200; ++i) {
    const std::string code = rotateToken();
    for (const auto& w : expectWellFormed(code))
      wordsSeen.insert(w);
    leadingDigits.insert(code[code.size() - 6]);
    codes.insert(code);
    ASSERT_EQ(readText(tokenFile()), code + "\n");
  }
  // Drawing from a pool that does not shrink properly, or from part of it, shows up here.
  EXPECT_EQ(wordsSeen.size(), 20u);
  EXPECT_EQ(leadingDigits.size(), 9u);
  EXPECT_EQ(codes.size(), 200u);
}

TEST_F(PairingCode, TokenFileIsOwnerOnlyWhateverTheUmask) {
  {
    ScopedUmask permissive(0);
    const std::string code = rotateToken();
    EXPECT_EQ(readText(tokenFile()), code + "\n");
    EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
  }
  {
    ScopedUmask strict(0277);
    rotateToken();
    EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
  }
}

TEST_F(PairingCode, RotationReplacesAValidStoredCode) {
  writeText(tokenFile(), "calm-leaf-moon-123456\n");
  const std::string code = rotateToken();
  EXPECT_NE(code, "calm-leaf-moon-123456");
  EXPECT_EQ(readText(tokenFile()), code + "\n");
}

TEST_F(PairingCode, FirstLoadMakesAndStoresACode) {
  const std::string code = loadOrCreateToken();
  expectWellFormed(code);
  EXPECT_EQ(readText(tokenFile()), code + "\n");
  EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
  EXPECT_EQ(loadOrCreateToken(), code);
}

TEST_F(PairingCode, StoredCodeIsTrimmedAndTheFileLeftAlone) {
  const std::string stored = "\n \t river-cloud-maple-482913\r\n\n  \n\n";
  writeText(tokenFile(), stored);
  fs::permissions(tokenFile(), fs::perms(0644));
  const ino_t before = inodeOf(tokenFile());

  EXPECT_EQ(loadOrCreateToken(), "river-cloud-maple-482913");
  EXPECT_EQ(readText(tokenFile()), stored);
  EXPECT_EQ(inodeOf(tokenFile()), before);  // not replaced by an identical copy either
  EXPECT_EQ(permissionsOf(tokenFile()), 0644u);
}

TEST_F(PairingCode, AnyTextWithFourPiecesIsKeptAsItIs) {
  for (const std::string text :
       {"Alpha-BETA-gamma-Delta", "one-two-three-4-5-6", "-a--b-c-d-", "x-y-z-1 with space"}) {
    writeText(tokenFile(), text + "\n");
    EXPECT_EQ(loadOrCreateToken(), text);
    EXPECT_EQ(readText(tokenFile()), text + "\n");
  }
}

TEST_F(PairingCode, TooFewPiecesOrNoTextGetsANewOwnerOnlyCode) {
  for (const std::string text : {"calm-leaf-123456", "a--b--c", "", "\n\n", "----"}) {
    writeText(tokenFile(), text);
    fs::permissions(tokenFile(), fs::perms(0644));
    const std::string code = loadOrCreateToken();
    expectWellFormed(code);
    EXPECT_EQ(readText(tokenFile()), code + "\n") << '"' << text << '"';
    EXPECT_EQ(permissionsOf(tokenFile()), 0600u) << '"' << text << '"';
  }
}

TEST_F(PairingCode, InvalidUtf8GetsANewCode) {
  writeText(tokenFile(), "calm-leaf-moon-12345\xff\n");
  const std::string code = loadOrCreateToken();
  expectWellFormed(code);
  EXPECT_EQ(readText(tokenFile()), code + "\n");
}

TEST_F(PairingCode, FailedWriteThrowsAndLeavesWhatWasThere) {
  // A directory where the token file belongs: it can be neither read nor replaced.
  fs::create_directory(tokenFile());
  fs::create_directory(tokenFile() / "inside");
  EXPECT_THROW(rotateToken(), std::system_error);
  EXPECT_THROW(loadOrCreateToken(), std::system_error);
  EXPECT_TRUE(fs::is_directory(tokenFile() / "inside"));
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(dataPath()))
    left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{"token"});  // no temporary file stays behind
}

}  // namespace
}  // namespace orvane
