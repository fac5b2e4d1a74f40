#include "ChildProcess.hpp"

#include <gtest/gtest.h>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

using namespace std::chrono_literals;

std::string readAll(int descriptor) {
  std::string text;
  char chunk[256];
  for (ssize_t got; (got = ::read(descriptor, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(got));
  return text;
}

TEST(ChildProcess, OutputAndErrorGoIntoTheirPipes) {
  Pipe output;
  Pipe error;
  ChildProcess child = ChildProcess::launch("/bin/sh", {"-c", "echo out; echo err >&2"},
                                            output.writeEnd(), error.writeEnd());
  ASSERT_TRUE(child.launched());
  output.closeWriteEnd();
  error.closeWriteEnd();
  EXPECT_TRUE(child.waitUntilExit(20s));
  EXPECT_EQ(readAll(output.readEnd()), "out\n");
  EXPECT_EQ(readAll(error.readEnd()), "err\n");
}

TEST(ChildProcess, LaunchFailureGivesAHandleThatDoesNothing) {
  Pipe output;
  Pipe error;
  ChildProcess child =
      ChildProcess::launch("/nonexistent/OrvaneBridge", {}, output.writeEnd(), error.writeEnd());
  EXPECT_FALSE(child.launched());
  child.terminate();
  EXPECT_TRUE(child.waitUntilExit(0ms));
}

// A fake bridge in server mode, launched and known to be serving.
class RunningChild : public test::FakeBridgeTest {
 protected:
  void SetUp() override {
    FakeBridgeTest::SetUp();
    installFake();
    child_ = ChildProcess::launch(resources() / "OrvaneBridge", {}, output_.writeEnd(),
                                  error_.writeEnd());
    ASSERT_TRUE(child_.launched());
    ASSERT_EQ(events_.next(), "args 0");
    ASSERT_EQ(events_.next(), "serve " + std::to_string(child_.pid()));
  }
  void TearDown() override { test::killAndReap(child_.pid()); }

  Pipe output_;
  Pipe error_;
  ChildProcess child_;
};

TEST_F(RunningChild, TerminateSendsOneSigtermAndWaitReapsTheChild) {
  EXPECT_FALSE(child_.waitUntilExit(0ms));
  child_.terminate();
  EXPECT_TRUE(child_.waitUntilExit(20s));
  EXPECT_EQ(events_.drain(), std::vector<std::string>{"TERM " + std::to_string(child_.pid())});
  // Reaped: the pid is no longer ours to signal or wait for.
  EXPECT_TRUE(child_.waitUntilExit(0ms));
}

TEST_F(RunningChild, DroppingTheHandleLeavesTheChildRunning) {
  const pid_t pid = child_.pid();
  { ChildProcess dropped = std::move(child_); }
  EXPECT_TRUE(test::stillRunning(pid));
  test::killAndReap(pid);
}

}  // namespace
}  // namespace orvane
