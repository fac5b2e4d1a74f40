// Group flushing of the history file. Invariants, under `mutex_`:
// - `flushed_ <= written_`; every ticket up to `flushed_` is on stable storage (or its flush
//   failed).
// - At most one caller flushes at a time (`flushing_`); it flushes the files that were pending
//   when it began, so its flush covers every ticket handed out before then, and it publishes
//   that ticket as flushed. Callers with later tickets wait for it and then flush again
//   together, so a burst of batches costs two flushes, not one each.
// - `pending_` holds each file at most once: a flush of any descriptor of a file covers the
//   data written through all of them.
#include "HistoryFlusher.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace orvane {

namespace {

bool sameFile(int a, int b) {
  struct stat first {};
  struct stat second {};
  return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace

int flushFileData(int fd) {
#ifdef F_FULLFSYNC
  // fsync on macOS leaves the data in the drive's volatile cache.
  if (::fcntl(fd, F_FULLFSYNC) == 0)
    return 0;
  return ::fsync(fd);
#else
  return ::fdatasync(fd);
#endif
}

OpenFile::~OpenFile() {
  ::close(fd_);
}

HistoryFlusher::HistoryFlusher(Flush flush) : flush_(std::move(flush)) {}

std::uint64_t HistoryFlusher::written(std::shared_ptr<const OpenFile> file) {
  const std::lock_guard lock(mutex_);
  bool known = false;
  for (const auto& pending : pending_)
    known = known || sameFile(pending->fd(), file->fd());
  if (!known)
    pending_.push_back(std::move(file));
  return ++written_;
}

void HistoryFlusher::waitFlushed(std::uint64_t ticket) {
  std::unique_lock lock(mutex_);
  while (flushed_ < ticket) {
    if (flushing_) {
      flushedChanged_.wait(lock);
      continue;
    }
    flushing_ = true;
    const std::uint64_t covered = written_;
    std::vector<std::shared_ptr<const OpenFile>> files;
    files.swap(pending_);
    lock.unlock();
    for (const auto& file : files)
      flush_(file->fd());
    files.clear();
    lock.lock();
    flushing_ = false;
    flushed_ = covered;
    flushedChanged_.notify_all();
  }
}

}  // namespace orvane
