// Whole-file reads and atomic whole-file replacement, the two ways the bridge touches its
// small files, and an owned descriptor for the one file it appends to.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

enum class Durability { rename, flushed };

// A new file beside `file`, created with `mode` (before the umask) and holding `bytes`, still
// open: for a caller that makes it durable and renames it over `file` later. Throws
// std::system_error; on failure nothing is left behind.
struct AsideFile {
  int fd;
  std::filesystem::path name;
};
AsideFile writeAside(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

// Writes bytes to a new file beside `file`, created with `mode` (before the umask) so that
// it is never readable more widely than asked, then renames it over `file`: a reader sees
// the old or the new content, never a part. With Durability::flushed the new file's data
// and the directory entry are on stable storage when this returns. Throws std::system_error;
// on failure the old file is left as it was.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         mode_t mode = 0666, Durability durability = Durability::rename);

// An open file descriptor, closed when the last owner lets go.
class OpenFile {
 public:
  explicit OpenFile(int fd) : fd_(fd) {}
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Flushes a directory's entries (a rename or a creation inside it) to stable storage.
// Errors are ignored: the caller has nothing better to do than carry on.
void flushDirectory(const std::filesystem::path& directory);

}  // namespace orvane
