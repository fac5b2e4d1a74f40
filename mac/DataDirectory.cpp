#include "DataDirectory.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "Files.hpp"
#include "Text.hpp"

namespace orvane {

namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result != nullptr && result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/";
}

}  // namespace

DataDirectory DataDirectory::fromEnvironment() {
  if (const char* dir = std::getenv("ORVANE_DIR"); dir != nullptr && *dir != '\0')
    return DataDirectory(dir);
  return DataDirectory(homeDirectory() / ".orvane");
}

void DataDirectory::ensure() const {
  const std::filesystem::path& dir = path_;
  // Walk from the top so that every directory we make gets 0700, not just the last one.
  std::filesystem::path prefix;
  for (const auto& element : dir) {
    prefix /= element;
    if (element.empty() || element == "/" || element == "." || element == "..")
      continue;
    if (::mkdir(prefix.c_str(), 0700) == 0) {
      ::chmod(prefix.c_str(), 0700);
      // A new directory's name is durable only once its parent is flushed: without this a
      // power cut could take the directory away with every batch acknowledged in it.
      flushDirectory(prefix.parent_path());
      continue;
    }
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
      continue;
    throw std::system_error(error == EEXIST ? ENOTDIR : error, std::generic_category(),
                            "Cannot create data directory " + dir.string());
  }
}

bool DataDirectory::loadOrvaned() const {
  const auto content = readWholeFile(orvanedFile());
  if (!content || !isValidUtf8(*content))
    return true;
  return trimWhitespace(*content, true) != "0";
}

void DataDirectory::writeOrvaned(bool enabled) const {
  try {
    writeFileAtomically(orvanedFile(), enabled ? "1\n" : "0\n", 0666, Durability::flushed);
  } catch (const std::system_error&) {
    // Dropped on purpose: see the header.
  }
}

}  // namespace orvane
