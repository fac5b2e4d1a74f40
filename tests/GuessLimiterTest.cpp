#include "GuessLimiter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace orvane {
namespace {

using std::chrono::seconds;

// A limiter with the bridge's limits on a clock the test moves by hand.
class GuessLimiterTest : public ::testing::Test {
 protected:
  explicit GuessLimiterTest(GuessLimits limits = {}) : limiter(limits, [this] { return now; }) {}

  bool wrong(const std::string& peer = "192.168.1.20") {
    return limiter.admits(peer, [] { return false; });
  }
  bool right(const std::string& peer = "192.168.1.20") {
    return limiter.admits(peer, [] { return true; });
  }
  void wrongTimes(int times, const std::string& peer = "192.168.1.20") {
    for (int i = 0; i < times; ++i)
      EXPECT_FALSE(wrong(peer));
  }

  GuessLimiter::TimePoint now{seconds(1'000'000)};
  GuessLimiter limiter;
};

TEST_F(GuessLimiterTest, TenthWrongCodeWithinTheWindowLocksTheAddress) {
  wrongTimes(9);
  EXPECT_FALSE(limiter.locked("192.168.1.20"));
  EXPECT_TRUE(right());
  EXPECT_FALSE(wrong());
  EXPECT_TRUE(limiter.locked("192.168.1.20"));
}

TEST_F(GuessLimiterTest, LockedAddressIsRefusedWithoutTheCodeBeingCompared) {
  wrongTimes(10);
  bool compared = false;
  EXPECT_FALSE(limiter.admits("192.168.1.20", [&] { return compared = true; }));
  EXPECT_FALSE(compared);
}

TEST_F(GuessLimiterTest, FailuresSpreadOverMoreThanTheWindowNeverLock) {
  // Eleven failures 6.7 s apart: any ten of them span more than 60 s (sliding window).
  for (int i = 0; i < 11; ++i) {
    EXPECT_FALSE(wrong());
    now += std::chrono::milliseconds(6'700);
  }
  EXPECT_FALSE(limiter.locked("192.168.1.20"));
  EXPECT_TRUE(right());
}

TEST_F(GuessLimiterTest, TenFailuresInsideAnyWindowLockEvenAfterOlderOnes) {
  // Five early failures age out; the next ten within a minute still lock.
  wrongTimes(5);
  now += seconds(61);
  wrongTimes(9);
  EXPECT_FALSE(limiter.locked("192.168.1.20"));
  now += seconds(59);
  EXPECT_FALSE(wrong());
  EXPECT_TRUE(limiter.locked("192.168.1.20"));
}

TEST_F(GuessLimiterTest, LockLiftsOnlyAfterAQuietPeriodWithoutRefusals) {
  wrongTimes(10);
  now += seconds(59);
  EXPECT_FALSE(right());  // refused, and the wait starts again from here
  now += seconds(59);
  EXPECT_FALSE(right());
  now += seconds(59);
  EXPECT_TRUE(limiter.locked("192.168.1.20"));
  now += seconds(1);
  EXPECT_FALSE(limiter.locked("192.168.1.20"));
  EXPECT_TRUE(right());
}

TEST_F(GuessLimiterTest, LiftedAddressStartsAgainWithACleanCount) {
  wrongTimes(10);
  now += seconds(60);
  wrongTimes(9);
  EXPECT_FALSE(limiter.locked("192.168.1.20"));
  EXPECT_TRUE(right());
}

TEST_F(GuessLimiterTest, RightCodeDoesNotWipeEarlierFailures) {
  // A guesser sharing an address with an honest phone gets no fresh count from its requests.
  wrongTimes(9);
  EXPECT_TRUE(right());
  EXPECT_FALSE(wrong());
  EXPECT_FALSE(right());
}

TEST_F(GuessLimiterTest, OtherAddressesAreUnaffected) {
  wrongTimes(10, "192.168.1.20");
  wrongTimes(9, "192.168.1.21");
  EXPECT_TRUE(right("192.168.1.21"));
  EXPECT_TRUE(right("10.0.0.7"));
  EXPECT_FALSE(right("192.168.1.20"));
  EXPECT_EQ(limiter.size(), 2u);  // an honest address leaves no entry
}

class SmallGuessLimiterTest : public GuessLimiterTest {
 protected:
  SmallGuessLimiterTest() : GuessLimiterTest(GuessLimits{3, seconds(60), 3}) {}
};

TEST_F(SmallGuessLimiterTest, FullTableForgetsTheLeastRecentlySeenAddress) {
  wrongTimes(2, "a");
  wrongTimes(2, "b");
  wrongTimes(3, "c");
  EXPECT_FALSE(wrong("a"));  // its third: locked, and now the most recently seen
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
        if (limiter.admits("192.168.1.20", [&] {
              ++compared;
              return false;
            }))
          ++admitted;
        // An honest neighbour on another address is served throughout.
        if (limiter.admits("192.168.1.21", [] { return true; }))
          ++admitted;
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
