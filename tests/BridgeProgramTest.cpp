// The real bridge program: what it prints, writes and returns, and what becomes of its data
// when its directory is read-only or the disk full. What a kill or a power cut leaves is the
// crash explorer's (tests/crash/).
#include <gmock/gmock.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <map>
#include <thread>

#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "PairingCard.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;

class Bridge : public ::testing::Test {
 protected:
  // Runs the program to its end, or with `listening` until it listens.
  std::unique_ptr<ChildProcess> run(const std::vector<std::string>& arguments,
                                    bool listening = false,
                                    const std::function<void()>& beforeExec = {}) const {
    auto child = std::make_unique<ChildProcess>(arguments, environment, beforeExec);
    if (!listening || !child->readOutputUntil(" - Ctrl-C to stop.\n\n")) {
      EXPECT_TRUE(child->finish()) << "the program did not end";
    }
    return child;
  }
  std::string file(const char* name) const { return readWholeFile(data / name).value_or(""); }
  std::string code() const { return file("token").substr(0, file("token").find('\n')); }
  std::string card() const { return pairingCard(code(), lanIP() + ":" + std::to_string(port)); }
  std::string send(const std::string& route, const std::string& body = "") const {
    return test::exchange(port, route + " HTTP/1.1\r\nAuthorization: Bearer " + code() +
                                    "\r\nContent-Length: " + std::to_string(body.size()) +
                                    "\r\n\r\n" + body);
  }
  // Sends a batch whose samples all name `device`; the count a 200 answer accepted, or -1.
  int ingest(const std::string& device, int samples) const {
    std::string body = R"({"device":")" + device + R"(","samples":[)";
    for (int i = 0; i < samples; ++i)
      body += R"({"type":"heart_rate","value":70,"ts":)" + std::to_string(1.7e9 + i) + "},";
    const std::string r = send("POST /ingest", body + "{}]}");  // {} is no sample
    const std::size_t at = r.find(R"({"accepted":)");
    return r.starts_with("HTTP/1.1 200 ") && at != std::string::npos ? std::atoi(&r[at + 12]) : -1;
  }
  // History lines per device; a line that is not whole counts as "<damaged>".
  std::map<std::string, int> history() const {
    std::map<std::string, int> lines;
    std::istringstream text(file("history.jsonl"));
    for (std::string line; std::getline(text, line);) {
      const bool whole = line.starts_with(R"({"device":")") && line.ends_with("}");
      ++lines[whole ? line.substr(11, line.find('"', 11) - 11) : "<damaged>"];
    }
    return lines;
  }
  // With nothing writable the bridge answers from memory and leaves the files alone.
  void expectAnswersFromMemory() const {
    const std::string before = file("history.jsonl") + file("state.json");
    EXPECT_EQ(ingest("unwritten", 5), 5);
    EXPECT_THAT(send("POST /orvane", R"({"enabled":0})"), ::testing::StartsWith("HTTP/1.1 200"));
    EXPECT_EQ(file("history.jsonl") + file("state.json"), before);
    for (const auto& entry : fs::directory_iterator(data))
      EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
  }

  const test::TemporaryDirectory root;
  const fs::path data = root.path() / "data";
  const std::uint16_t port = test::freePort();
  const ChildProcess::Environment environment = {{"ORVANE_DIR", data.string() + "/"},
                                                 {"ORVANE_PORT", std::to_string(port)}};
};

// "--data-dir" only shows the directory; pairing runs make, keep and replace the code and fix a
// port file that says otherwise; a second server finds the port held and ends normally; a
// failing start-up exits 1, even with an error whose text holds the number of "address in use".
TEST_F(Bridge, PrintsWritesAndReturnsWhatEachRunCallsFor) {
  EXPECT_EQ(run({"--pairing", "--data-dir"})->out, data.string() + "\n");  // ORVANE_DIR ends in /
  EXPECT_TRUE(fs::is_empty(data));
  std::string previous;
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--pairing"},
                                             {"--pairing", "x"},
                                             {"--rotate-pairing"},
                                             {"--pairing", "--rotate-pairing"}}) {
    std::ofstream(data / "port") << "1\n";
    const auto child = run(arguments);
    EXPECT_TRUE(child->exitedWith(0));
    EXPECT_EQ(child->out, card());
    EXPECT_EQ(code() == previous, arguments.back() == "x");
    EXPECT_EQ(file("port"), std::to_string(port) + "\n");
    previous = code();
  }
  const auto server = run({"--help", "pairing", "--Pairing"}, true);  // none of them known
  const std::string listening =
      "  Listening on 0.0.0.0:" + std::to_string(port) + " - Ctrl-C to stop.\n\n";
  EXPECT_EQ(server->out, card() + listening);
  EXPECT_EQ(send("GET /health").substr(0, 16), "HTTP/1.1 200 OK\r");
  const auto second = run({});
  EXPECT_TRUE(second->exitedWith(0));
  EXPECT_EQ(second->out, "Orvane Bridge is already running or port " + std::to_string(port) +
                             " is in use.\n" + card());
  server->terminate();
  ASSERT_TRUE(server->finish());
  EXPECT_TRUE(WIFSIGNALED(server->status()) && WTERMSIG(server->status()) == SIGTERM);
  EXPECT_EQ(server->out, card() + listening);  // nothing per request
  std::ofstream(root.path() / "port-48") << "in the way";
  ChildProcess failed({}, {{"ORVANE_DIR", root.path() / "port-48/data"}});
  EXPECT_TRUE(failed.finish() && failed.exitedWith(1));
  EXPECT_THAT(failed.out, ::testing::MatchesRegex("Orvane Bridge failed: [^\n]+\n"));
}

// Rounds of simultaneous switches: once they are answered, the flag file says what the bridge
// serves, and a restarted bridge serves it too.
TEST_F(Bridge, FlagFileServedFlagAndRestartAgreeAfterSimultaneousSwitches) {
  auto bridge = run({}, true);
  const auto served = [&] {
    return send("GET /state").find(R"("orvaned":true)") != std::string::npos;
  };
  for (int round = 0; round < 40; ++round) {
    std::vector<std::thread> clients;
    for (const char* enabled : {"0", "1", "0", "1", "0", "1", "0", "1"})
      clients.emplace_back(
          [&, enabled] { send("POST /orvane", R"({"enabled":)" + std::string(enabled) + "}"); });
    for (std::thread& client : clients)
      client.join();
    ASSERT_EQ(file("orvaned"), served() ? "1\n" : "0\n") << "round " << round;
  }
  const bool last = served();
  bridge = nullptr;  // killed
  bridge = run({}, true);
  EXPECT_EQ(served(), last);
}

// In the child: keeps root's permission overrides from the bridge exec'd next, and lets writes
// past the file-size limit come back short instead of killing it (ignored stays ignored).
void beforeExec() {
  for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    if (::geteuid() == 0 && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
      ::_exit(125);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

TEST_F(Bridge, ReadOnlyDirectoryAndFullDiskLeaveTheFilesAsTheyWere) {
  const auto bridge = run({}, true, beforeExec);
  if (bridge->exitedWith(125))
    GTEST_SKIP() << "cannot drop root's permission overrides here";
  ASSERT_EQ(ingest("before", 10), 10);
  fs::permissions(data / "history.jsonl", fs::perms(0444));
  fs::permissions(data, fs::perms(0500));
  expectAnswersFromMemory();
  EXPECT_FALSE(fs::exists(data / "orvaned"));
  fs::permissions(data, fs::perms(0700));
  fs::permissions(data / "history.jsonl", fs::perms(0644));
  rlimit limit{16, RLIM_INFINITY};  // a full disk, and then space again
  ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  expectAnswersFromMemory();
  limit.rlim_cur = RLIM_INFINITY;
  ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  EXPECT_EQ(ingest("after", 10), 10);
  EXPECT_EQ(history(), (std::map<std::string, int>{{"before", 10}, {"after", 10}}));
  EXPECT_THAT(file("state.json"), ::testing::HasSubstr("\"orvaned\": false"));
}

}  // namespace
}  // namespace orvane
