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
// - `replacement_` is the newest content written aside since the last round began; a round
//   flushes it after the files and renames it into place before it calls anyone back, so a
//   waiter's answer follows the rename of its own content or of a newer one. Rounds run one at
//   a time and each takes the newest replacement, so renames keep the order of the changes.
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

std::uint64_t HistoryFlusher::replaced(std::shared_ptr<const OpenFile> file,
                                       std::filesystem::path temporary,
                                       std::filesystem::path target) {
  const std::lock_guard lock(mutex_);
  if (replacement_)
    ::unlink(replacement_->temporary.c_str());
  replacement_ = Replacement{std::move(file), std::move(temporary), std::move(target)};
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
    std::optional<Replacement> replacement = std::exchange(replacement_, std::nullopt);
    lock.unlock();
    for (const auto& file : files)
      flush_(file->fd());
    files.clear();
    // A replacement that cannot be made durable is dropped: the old content stays.
    if (replacement && flushFileData(replacement->file->fd()) == 0 &&
        ::rename(replacement->temporary.c_str(), replacement->target.c_str()) == 0)
      replacement.reset();
    if (replacement)
      ::unlink(replacement->temporary.c_str());
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
