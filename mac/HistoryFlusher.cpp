// Group flushing of the history file. Invariants, under `mutex_`:
// - `flushed_ <= written_`; every ticket up to `flushed_` is on stable storage (or its flush
//   failed).
// - At most one flush runs at a time (`flushing_`); it flushes the files that were pending
//   when it began, so it covers every ticket handed out before then, publishes that ticket as
//   flushed and calls back the waiters it covered. Waiters that came meanwhile are served
//   together by one more round, so a burst of batches costs two flushes, not one each.
// - `flushing_` is set exactly while waiters_ is non-empty or a round is running, so no waiter
//   is left without a flush to come.
// - `pending_` holds each file at most once: a flush of any descriptor of a file covers the
//   data written through all of them.
#include "HistoryFlusher.hpp"

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

void HistoryFlusher::whenFlushed(std::uint64_t ticket, std::function<void()> done,
                                 const Runner& run) {
  std::unique_lock lock(mutex_);
  if (flushed_ >= ticket) {
    lock.unlock();
    return done();
  }
  waiters_.push_back({ticket, std::move(done)});
  if (std::exchange(flushing_, true))
    return;
  lock.unlock();
  run([this] { flushWhileWaited(); });
}

void HistoryFlusher::flushWhileWaited() {
  std::unique_lock lock(mutex_);
  while (!waiters_.empty()) {
    // Every waiter's ticket was handed out before now, so this round covers all of them;
    // those that come while it runs are served by the next.
    const std::uint64_t covered = written_;
    std::vector<std::shared_ptr<const OpenFile>> files;
    files.swap(pending_);
    std::vector<Waiter> served;
    served.swap(waiters_);
    lock.unlock();
    for (const auto& file : files)
      flush_(file->fd());
    files.clear();
    lock.lock();
    flushed_ = covered;
    lock.unlock();
    for (Waiter& waiter : served)
      waiter.done();
    lock.lock();
  }
  flushing_ = false;
}

}  // namespace orvane
