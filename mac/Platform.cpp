// Every Linux-only or macOS-only call of the bridge lives here, behind a guard, with the POSIX
// call that does the same job elsewhere.
#include "Platform.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace orvane {

namespace {

[[noreturn]] void throwRandomError(int error) {
  throw std::system_error(error, std::generic_category(), "Cannot read the secure random source");
}

}  // namespace

void secureRandomBytes(unsigned char* buffer, std::size_t size) {
#if defined(__linux__)
  while (size > 0) {
    const ssize_t n = ::getrandom(buffer, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throwRandomError(errno);
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
#else
  // getentropy hands out at most 256 bytes a call.
  while (size > 0) {
    const std::size_t chunk = std::min<std::size_t>(size, 256);
    if (::getentropy(buffer, chunk) != 0)
      throwRandomError(errno);
    buffer += chunk;
    size -= chunk;
  }
#endif
}

int flushFileData(int fd) {
#if defined(F_FULLFSYNC)
  // fsync on macOS leaves the data in the drive's volatile cache.
  if (::fcntl(fd, F_FULLFSYNC) == 0)
    return 0;
  return ::fsync(fd);
#elif defined(__linux__)
  return ::fdatasync(fd);
#else
  return ::fsync(fd);
#endif
}

int flushWholeFile(int fd) {
#if defined(F_FULLFSYNC)
  if (::fcntl(fd, F_FULLFSYNC) == 0)
    return 0;
#endif
  return ::fsync(fd);
}

}  // namespace orvane
