// Fixtures shared by the tests: a private data directory per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "DataDirectory.hpp"
#include "Files.hpp"

namespace orvane::test {

// A fresh directory under the system's temporary directory, removed with its contents (made
// writable first) at the end of the test.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A data directory "data", created, in a temporary directory, and ORVANE_DIR pointing at it
// (for the app); ORVANE_DIR and HOME are put back as they were afterwards.
class DataDirTest : public ::testing::Test {
 protected:
  DataDirTest() {
    for (auto& [name, value] : saved_) {
      if (const char* old = std::getenv(name))
        value = old;
    }
    dir.ensure();
    ::setenv("ORVANE_DIR", dir.path().c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name, value->c_str(), 1);
      else
        ::unsetenv(name);
    }
  }

  const std::filesystem::path& dataPath() const { return dir.path(); }
  const std::filesystem::path& rootPath() const { return root_.path(); }

  static unsigned permissionsOf(const std::filesystem::path& p) {
    struct stat info {};
    return ::stat(p.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }
  static void writeText(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string readText(const std::filesystem::path& p) {
    return readWholeFile(p).value_or("<missing>");
  }

 private:
  TemporaryDirectory root_;

 protected:
  DataDirectory dir{root_.path() / "data"};

 private:
  std::pair<const char*, std::optional<std::string>> saved_[2] = {{"ORVANE_DIR", {}}, {"HOME", {}}};
};

}  // namespace orvane::test
