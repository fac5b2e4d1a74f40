// The history only grows by whole batches: an append that does not land completely is cut
// back to the length the file had before it, and a partial last line left by a process killed
// in the middle of an append is cut off before the first append to the file, so every line we
// add follows a line feed; a damaged line in the middle is never touched. An existing history
// file is never replaced, only a missing one is created (flushed, with its directory entry).
// Every failure is dropped here: the engine's memory is what counts, and the caller has
// nobody to tell.
#include "HistoryFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

namespace orvane {

namespace {

// A failed cut leaves the file as it was; there is nothing better to do with the error.
void truncateTo(int fd, off_t size) {
  [[maybe_unused]] const int ignored = ::ftruncate(fd, size);
}

// Cuts a partial last line back to the last line feed (or to nothing when there is none).
// Reads backwards from the end only as far as that line feed.
void cutTornTail(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  const OpenFile open(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
    return;
  char chunk[65536];
  off_t end = info.st_size;
  while (end > 0) {
    const off_t start = end - std::min<off_t>(end, static_cast<off_t>(sizeof chunk));
    const auto length = static_cast<std::size_t>(end - start);
    if (::pread(fd, chunk, length, start) != static_cast<ssize_t>(length))
      return;
    for (std::size_t i = length; i > 0; --i) {
      if (chunk[i - 1] != '\n')
        continue;
      const off_t keep = start + static_cast<off_t>(i);
      if (keep != info.st_size)
        truncateTo(fd, keep);
      return;
    }
    end = start;
  }
  truncateTo(fd, 0);
}

}  // namespace

std::shared_ptr<const OpenFile> HistoryFile::append(const std::filesystem::path& file,
                                                    std::string_view lines) {
  if (file != checked_) {
    cutTornTail(file);
    checked_ = file;
  }
  // No O_CREAT: only a missing file may be created, and then atomically with the whole batch.
  // O_NONBLOCK changes nothing for a regular file but keeps a FIFO in its place from
  // blocking the engine forever.
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      try {
        writeFileAtomically(file, lines, 0666, Durability::flushed);
      } catch (const std::exception&) {
      }
    }
    return nullptr;
  }
  auto open = std::make_shared<const OpenFile>(fd);
  struct stat before {};
  if (::fstat(fd, &before) != 0)
    return nullptr;
  ssize_t written = -1;
  do {
    written = ::write(fd, lines.data(), lines.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(lines.size())) {
    // A disk that filled up or a file-size limit leaves part of the batch: take it back.
    truncateTo(fd, before.st_size);
    return nullptr;
  }
  return open;
}

}  // namespace orvane
