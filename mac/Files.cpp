#include "Files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

#include "Platform.hpp"

namespace orvane {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0)
      break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

AsideFile writeAside(const std::filesystem::path& file, std::string_view bytes, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  // A name of our own beside the target; O_EXCL makes a clash with another writer an error
  // we retry rather than a shared file.
  std::filesystem::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    std::string name = file.filename().string();
    name.append(".").append(std::to_string(::getpid()));
    name.append(".").append(std::to_string(counter++)).append(".tmp");
    temporary = file.parent_path() / name;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd < 0)
    throwErrno("Cannot create " + temporary.string());
  if (!writeAll(fd, bytes)) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    errno = error;
    throwErrno("Cannot write " + file.string());
  }
  return {fd, temporary};
}

void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode,
                         Durability durability) {
  const auto [fd, temporary] = writeAside(file, bytes, mode);
  bool ok = durability == Durability::rename || flushWholeFile(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    errno = error;
    throwErrno("Cannot write " + file.string());
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    const int renameErrno = errno;
    ::unlink(temporary.c_str());
    errno = renameErrno;
    throwErrno("Cannot replace " + file.string());
  }
  if (durability == Durability::flushed)
    flushDirectory(file.parent_path());
}

OpenFile::~OpenFile() {
  ::close(fd_);
}

void flushDirectory(const std::filesystem::path& directory) {
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace orvane
