// The real bridge under faults: killed at random moments during concurrent ingests, on a full
// disk, and with its data directory made read-only.
#include <gmock/gmock.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <semaphore>
#include <thread>

#include "BridgeProcess.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class BridgeFault : public test::BridgeTest {
 protected:
  // Sends a batch whose samples all name `marker` as their device; the count a 200 answer
  // accepted, or -1.
  int ingest(const std::string& marker, int samples) const {
    Json body = {{"device", marker}, {"samples", Json::array()}};
    for (int i = 0; i < samples; ++i)
      body["samples"].push_back(
          {{"type", "heart_rate"}, {"value", 60 + i % 40}, {"ts", 1.7e9 + i}});
    const std::string reply = send("POST", "/ingest", body.dump());
    if (!reply.starts_with("HTTP/1.1 200 "))
      return -1;
    const Json answer = Json::parse(reply.substr(reply.find("\r\n\r\n") + 4), nullptr, false);
    return answer.is_object() ? answer.value("accepted", -1) : -1;
  }

  // History lines per device marker; a line that does not parse counts as "<damaged>".
  std::map<std::string, int> history() const {
    std::map<std::string, int> lines;
    std::istringstream text(file("history.jsonl"));
    for (std::string line; std::getline(text, line);) {
      const Json parsed = Json::parse(line, nullptr, false);
      ++lines[parsed.is_object() ? parsed.value("device", "<damaged>") : "<damaged>"];
    }
    return lines;
  }

  // With nothing writable the bridge still answers, from memory, and leaves the files alone.
  void expectAnswersFromMemory(const std::string& marker) const {
    const std::string lines = file("history.jsonl"), state = file("state.json");
    EXPECT_EQ(ingest(marker, 5), 5);
    EXPECT_THAT(send("POST", "/orvane", R"({"enabled":false})"),
                ::testing::StartsWith("HTTP/1.1 200"));
    EXPECT_THAT(send("GET", "/state"), ::testing::HasSubstr("\"orvaned\":false"));
    EXPECT_EQ(file("history.jsonl"), lines);
    EXPECT_EQ(file("state.json"), state);
    for (const auto& entry : fs::directory_iterator(dataPath()))
      EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
  }
};

TEST_F(BridgeFault, KilledAtRandomDuringIngestsKeepsEveryAcknowledgedBatch) {
  std::minstd_rand random(std::random_device{}());
  std::mutex mutex;
  std::map<std::string, int> acknowledged;  // marker -> samples
  for (int kill = 0; kill <= 16; ++kill) {
    const auto bridge = start();
    // The restarted bridge appends first; from then on the history holds only whole lines.
    const std::string first = "restart-" + std::to_string(kill);
    ASSERT_EQ(ingest(first, 3), 3);
    acknowledged[first] = 3;
    EXPECT_TRUE(file("history.jsonl").ends_with('\n'));
    std::map<std::string, int> found = history();  // unacknowledged batches may be there too
    EXPECT_FALSE(found.contains("<damaged>"));
    for (const auto& [marker, samples] : acknowledged)
      EXPECT_EQ(found[marker], samples) << marker;
    if (kill == 16)
      break;

    std::counting_semaphore<> started(0);
    std::atomic<bool> stop = false;
    std::vector<std::thread> clients;
    for (const int size : {1, 300, 2000}) {
      clients.emplace_back([&, size] {
        for (int r = 0; r < 40 && !stop; ++r) {
          const std::string marker =
              std::to_string(kill) + "-" + std::to_string(size) + "-" + std::to_string(r);
          started.release();
          const int accepted = ingest(marker, size);
          const std::lock_guard lock(mutex);
          if (accepted == size)
            acknowledged[marker] = size;
          else if (accepted >= 0)
            ADD_FAILURE() << marker << " answered " << accepted;
        }
      });
    }
    // The kill lands while the batches started so far are being read, stored or flushed.
    for (auto n = 2 + random() % 5; n > 0; --n)
      EXPECT_TRUE(started.try_acquire_for(test::kBound));
    bridge->killNow();
    stop = true;
    for (std::thread& client : clients)
      client.join();
    EXPECT_FALSE(Json::parse(file("state.json"), nullptr, false).is_discarded());
  }
}

// In the child: drops the capabilities through which root ignores permission bits from the
// bounding set, so that the bridge exec'd next never gets them; and ignores SIGXFSZ (ignored
// signals stay ignored across exec), so that writes past the file-size limit come back short.
void beforeExec() {
  for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    if (::geteuid() == 0 && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
      ::_exit(125);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

TEST_F(BridgeFault, ReadOnlyDirectoryAndFullDiskLeaveTheFilesAsTheyWere) {
  const auto bridge = start(beforeExec);
  if (bridge->exitedWith(125))
    GTEST_SKIP() << "cannot drop root's permission overrides here";
  ASSERT_EQ(ingest("before", 10), 10);
  for (const auto mode : {fs::perms(0444), fs::perms(0644)}) {
    for (const char* name : {"history.jsonl", "state.json", "token", "port"})
      fs::permissions(dataPath() / name, mode);
    fs::permissions(dataPath(), mode | fs::perms::owner_exec);
    if (mode == fs::perms(0444))
      expectAnswersFromMemory("read-only");
  }
  EXPECT_FALSE(fs::exists(dataPath() / "orvaned"));
  rlimit limit{16, RLIM_INFINITY};  // a full disk, and then space again
  ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  expectAnswersFromMemory("full");
  limit.rlim_cur = RLIM_INFINITY;
  ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  EXPECT_EQ(ingest("after", 10), 10);
  EXPECT_EQ(history(), (std::map<std::string, int>{{"before", 10}, {"after", 10}}));
  EXPECT_EQ(Json::parse(file("state.json"))["orvaned"], false);
}

}  // namespace
}  // namespace orvane
