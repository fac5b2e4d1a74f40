#include "GuessLimiter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace orvane {
namespace {

using std::chrono::seconds;

// A limiter on a clock the test moves by hand.
class GuessLimiterTest : public ::testing::Test {
 protected:
  explicit GuessLimiterTest(GuessLimits limits = {}) : limiter(limits, [this] { return now; }) {}

  bool admits(bool rightCode, const std::string& peer = "192.168.1.20") {
    return limiter.admits(peer, [rightCode] { return rightCode; });
  }
  void wrongTimes(int times, const std::string& peer = "192.168.1.20") {
    for (int i = 0; i < times; ++i)
      EXPECT_FALSE(admits(false, peer));
  }
  bool locked() const { return limiter.locked("192.168.1.20"); }

  GuessLimiter::TimePoint now{seconds(1'000'000)};
  GuessLimiter limiter;
};

TEST_F(GuessLimiterTest, TenthWrongCodeLocksOnlyThatAddressAndThenNothingIsCompared) {
  wrongTimes(9);
  EXPECT_FALSE(locked());
  // A right code in between (an honest phone behind the same address) wipes no failure.
  EXPECT_TRUE(admits(true));
  EXPECT_FALSE(admits(false));
  EXPECT_TRUE(locked());
  bool compared = false;
  EXPECT_FALSE(limiter.admits("192.168.1.20", [&] { return compared = true; }));
  EXPECT_FALSE(compared);

  // Other addresses are unaffected, and an honest one leaves no entry.
  wrongTimes(9, "192.168.1.21");
  EXPECT_TRUE(admits(true, "192.168.1.21"));
  EXPECT_TRUE(admits(true, "10.0.0.7"));
  EXPECT_EQ(limiter.size(), 2u);
}

TEST_F(GuessLimiterTest, OnlyTenFailuresInsideOneSlidingWindowLock) {
  // Eleven failures 6.7 s apart: any ten of them span more than 60 s.
  for (int i = 0; i < 11; ++i) {
    EXPECT_FALSE(admits(false));
    now += std::chrono::milliseconds(6'700);
  }
  EXPECT_FALSE(locked());
  now += seconds(61);  // all aged out; the next ten within a minute lock
  wrongTimes(9);
  now += seconds(59);
  EXPECT_FALSE(locked());
  EXPECT_FALSE(admits(false));
  EXPECT_TRUE(locked());
}

TEST_F(GuessLimiterTest, LockLiftsAfterAQuietMinuteWithACleanCount) {
  wrongTimes(10);
  now += seconds(59);
  EXPECT_FALSE(admits(true));  // refused, and the wait starts again from here
  now += seconds(59);
  EXPECT_FALSE(admits(true));
  now += seconds(59);
  EXPECT_TRUE(locked());
  now += seconds(1);
  EXPECT_FALSE(locked());
  wrongTimes(9);
  EXPECT_FALSE(locked());
  EXPECT_TRUE(admits(true));
}

class SmallGuessLimiterTest : public GuessLimiterTest {
 protected:
  SmallGuessLimiterTest() : GuessLimiterTest(GuessLimits{3, seconds(60), 3}) {}
};

TEST_F(SmallGuessLimiterTest, FullTableForgetsTheLeastRecentlySeenAddress) {
  wrongTimes(2, "a");
  wrongTimes(2, "b");
  wrongTimes(3, "c");
  EXPECT_FALSE(admits(false, "a"));  // its third: locked, and now the most recently seen
  EXPECT_TRUE(limiter.locked("a"));
  wrongTimes(1, "d");
  EXPECT_EQ(limiter.size(), 3u);
  // "b" was the oldest: its two failures are gone, so two more do not lock it.
  wrongTimes(2, "b");
  EXPECT_FALSE(limiter.locked("b"));
  EXPECT_TRUE(limiter.locked("a"));
  EXPECT_EQ(limiter.size(), 3u);
}

TEST(GuessLimiterConcurrencyTest, ParallelGuessesAreComparedAtMostThresholdTimes) {
  GuessLimiter limiter;
  std::atomic<int> compared{0};
  std::atomic<int> admitted{0};
  std::vector<std::thread> guessers;
  for (int t = 0; t < 8; ++t) {
    guessers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        admitted += limiter.admits("192.168.1.20", [&] {
          ++compared;
          return false;
        });
        // An honest neighbour on another address is served throughout.
        admitted += limiter.admits("192.168.1.21", [] { return true; });
      }
    });
  }
  for (std::thread& guesser : guessers)
    guesser.join();
  EXPECT_EQ(compared.load(), 10);
  EXPECT_EQ(admitted.load(), 8 * 200);
}

}  // namespace
}  // namespace orvane
