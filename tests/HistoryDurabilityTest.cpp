// The history file after a crash (torn tails) and the flush behind every "accepted".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "EngineTestSupport.hpp"
#include "HistoryFlusher.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::Json;

// Bound for waits on another thread; only a deadlock comes near it.
constexpr auto kBound = std::chrono::seconds(30);

class TornTail : public test::EngineTest {
 protected:
  static void writeText(const std::string& text) {
    std::ofstream(historyFile(), std::ios::binary) << text;
  }
  // The history after one more single-sample batch.
  std::string afterOneBatch() {
    EXPECT_EQ(ingest({heartRate(70, 1)}), 1);
    return readText(historyFile());
  }
  std::string newLine() const {
    return Json({{"type", "heart_rate"},
                 {"value", 70.0},
                 {"ts", now - 1},
                 {"unit", ""},
                 {"device", "unknown"}})
               .dump() +
           "\n";
  }
};

TEST_F(TornTail, PartialLastLineIsCutBeforeTheFirstAppend) {
  const std::string whole = "{\"a\":1}\n{\"b\":2}\n";
  writeText(whole + "{\"type\":\"heart_rate\",\"val");
  EXPECT_EQ(afterOneBatch(), whole + newLine());
}

TEST_F(TornTail, FileWithoutAnyLineFeedIsEmptied) {
  writeText("{\"type\":\"heart_rate\",\"value\":7");
  EXPECT_EQ(afterOneBatch(), newLine());
}

TEST_F(TornTail, TornLineLongerThanOneReadChunkIsCutWhole) {
  const std::string whole = "{\"a\":1}\n";
  writeText(whole + std::string(200'000, 'x'));
  EXPECT_EQ(afterOneBatch(), whole + newLine());
}

TEST_F(TornTail, DamagedLineInTheMiddleIsLeftAlone) {
  const std::string text = "{\"a\":1}\n{\"b\":\x01garbage\n{\"c\":3}\n";
  writeText(text);
  EXPECT_EQ(afterOneBatch(), text + newLine());
}

TEST_F(TornTail, EmptyAndWholeFilesOnlyGrow) {
  writeText("");
  EXPECT_EQ(afterOneBatch(), newLine());
  EXPECT_EQ(afterOneBatch(), newLine() + newLine());
}

TEST_F(TornTail, NothingIsCutWhenNothingIsAppended) {
  const std::string torn = "{\"a\":1}\n{\"b\"";
  writeText(torn);
  EXPECT_EQ(ingest({}), 0);
  EXPECT_EQ(ingest({test::sample("heart_rate", "x", now)}), 0);
  engine.setOrvaned(false);
  EXPECT_EQ(readText(historyFile()), torn);
}

// Records every flush the engine asks for, with the history size at that moment.
struct FlushLog {
  std::mutex mutex;
  std::vector<off_t> sizes;

  HistoryFlusher::Flush recorder() {
    return [this](int fd) {
      struct stat info {};
      ::fstat(fd, &info);
      const std::lock_guard lock(mutex);
      sizes.push_back(info.st_size);
      return 0;
    };
  }
};

class DurableAcknowledgement : public test::EngineTest {};

TEST_F(DurableAcknowledgement, IngestReturnsOnlyAfterItsLinesWereFlushed) {
  FlushLog log;
  StateEngine flushed{[this] { return now; }, log.recorder()};
  // The first batch creates the file, flushed with its directory entry on the way.
  EXPECT_EQ(flushed.ingest({heartRate(70, 2)}), 1);
  EXPECT_TRUE(log.sizes.empty());
  EXPECT_EQ(flushed.ingest({heartRate(71, 1), heartRate(72, 0)}), 2);
  ASSERT_EQ(log.sizes.size(), 1u);
  EXPECT_EQ(log.sizes.back(), static_cast<off_t>(fs::file_size(historyFile())));
  EXPECT_EQ(historyRecords().size(), 3u);
}

TEST_F(DurableAcknowledgement, BatchesThatAppendNothingAreNotFlushed) {
  FlushLog log;
  StateEngine flushed{[this] { return now; }, log.recorder()};
  flushed.ingest({heartRate(70, 2)});
  flushed.ingest({});
  flushed.ingest({test::sample("heart_rate", "x", now)});
  flushed.setOrvaned(false);
  EXPECT_TRUE(log.sizes.empty());
}

TEST_F(DurableAcknowledgement, FailedAppendIsNotFlushedAndLeavesNoTrace) {
  FlushLog log;
  StateEngine flushed{[this] { return now; }, log.recorder()};
  // A directory where the file should be: the append cannot open it.
  fs::create_directory(historyFile());
  EXPECT_EQ(flushed.ingest({heartRate(70, 2)}), 1);
  EXPECT_TRUE(log.sizes.empty());
  EXPECT_TRUE(fs::is_directory(historyFile()));
}

TEST_F(DurableAcknowledgement, ReadersAndWritersAreNotHeldBehindTheFlush) {
  std::promise<void> flushing;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> flushes{0};
  StateEngine flushed{[this] { return now; },
                      [&](int) {
                        if (flushes++ == 0) {
                          flushing.set_value();
                          released.wait_for(kBound);
                        }
                        return 0;
                      }};
  flushed.ingest({heartRate(60, 3)});  // creates the file
  auto slow = std::async(std::launch::async, [&] { return flushed.ingest({heartRate(70, 2)}); });
  ASSERT_EQ(flushing.get_future().wait_for(kBound), std::future_status::ready);

  // The first batch's flush is stuck; the engine still serves a reader and another writer,
  // whose own flush has to wait for the stuck one.
  auto reader = std::async(std::launch::async, [&] { return flushed.state(); });
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(reader.get()["heart_rate"]["bpm"], 70);
  auto writer = std::async(std::launch::async, [&] { return flushed.ingest({heartRate(80, 1)}); });
  EXPECT_NE(slow.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  release.set_value();
  ASSERT_EQ(slow.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(slow.get(), 1);
  EXPECT_EQ(writer.get(), 1);
  EXPECT_EQ(historyRecords().size(), 3u);
}

TEST(HistoryFlusherTest, BatchesWrittenDuringAFlushShareTheNextOne) {
  std::promise<void> flushing;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> flushes{0};
  HistoryFlusher flusher([&](int) {
    if (flushes++ == 0) {
      flushing.set_value();
      released.wait_for(kBound);
    }
    return 0;
  });
  const auto file = [] { return std::make_shared<const OpenFile>(::dup(STDERR_FILENO)); };

  const std::uint64_t first = flusher.written(file());
  auto firstWaiter = std::async(std::launch::async, [&] { flusher.waitFlushed(first); });
  ASSERT_EQ(flushing.get_future().wait_for(kBound), std::future_status::ready);

  std::vector<std::future<void>> laterWaiters;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t ticket = flusher.written(file());
    laterWaiters.push_back(
        std::async(std::launch::async, [&flusher, ticket] { flusher.waitFlushed(ticket); }));
  }
  // None of them is covered by the flush that began before they wrote.
  for (auto& waiter : laterWaiters)
    EXPECT_NE(waiter.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  release.set_value();
  ASSERT_EQ(firstWaiter.wait_for(kBound), std::future_status::ready);
  for (auto& waiter : laterWaiters)
    ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(flushes.load(), 2);
  flusher.waitFlushed(first + 4);  // already covered: returns without flushing
  EXPECT_EQ(flushes.load(), 2);
}

}  // namespace
}  // namespace orvane
