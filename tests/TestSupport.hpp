// Fixtures shared by the tests: a private data directory per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

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
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Points ORVANE_DIR at a subdirectory "data" of a temporary directory (not yet created) and
// restores the previous value afterwards.
class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("ORVANE_DIR"))
      saved_ = old;
    dir_ = root_.path() / "data";
    ::setenv("ORVANE_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_)
      ::setenv("ORVANE_DIR", saved_->c_str(), 1);
    else
      ::unsetenv("ORVANE_DIR");
  }

  const std::filesystem::path& dataPath() const { return dir_; }
  const std::filesystem::path& rootPath() const { return root_.path(); }

  static unsigned permissionsOf(const std::filesystem::path& p) {
    struct stat info {};
    if (::stat(p.c_str(), &info) != 0)
      return 0;
    return info.st_mode & 07777;
  }

 private:
  TemporaryDirectory root_;
  std::filesystem::path dir_;
  std::optional<std::string> saved_;
};

}  // namespace orvane::test
