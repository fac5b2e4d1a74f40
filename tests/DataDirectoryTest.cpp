#include "DataDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "Files.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;

class DataDirectory : public test::DataDirTest {
 protected:
  static void writeText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string readText(const fs::path& p) { return readWholeFile(p).value_or("<none>"); }
  std::ptrdiff_t entries() const {
    return std::distance(fs::directory_iterator(dataPath()), fs::directory_iterator());
  }
};

TEST_F(DataDirectory, ComesFromTheEnvironmentOnEveryCall) {
  EXPECT_EQ(dataDir(), dataPath());
  EXPECT_EQ(stateFile(), dataPath() / "state.json");
  ::setenv("ORVANE_DIR", "relative/dir", 1);
  EXPECT_EQ(dataDir(), fs::path("relative/dir"));
  ::setenv("ORVANE_DIR", "~/x", 1);
  EXPECT_EQ(dataDir(), fs::path("~/x"));
  ::setenv("ORVANE_DIR", "", 1);
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(dataDir(), fs::path(home) / ".orvane");
  EXPECT_EQ(historyFile(), fs::path(home) / ".orvane" / "history.jsonl");
}

TEST_F(DataDirectory, CreatesMissingParentsOwnerOnlyAndLeavesExistingOnesAlone) {
  fs::create_directory(dataPath());
  fs::permissions(dataPath(), fs::perms(0755));
  const fs::path deep = dataPath() / "a" / "b";
  ::setenv("ORVANE_DIR", deep.c_str(), 1);
  ensureDataDir();
  EXPECT_EQ(permissionsOf(dataPath()), 0755u);
  EXPECT_EQ(permissionsOf(dataPath() / "a"), 0700u);
  EXPECT_EQ(permissionsOf(deep), 0700u);
  ensureDataDir();  // an existing directory is fine
}

TEST_F(DataDirectory, PlainFileInTheWayFails) {
  writeText(dataPath(), "not a directory");
  EXPECT_THROW(ensureDataDir(), std::system_error);
  ::setenv("ORVANE_DIR", (dataPath() / "below").c_str(), 1);
  EXPECT_THROW(ensureDataDir(), std::system_error);
}

TEST_F(DataDirectory, OrvanedFlagIsOnUnlessTheFileSaysZero) {
  ensureDataDir();
  EXPECT_TRUE(loadOrvaned());  // absent
  const std::pair<const char*, bool> cases[] = {
      {"0", false},
      {"0\n", false},
      {"  0 \r\n", false},
      {"1\n", true},
      {"00\n", true},
      {" \n", true},
      {"", true},
      {"off", true},
      {"0\n0\n", true},
      {"\xFF"
       "0",
       true},
  };
  for (const auto& [content, expected] : cases) {
    writeText(orvanedFile(), content);
    EXPECT_EQ(loadOrvaned(), expected) << '"' << content << '"';
  }
}

TEST_F(DataDirectory, WriteOrvanedReplacesTheFileAndDropsErrors) {
  ensureDataDir();
  writeOrvaned(false);
  EXPECT_EQ(readText(orvanedFile()), "0\n");
  EXPECT_FALSE(loadOrvaned());
  writeOrvaned(true);
  EXPECT_EQ(readText(orvanedFile()), "1\n");
  EXPECT_EQ(entries(), 1);  // no temporary file stays behind

  ::setenv("ORVANE_DIR", (rootPath() / "missing").c_str(), 1);
  EXPECT_NO_THROW(writeOrvaned(false));
}

TEST_F(DataDirectory, AtomicWriteKeepsTheOldFileOnFailureAndHonoursTheMode) {
  ensureDataDir();
  const fs::path file = dataPath() / "token";
  writeFileAtomically(file, "secret\n", 0600);
  EXPECT_EQ(permissionsOf(file), 0600u);
  EXPECT_EQ(readText(file), "secret\n");

  // A directory where the file should be makes the rename fail; nothing else changes.
  const fs::path blocked = dataPath() / "blocked";
  fs::create_directories(blocked / "inner");
  EXPECT_THROW(writeFileAtomically(blocked, "x"), std::system_error);
  EXPECT_TRUE(fs::is_directory(blocked / "inner"));
  EXPECT_EQ(entries(), 2);
}

}  // namespace
}  // namespace orvane
