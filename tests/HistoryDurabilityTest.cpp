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
  std::string afterOneBatch(StateEngine& fresh) {
    const std::vector<Json> batch{heartRate(70, 1)};
    EXPECT_EQ(fresh.ingest(batch), 1);
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

TEST_F(TornTail, PartialLastLineIsCutBeforeTheFirstAppendWholeLinesAreKept) {
  const std::string whole = "{\"a\":1}\n{\"b\":2}\n";
  const std::string damagedMiddle = "{\"a\":1}\n{\"b\":\x01garbage\n{\"c\":3}\n";
  const std::pair<std::string, std::string> cases[] = {
      {whole + "{\"type\":\"heart_rate\",\"val", whole},
      {"{\"type\":\"heart_rate\",\"value\":7", ""},
      {whole + std::string(200'000, 'x'), whole},  // longer than one read chunk
      {damagedMiddle, damagedMiddle},
      {"", ""}};
  for (const auto& [before, kept] : cases) {
    SCOPED_TRACE(before.substr(0, 40));
    writeText(before);
    StateEngine fresh{[this] { return now; }};  // each engine checks the file once
    EXPECT_EQ(afterOneBatch(fresh), kept + newLine());
    EXPECT_EQ(afterOneBatch(fresh), kept + newLine() + newLine());
  }
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

// A flush that, the first time only, blocks until released.
struct StuckFirstFlush {
  std::promise<void> flushing;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> flushes{0};

  HistoryFlusher::Flush flush() {
    return [this](int) {
      if (flushes++ == 0) {
        flushing.set_value();
        released.wait_for(kBound);
      }
      return 0;
    };
  }
};

using DurableAcknowledgement = test::EngineTest;

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

TEST_F(DurableAcknowledgement, BatchesThatAppendNothingNeitherCutNorFlushButRewriteTheState) {
  FlushLog log;
  StateEngine flushed{[this] { return now; }, log.recorder()};
  const std::string torn = "{\"a\":1}\n{\"b\"";
  std::ofstream(historyFile(), std::ios::binary) << torn;
  now += 10;
  EXPECT_EQ(flushed.ingest({}), 0);
  EXPECT_EQ(Json::parse(readText(stateFile()))["updated_at"], now);
  EXPECT_EQ(flushed.ingest({test::sample("heart_rate", "x", now)}), 0);
  flushed.setOrvaned(false);
  EXPECT_EQ(readText(historyFile()), torn);
  EXPECT_TRUE(log.sizes.empty());
}

TEST_F(DurableAcknowledgement, HistoryThatCannotBeOpenedIsNeitherReplacedNorFlushed) {
  // A link to itself (ELOOP) or a directory: both exist, neither opens, even for root.
  for (const bool link : {true, false}) {
    SCOPED_TRACE(link ? "link" : "directory");
    fs::remove_all(historyFile());
    if (link)
      fs::create_symlink("history.jsonl", historyFile());
    else
      fs::create_directory(historyFile());
    FlushLog log;
    StateEngine flushed{[this] { return now; }, log.recorder()};
    EXPECT_EQ(flushed.ingest({heartRate(70, 1)}), 1);
    EXPECT_EQ(flushed.state()["heart_rate"]["bpm"], 70);
    EXPECT_TRUE(log.sizes.empty());
    EXPECT_EQ(fs::is_symlink(historyFile()), link);
    EXPECT_EQ(fs::is_directory(fs::symlink_status(historyFile())), !link);
  }
}

TEST_F(DurableAcknowledgement, ReadersAndWritersAreNotHeldBehindTheFlush) {
  StuckFirstFlush stuck;
  StateEngine flushed{[this] { return now; }, stuck.flush()};
  flushed.ingest({heartRate(60, 3)});  // creates the file
  auto slow = std::async(std::launch::async, [&] { return flushed.ingest({heartRate(70, 2)}); });
  ASSERT_EQ(stuck.flushing.get_future().wait_for(kBound), std::future_status::ready);

  // The first batch's flush is stuck; the engine still serves a reader and another writer,
  // whose own flush has to wait for the stuck one.
  auto reader = std::async(std::launch::async, [&] { return flushed.state(); });
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(reader.get()["heart_rate"]["bpm"], 70);
  auto writer = std::async(std::launch::async, [&] { return flushed.ingest({heartRate(80, 1)}); });
  EXPECT_NE(slow.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  stuck.release.set_value();
  ASSERT_EQ(slow.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(slow.get(), 1);
  EXPECT_EQ(writer.get(), 1);
  EXPECT_EQ(historyRecords().size(), 3u);
}

TEST(HistoryFlusherTest, BatchesWrittenDuringAFlushShareTheNextOne) {
  StuckFirstFlush stuck;
  HistoryFlusher flusher(stuck.flush());
  const auto file = [] { return std::make_shared<const OpenFile>(::dup(STDERR_FILENO)); };

  const std::uint64_t first = flusher.written(file());
  auto firstWaiter = std::async(std::launch::async, [&] { flusher.waitFlushed(first); });
  ASSERT_EQ(stuck.flushing.get_future().wait_for(kBound), std::future_status::ready);

  std::vector<std::future<void>> laterWaiters;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t ticket = flusher.written(file());
    laterWaiters.push_back(
        std::async(std::launch::async, [&flusher, ticket] { flusher.waitFlushed(ticket); }));
  }
  // None of them is covered by the flush that began before they wrote.
  for (auto& waiter : laterWaiters)
    EXPECT_NE(waiter.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  stuck.release.set_value();
  ASSERT_EQ(firstWaiter.wait_for(kBound), std::future_status::ready);
  for (auto& waiter : laterWaiters)
    ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(stuck.flushes.load(), 2);
  flusher.waitFlushed(first + 4);  // already covered: returns without flushing
  EXPECT_EQ(stuck.flushes.load(), 2);
}

}  // namespace
}  // namespace orvane
