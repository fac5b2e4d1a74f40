// The real bridge under faults: killed at random moments during concurrent ingests, on a disk
// that fills up, with its data directory made read-only, and under a guessing client. The
// crash test prints its figures.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <semaphore>
#include <sstream>
#include <thread>

#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using Json = nlohmann::json;

std::string request(const std::string& method, const std::string& path, const std::string& code,
                    const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\nAuthorization: Bearer " + code + "\r\n";
  if (!body.empty())
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

// A batch whose every sample carries `marker` as its device, so its lines can be found.
std::string batch(const std::string& marker, int samples) {
  Json body = {{"device", marker}, {"samples", Json::array()}};
  for (int i = 0; i < samples; ++i)
    body["samples"].push_back({{"type", "heart_rate"}, {"value", 60 + i % 40}, {"ts", 1.7e9 + i}});
  return body.dump();
}

// The "accepted" count of a 200 response, or -1 for anything else (no answer included).
int acceptedIn(const std::string& response) {
  const std::size_t bodyAt = response.find("\r\n\r\n");
  if (response.rfind("HTTP/1.1 200 ", 0) != 0 || bodyAt == std::string::npos)
    return -1;
  const Json body = Json::parse(response.substr(bodyAt + 4), nullptr, false);
  return body.contains("accepted") ? body["accepted"].get<int>() : -1;
}

class BridgeFault : public ::testing::Test {
 protected:
  fs::path dataPath() const { return root_.path() / "data"; }

  // Starts the bridge and waits until it listens. Null when it did not get there;
  // `exitStatus` then tells how it ended.
  std::unique_ptr<ChildProcess> startBridge(const std::function<void()>& beforeExec = {}) {
    auto child = std::make_unique<ChildProcess>(
        std::vector<std::string>{},
        std::vector<std::pair<std::string, std::string>>{{"ORVANE_DIR", dataPath().string()},
                                                         {"ORVANE_PORT", std::to_string(port_)}},
        beforeExec);
    if (!child->readOutputUntil(" - Ctrl-C to stop.\n\n")) {
      child->finish();
      exitStatus = child->status();
      return nullptr;
    }
    code_ = fileText("token");
    if (!code_.empty())
      code_.pop_back();
    return child;
  }

  std::string send(const std::string& method, const std::string& path, const std::string& body = "",
                   const char* from = "127.0.0.1") const {
    return test::exchange(port_, request(method, path, code_, body), from);
  }
  int ingest(const std::string& marker, int samples) const {
    return acceptedIn(send("POST", "/ingest", batch(marker, samples)));
  }
  std::string fileText(const char* name) const {
    return readWholeFile(dataPath() / name).value_or("<missing>");
  }
  // How many history lines each device marker has; lines that do not parse count as "<damaged>".
  std::map<std::string, int> history() const {
    std::map<std::string, int> lines;
    std::istringstream text(readWholeFile(dataPath() / "history.jsonl").value_or(""));
    for (std::string line; std::getline(text, line);) {
      const Json parsed = Json::parse(line, nullptr, false);
      ++lines[parsed.is_object() && parsed.contains("device") ? parsed["device"].get<std::string>()
                                                              : "<damaged>"];
    }
    return lines;
  }
  bool historyEndsWithLineFeed() const {
    const std::string text = readWholeFile(dataPath() / "history.jsonl").value_or("");
    return text.empty() || text.back() == '\n';
  }

  // With nothing writable, the routes still answer, from memory, and leave nothing behind.
  void expectEveryRouteAnswers() const {
    EXPECT_EQ(send("POST", "/orvane", R"({"enabled":false})").rfind("HTTP/1.1 200 ", 0), 0u);
    const std::string current = send("GET", "/state");
    EXPECT_NE(current.find("\"orvaned\":false"), std::string::npos) << current;
    EXPECT_EQ(send("GET", "/health").rfind("HTTP/1.1 200 ", 0), 0u);
    EXPECT_EQ(send("POST", "/mark", "{}").rfind("HTTP/1.1 200 ", 0), 0u);
    for (const auto& entry : fs::directory_iterator(dataPath()))
      EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
  }

  std::uint16_t port() const { return port_; }

  int exitStatus = -1;

 private:
  test::TemporaryDirectory root_;
  std::uint16_t port_ = test::freePort();
  std::string code_;
};

TEST_F(BridgeFault, KilledAtRandomDuringIngestsKeepsEveryAcknowledgedBatch) {
  constexpr int iterations = 16;
  constexpr int clients = 3;
  constexpr int maxRequestsPerClient = 40;
  const int sizes[] = {1, 25, 300, 2000};
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::mutex mutex;
  std::map<std::string, int> acknowledged;  // marker -> samples
  int tornTails = 0;

  for (int iteration = 0; iteration <= iterations; ++iteration) {
    auto bridge = startBridge();
    ASSERT_TRUE(bridge) << "the bridge did not start: " << exitStatus;
    // The restarted bridge appends first; from then on the history holds only whole lines.
    const std::string first = "restart-" + std::to_string(iteration);
    ASSERT_EQ(ingest(first, 3), 3);
    acknowledged[first] = 3;
    const std::map<std::string, int> found = history();
    EXPECT_TRUE(historyEndsWithLineFeed());
    EXPECT_EQ(found.count("<damaged>"), 0u);
    for (const auto& [marker, samples] : acknowledged) {
      EXPECT_TRUE(found.contains(marker) && found.at(marker) == samples)
          << "acknowledged batch " << marker << " of " << samples << " samples is missing";
    }
    if (iteration == iterations)
      break;

    std::counting_semaphore<> started(0);
    std::atomic<bool> stop = false;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      std::vector<int> plan;
      for (int r = 0; r < maxRequestsPerClient; ++r)
        plan.push_back(sizes[std::uniform_int_distribution<int>(0, 3)(random)]);
      threads.emplace_back([&, c, plan] {
        for (int r = 0; r < maxRequestsPerClient && !stop; ++r) {
          const std::string marker =
              "i" + std::to_string(iteration) + "-c" + std::to_string(c) + "-r" + std::to_string(r);
          const int samples = plan[static_cast<std::size_t>(r)];
          started.release();
          const int accepted = ingest(marker, samples);
          const std::lock_guard lock(mutex);
          if (accepted == samples)
            acknowledged[marker] = accepted;
          else if (accepted >= 0)
            ADD_FAILURE() << marker << " answered " << accepted;
        }
      });
    }
    // The kill lands while the batches started so far are being read, stored or flushed.
    for (int target = std::uniform_int_distribution<int>(2, 6)(random); target > 0; --target)
      EXPECT_TRUE(started.try_acquire_for(test::kBound));
    bridge->killNow();
    stop = true;
    for (std::thread& thread : threads)
      thread.join();

    const auto state = readWholeFile(dataPath() / "state.json");
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(Json::parse(*state, nullptr, false).is_discarded()) << *state;
    tornTails += historyEndsWithLineFeed() ? 0 : 1;
  }
  std::cout << "[ crash    ] " << iterations << " kills, " << acknowledged.size()
            << " batches acknowledged and found, " << tornTails << " torn tails after a kill, seed "
            << seed << "\n";
}

// Raises or lowers the file-size limit of a running process: a disk that fills up and frees
// space again.
bool limitFileSize(pid_t pid, rlim_t bytes) {
  rlimit limit{};
  if (::prlimit(pid, RLIMIT_FSIZE, nullptr, &limit) != 0)
    return false;
  limit.rlim_cur = std::min(bytes, limit.rlim_max);
  return ::prlimit(pid, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

TEST_F(BridgeFault, FullDiskKeepsAnsweringAndRecordsOnceSpaceReturns) {
  // Ignored signals stay ignored across exec: writes past the limit come back short.
  auto bridge = startBridge([] { std::signal(SIGXFSZ, SIG_IGN); });
  ASSERT_TRUE(bridge);
  ASSERT_EQ(ingest("before", 10), 10);
  const std::string historyText = fileText("history.jsonl");

  // Room for about one more line: the batch of ten lands in part and is taken back.
  ASSERT_TRUE(limitFileSize(bridge->pid(), historyText.size() + 100));
  EXPECT_EQ(ingest("nearly-full", 10), 10);
  EXPECT_EQ(fileText("history.jsonl"), historyText);
  EXPECT_FALSE(Json::parse(fileText("state.json"), nullptr, false).is_discarded());

  // No room at all: neither file can be written.
  const std::string state = fileText("state.json");
  ASSERT_TRUE(limitFileSize(bridge->pid(), 16));
  EXPECT_EQ(ingest("full", 10), 10);
  EXPECT_EQ(acceptedIn(send("POST", "/ingest", R"({"samples":[]})")), 0);
  expectEveryRouteAnswers();
  EXPECT_EQ(fileText("history.jsonl"), historyText);
  EXPECT_EQ(fileText("state.json"), state);

  ASSERT_TRUE(limitFileSize(bridge->pid(), RLIM_INFINITY));
  EXPECT_EQ(ingest("after", 10), 10);
  EXPECT_EQ(history(), (std::map<std::string, int>{{"before", 10}, {"after", 10}}));
  EXPECT_TRUE(historyEndsWithLineFeed());
  EXPECT_EQ(Json::parse(fileText("state.json"))["orvaned"], false);
}

// In the child: root ignores permission bits through these capabilities; without them in
// the bounding set, the bridge that is exec'd never gets them back.
void dropPermissionOverrides() {
  if (::geteuid() != 0)
    return;
  for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
      ::_exit(125);
  }
}

TEST_F(BridgeFault, ReadOnlyDataDirectoryStillAnswersEveryRoute) {
  auto bridge = startBridge(dropPermissionOverrides);
  if (!bridge && WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 125)
    GTEST_SKIP() << "cannot drop root's permission overrides here";
  ASSERT_TRUE(bridge);
  ASSERT_EQ(ingest("before", 5), 5);
  const std::string historyText = fileText("history.jsonl");
  const std::string state = fileText("state.json");
  for (const char* name : {"history.jsonl", "state.json", "token", "port"})
    fs::permissions(dataPath() / name, fs::perms(0444));
  fs::permissions(dataPath(), fs::perms(0500));

  EXPECT_EQ(ingest("read-only", 5), 5);
  expectEveryRouteAnswers();
  fs::permissions(dataPath(), fs::perms(0700));
  EXPECT_EQ(fileText("history.jsonl"), historyText);
  EXPECT_EQ(fileText("state.json"), state);
  EXPECT_FALSE(fs::exists(dataPath() / "orvaned"));
  int status = 0;
  EXPECT_EQ(::waitpid(bridge->pid(), &status, WNOHANG), 0) << "the bridge ended";
}

TEST_F(BridgeFault, GuessingAddressIsLockedOutAndOthersAreServed) {
  auto bridge = startBridge();
  ASSERT_TRUE(bridge);
  const auto guess = [&](int i) {
    return test::exchange(port(), request("GET", "/health", "wrong-" + std::to_string(i)));
  };
  const std::string refusal = guess(0);
  ASSERT_EQ(refusal.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << refusal;
  for (int i = 1; i < 10; ++i)
    EXPECT_EQ(guess(i), refusal);

  // Locked: the right code, on any route, gets the same bytes as a wrong one.
  EXPECT_EQ(send("GET", "/health"), refusal);
  EXPECT_EQ(send("POST", "/ingest", batch("locked", 1)), refusal);
  const std::string other = send("GET", "/health", "", "127.0.0.2");
  EXPECT_EQ(other.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << other;
  EXPECT_FALSE(fs::exists(dataPath() / "history.jsonl"));
}

}  // namespace
}  // namespace orvane
