#include "GuessLimiter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orvane {
namespace {

using std::chrono::seconds;

// Three wrong codes within a sliding minute lock an address until it has been refused nothing
// for a minute; a locked address's code is not even compared. Three addresses are remembered.
TEST(GuessLimiterTest, LocksAnAddressForAQuietMinuteAfterThreeWrongCodesInOne) {
  GuessLimiter::TimePoint now{};
  GuessLimiter limiter({3, seconds(60), 3}, [&] { return now; });
  constexpr bool F = false, T = true;
  struct {
    int after;
    const char* peer;
    bool right, admitted, locked;
  } const steps[] = {
      {0, "a", F, F, F},  {30, "a", F, F, F},
      {30, "a", F, F, F}, {30, "a", F, F, F},  // any three of these span a whole minute
      {90, "a", F, F, F}, {0, "a", T, T, F},   // a right code wipes no failure
      {59, "a", F, F, F}, {0, "a", F, F, T},
      {59, "a", T, F, T}, {59, "a", F, F, T},  // every refusal starts the quiet minute again
      {0, "c", T, T, F},  {60, "a", F, F, F},
      {0, "a", F, F, F},  {0, "a", F, F, T},  // a clean count after the lock
      {0, "b", F, F, F},  {0, "b", F, F, F},
      {0, "c", F, F, F},  {0, "a", T, F, T},
      {0, "d", F, F, F},  {0, "b", F, F, F},  // "b", least recently seen, was forgotten
      {0, "a", T, F, T}};
  for (const auto& step : steps) {
    now += seconds(step.after);
    const bool wasLocked = limiter.locked(step.peer);
    bool compared = false;
    EXPECT_EQ(limiter.admits(step.peer, [&] { return compared = true, step.right; }),
              step.admitted);
    EXPECT_EQ(limiter.locked(step.peer), step.locked) << &step - steps;
    EXPECT_EQ(compared, !wasLocked) << &step - steps;
  }
  EXPECT_EQ(limiter.size(), 3u);
}

TEST(GuessLimiterTest, ParallelGuessesAreComparedOnlyUpToTheLock) {
  GuessLimiter limiter;
  std::atomic<int> compared = 0, admitted = 0;
  std::vector<std::thread> guessers;
  for (int t = 0; t < 8; ++t) {
    guessers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        admitted += limiter.admits("a", [&] { return ++compared, false; });
        admitted += limiter.admits("b", [] { return true; });
      }
    });
  }
  for (std::thread& guesser : guessers)
    guesser.join();
  EXPECT_EQ(compared, 10);
  EXPECT_EQ(admitted, 8 * 200);
}

}  // namespace
}  // namespace orvane
