// The bridge child without a window: what it writes to standard error reaches the app's, and
// once it has gone it leaves no zombie, no descriptor and no memory behind.
#include "BridgeChild.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <QSignalSpy>

#include "AppTestSupport.hpp"

namespace orvane {
namespace {

TEST(BridgeChild, PassesOnItsLastWordsAndLeavesNothingBehind) {
  test::TemporaryDirectory root;
  // The last line, cut short by the exit, still counts as a line.
  test::writeFile(root.path() / "failing",
                  "#!/bin/sh\nprintf 'bad\\nport 8788: in use' >&2; exit 1\n");
  test::writeFile(root.path() / "serving", "#!/bin/sh\nexec sleep 60\n");
  for (const char* name : {"failing", "serving"})
    std::filesystem::permissions(root.path() / name, std::filesystem::perms::owner_all);
  BridgeChild child;
  QSignalSpy exited(&child, &BridgeChild::exited);
  const auto cycle = [&] {  // one child that exits, one that is stopped
    ASSERT_TRUE(child.start(test::qPath(root.path() / "failing")));
    const pid_t pid = child.pid();
    ASSERT_TRUE(exited.wait(20'000));
    ASSERT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
    ASSERT_TRUE(child.start(test::qPath(root.path() / "serving")));
    child.stopAndWait(std::chrono::seconds(20));
    ASSERT_FALSE(child.isRunning());
  };
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  ::testing::internal::CaptureStderr();
  cycle();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "bad\nport 8788: in use\n");
  EXPECT_EQ(child.lastErrorLine(), "port 8788: in use");

  const auto before = descriptors();
  const std::size_t heap = mallinfo2().uordblks;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 40; ++i)
    cycle();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(descriptors(), before);
  EXPECT_LT(mallinfo2().uordblks, heap + 4096);
}

}  // namespace
}  // namespace orvane
