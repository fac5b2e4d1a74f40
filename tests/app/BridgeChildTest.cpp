// The bridge child without a window: what it writes to standard error reaches the app's, and
// once it has gone it leaves no zombie, no descriptor and no memory behind.
#include "BridgeChild.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <QSignalSpy>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

class BridgeChildTest : public ::testing::Test {
 protected:
  QString script(const char* name, const std::string& body) {
    test::writeFile(root_.path() / name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(root_.path() / name, std::filesystem::perms::owner_all);
    return test::qPath(root_.path() / name);
  }
  test::TemporaryDirectory root_;
  BridgeChild child_;
  QSignalSpy exited_{&child_, &BridgeChild::exited};
};

TEST_F(BridgeChildTest, PassesOnItsLastWordsAndIsReapedWhenItExits) {
  const QString failing = script("failing", "echo 'port 8788: address in use' >&2; exit 1");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(child_.start(failing));
  const pid_t pid = child_.pid();
  const bool noticed = exited_.wait(20'000);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "port 8788: address in use\n");
  ASSERT_TRUE(noticed);
  EXPECT_EQ(child_.lastErrorLine(), "port 8788: address in use");
  EXPECT_FALSE(child_.isRunning());
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // nothing left to wait for
}

TEST_F(BridgeChildTest, LeavesNoDescriptorOrMemoryBehind) {
  const QString exiting = script("exiting", "exit 0"), serving = script("serving", "exec sleep 60");
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto cycles = [&](int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(child_.start(exiting));
      ASSERT_TRUE(exited_.wait(20'000));
      ASSERT_TRUE(child_.start(serving));
      child_.stopAndWait(std::chrono::seconds(20));
      ASSERT_FALSE(child_.isRunning());
    }
  };
  cycles(5);
  const auto before = descriptors();
  const std::size_t heap = mallinfo2().uordblks;
  cycles(40);
  EXPECT_EQ(descriptors(), before);
  EXPECT_LT(mallinfo2().uordblks, heap + 4096);
}

}  // namespace
}  // namespace orvane
