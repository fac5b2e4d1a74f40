// Per-address counting of wrong codes. Invariants, all under `mutex_`:
// - Only addresses that sent a wrong code have an entry; a right code never creates one, so
//   an honest client costs nothing and the table holds suspects only.
// - An entry keeps the times of its last `failures` failures; it locks when that many fall
//   within one `period` (a sliding window), and stays locked until a whole `period` passes
//   without a refusal. Every refusal while locked counts as a failure and restarts that wait.
// - A right code does not clear earlier failures: several devices behind one address would
//   otherwise let a guesser's count be reset by an honest neighbour's requests. Failures age
//   out of the window instead.
// - `byAge_` lists every key of `entries_` exactly once, most recently touched first; the
//   last one is dropped when the table is full.
#include "GuessLimiter.hpp"

#include <utility>

namespace orvane {

GuessLimiter::GuessLimiter(GuessLimits limits, Clock clock)
    : limits_(limits), clock_(std::move(clock)) {}

bool GuessLimiter::admits(std::string_view peer, const std::function<bool()>& credentialMatches) {
  const std::lock_guard lock(mutex_);
  const TimePoint now = clock_();
  const auto found = entries_.find(std::string(peer));
  if (found != entries_.end()) {
    Entry& entry = found->second;
    if (lockedLocked(entry, now)) {
      byAge_.splice(byAge_.begin(), byAge_, entry.age);
      entry.lastRefusal = now;
      return false;
    }
    if (entry.locked) {
      // The quiet period is over: start again with a clean slate.
      entry.locked = false;
      entry.failures.clear();
    }
  }
  // Compared under the lock so that parallel guesses cannot all slip in before the one that
  // crosses the threshold is counted; the comparison is a few dozen bytes.
  if (credentialMatches())
    return true;
  recordFailureLocked(entryLocked(peer), now);
  return false;
}

bool GuessLimiter::lockedLocked(const Entry& entry, TimePoint now) const {
  return entry.locked && now - entry.lastRefusal < limits_.period;
}

GuessLimiter::Entry& GuessLimiter::entryLocked(std::string_view peer) {
  std::string key(peer);
  const auto found = entries_.find(key);
  if (found != entries_.end()) {
    byAge_.splice(byAge_.begin(), byAge_, found->second.age);
    return found->second;
  }
  if (limits_.addresses > 0 && entries_.size() >= limits_.addresses) {
    entries_.erase(byAge_.back());
    byAge_.pop_back();
  }
  byAge_.push_front(key);
  Entry& entry = entries_[std::move(key)];
  entry.age = byAge_.begin();
  return entry;
}

void GuessLimiter::recordFailureLocked(Entry& entry, TimePoint now) {
  entry.failures.push_back(now);
  while (!entry.failures.empty() && (entry.failures.size() > limits_.failures ||
                                     now - entry.failures.front() >= limits_.period))
    entry.failures.pop_front();
  if (entry.failures.size() >= limits_.failures) {
    entry.locked = true;
    entry.lastRefusal = now;
  }
}

}  // namespace orvane
