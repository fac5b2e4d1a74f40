#include "PairingCode.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
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

// Three distinct table words and six digits without a leading zero; returns the three words.
std::vector<std::string> expectWellFormed(const std::string& code) {
  static const std::regex shape("([a-z]+)-([a-z]+)-([a-z]+)-[1-9][0-9]{5}");
  std::smatch match;
  if (!std::regex_match(code, match, shape)) {
    ADD_FAILURE() << code;
    return {};
  }
  std::vector<std::string> picked{match[1], match[2], match[3]};
  for (const auto& word : picked)
    EXPECT_NE(std::find(words().begin(), words().end(), word), words().end()) << code;
  EXPECT_EQ(std::set<std::string>(picked.begin(), picked.end()).size(), 3u) << code;
  return picked;
}

// Sets the process umask for one scope and puts the old one back.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

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
};

TEST(WordTable, HoldsTwentyDistinctLowerCaseWordsOfTheAgreedLengths) {
  const auto& table = words();
  ASSERT_EQ(table.size(), 20u);
  EXPECT_EQ(std::set<std::string>(table.begin(), table.end()).size(), 20u);
  int byLength[7] = {};
  std::string joined;
  for (const auto& word : table) {
    ASSERT_TRUE(std::regex_match(word, std::regex("[a-z]{4,6}"))) << word;
    ++byLength[word.size()];
    joined += (joined.empty() ? "" : " ") + word;
  }
  EXPECT_EQ(byLength[4], 8);
  EXPECT_EQ(byLength[5], 11);
  EXPECT_EQ(byLength[6], 1);
  EXPECT_EQ(joined, wordTable);  // same words, same order, single spaces
}

TEST(SecureRandom, StaysBelowTheBoundAndReachesEveryValue) {
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(secureRandomBelow(1), 0u);
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 1000 && seen.size() < 3; ++i) {
    seen.insert(secureRandomBelow(3));
    ASSERT_LT(*seen.rbegin(), 3u);
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
  writeText(tokenFile(), "calm-leaf-moon-123456\n");
  std::set<std::string> wordsSeen;
  std::set<char> leadingDigits;
  std::set<std::string> codes{"calm-leaf-moon-123456"};
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
  EXPECT_EQ(codes.size(), 201u);  // the stored code was replaced, and no code came twice
}

TEST_F(PairingCode, NewTokenFileIsOwnerOnlyWhateverTheUmask) {
  {
    ScopedUmask permissive(0);
    const std::string code = loadOrCreateToken();
    expectWellFormed(code);
    EXPECT_EQ(readText(tokenFile()), code + "\n");
    EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
    EXPECT_EQ(loadOrCreateToken(), code);
  }
  ScopedUmask strict(0277);
  rotateToken();
  EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
}

TEST_F(PairingCode, AnyStoredTextWithFourPiecesIsKeptTrimmedAndTheFileLeftAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {"\n \t river-cloud-maple-482913\r\n\n  \n\n", "river-cloud-maple-482913"},
      {"Alpha-BETA-gamma-Delta\n", "Alpha-BETA-gamma-Delta"},
      {"one-two-three-4-5-6", "one-two-three-4-5-6"},
      {"-a--b-c-d-\n", "-a--b-c-d-"},
      {"x-y-z-1 with space\n", "x-y-z-1 with space"},
  };
  for (const auto& [stored, expected] : cases) {
    SCOPED_TRACE(stored);
    writeText(tokenFile(), stored);
    fs::permissions(tokenFile(), fs::perms(0644));
    struct stat before {};
    ASSERT_EQ(::stat(tokenFile().c_str(), &before), 0);

    EXPECT_EQ(loadOrCreateToken(), expected);
    EXPECT_EQ(readText(tokenFile()), stored);
    struct stat after {};
    ASSERT_EQ(::stat(tokenFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced by an identical copy either
    EXPECT_EQ(after.st_mode & 07777, 0644u);
  }
}

TEST_F(PairingCode, TooFewPiecesNoTextOrInvalidUtf8GetsANewOwnerOnlyCode) {
  for (const std::string text :
       {"calm-leaf-123456", "a--b--c", "", "\n\n", "----", "calm-leaf-moon-12345\xff\n"}) {
    SCOPED_TRACE(text);
    writeText(tokenFile(), text);
    fs::permissions(tokenFile(), fs::perms(0644));
    const std::string code = loadOrCreateToken();
    expectWellFormed(code);
    EXPECT_EQ(readText(tokenFile()), code + "\n");
    EXPECT_EQ(permissionsOf(tokenFile()), 0600u);
  }
}

TEST_F(PairingCode, FailedWriteThrowsAndLeavesWhatWasThere) {
  // A directory where the token file belongs: it can be neither read nor replaced.
  fs::create_directories(tokenFile() / "inside");
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
