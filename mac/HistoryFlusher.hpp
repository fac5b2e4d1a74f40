// Makes appended history lines, and the state document that replaces the previous one, durable
// without holding the engine behind the disk: writers register what they wrote, and one flush
// covers every batch registered before it started.
// Callers that must not block (the server's event loop) are called back instead of waiting.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Files.hpp"
#include "Platform.hpp"

namespace orvane {

class HistoryFlusher {
 public:
  using Flush = std::function<int(int fd)>;
  // Runs a job on a thread that may block on the disk.
  using Runner = std::function<void(std::function<void()> job)>;

  explicit HistoryFlusher(Flush flush = flushFileData);

  HistoryFlusher(const HistoryFlusher&) = delete;
  HistoryFlusher& operator=(const HistoryFlusher&) = delete;

  // Notes that bytes were written through `file`, and returns the ticket that whenFlushed
  // takes. Callers register in the order they wrote.
  std::uint64_t written(std::shared_ptr<const OpenFile> file);

  // Notes a new content for `target`, written aside to `temporary` and still open as `file`,
  // and returns a ticket like written's. The flush that covers it makes its data durable and
  // only then renames it over `target`, so that a power cut leaves the old content or the new
  // one, never an empty file. Only the newest content is renamed: one that a newer replaced
  // before its flush began is removed unseen.
  std::uint64_t replaced(std::shared_ptr<const OpenFile> file, std::filesystem::path temporary,
                         std::filesystem::path target);

  // Calls `done` once everything registered up to `ticket` has been flushed: at once when it
  // already is, otherwise on the thread that completes the flush. When no flush is under way,
  // one is started through `run`. A failed flush is not retried: the caller has nobody to tell.
  void whenFlushed(std::uint64_t ticket, std::function<void()> done, const Runner& run);

 private:
  struct Waiter {
    std::uint64_t ticket;
    std::function<void()> done;
  };
  struct Replacement {
    std::shared_ptr<const OpenFile> file;
    std::filesystem::path temporary;
    std::filesystem::path target;
  };

  // Flushes, round after round, until no caller waits.
  void flushWhileWaited();

  const Flush flush_;
  std::mutex mutex_;
  std::uint64_t written_ = 0;
  std::uint64_t flushed_ = 0;
  bool flushing_ = false;
  // Files written since the last flush began, one per distinct file.
  std::vector<std::shared_ptr<const OpenFile>> pending_;
  std::vector<Waiter> waiters_;
  // The newest replacement registered since the last flush began.
  std::optional<Replacement> replacement_;
};

}  // namespace orvane
