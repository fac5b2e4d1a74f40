// Limits online guessing of the pairing code: an address that keeps sending wrong codes is
// refused outright for a while, whatever code it sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvane {

struct GuessLimits {
  // Wrong codes from one address within `period` that lock it out.
  std::size_t failures = 10;
  // How long the window of failures is, and how long a locked address must go without a
  // refused request before it is served again.
  std::chrono::steady_clock::duration period = std::chrono::seconds(60);
  // Addresses remembered at most; the least recently seen is forgotten first.
  std::size_t addresses = 4096;
};

class GuessLimiter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  explicit GuessLimiter(GuessLimits limits = {}, Clock clock = std::chrono::steady_clock::now);

  GuessLimiter(const GuessLimiter&) = delete;
  GuessLimiter& operator=(const GuessLimiter&) = delete;

  // Whether a request from `peer` may go on: its credential matches and the peer is not
  // locked out. A locked-out peer is refused without calling `credentialMatches`, and the
  // refusal keeps it locked; a wrong credential is counted against the peer.
  bool admits(std::string_view peer, const std::function<bool()>& credentialMatches);

 private:
  struct Entry {
    // Times of the most recent failures, oldest first, at most `limits_.failures` of them.
    std::deque<TimePoint> failures;
    bool locked = false;
    TimePoint lastRefusal{};
    std::list<std::string>::iterator age;
  };

  bool lockedLocked(const Entry& entry, TimePoint now) const;
  Entry& entryLocked(std::string_view peer);
  void recordFailureLocked(Entry& entry, TimePoint now);

  const GuessLimits limits_;
  const Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  // Addresses, most recently seen first.
  std::list<std::string> byAge_;
};

}  // namespace orvane
