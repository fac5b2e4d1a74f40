// Runs the real bridge program as a child process in a private data directory, with a port
// picked free on loopback, and checks what it prints, writes and returns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "BridgeProcess.hpp"
#include "Files.hpp"
#include "PairingCard.hpp"
#include "TestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::exchange;
using test::freePort;

std::string healthRequest(const std::string& code) {
  return "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + code + "\r\n\r\n";
}

class BridgeProgram : public ::testing::Test {
 protected:
  const fs::path& root() const { return root_.path(); }
  fs::path dataPath() const { return root() / "home" / "data"; }
  std::uint16_t port() const { return port_; }

  std::vector<std::pair<std::string, std::string>> environment() const {
    return {{"ORVANE_DIR", dataPath().string()}, {"ORVANE_PORT", std::to_string(port_)}};
  }

  // Runs the program to its end; a child still running at the bound fails the test.
  std::unique_ptr<ChildProcess> runToEnd(const std::vector<std::string>& arguments) {
    auto child = std::make_unique<ChildProcess>(arguments, environment());
    EXPECT_TRUE(child->finish()) << "the program did not end";
    return child;
  }

  std::string storedCode() const {
    std::string text = readWholeFile(dataPath() / "token").value_or("");
    if (!text.empty() && text.back() == '\n')
      text.pop_back();
    return text;
  }

  std::string expectedCard(const std::string& code) const {
    return pairingCard(code, lanIP() + ":" + std::to_string(port_));
  }

  static unsigned permissionsOf(const fs::path& p) {
    return static_cast<unsigned>(fs::status(p).permissions()) & 07777;
  }

  // One line naming the cause on standard error, nothing on standard output, exit code 1.
  static void expectGenericFailure(const ChildProcess& child) {
    EXPECT_TRUE(child.exitedWith(1)) << child.status();
    EXPECT_EQ(child.out, "");
    EXPECT_THAT(child.err, ::testing::MatchesRegex("Orvane Bridge failed: [^\n]+\n"));
  }

 private:
  test::TemporaryDirectory root_;
  std::uint16_t port_ = freePort();
};

TEST_F(BridgeProgram, DataDirPrintsOnlyThePathAndWritesNothing) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--data-dir"},
        std::vector<std::string>{"--pairing", "--data-dir", "--rotate-pairing"}}) {
    const auto child = runToEnd(arguments);
    EXPECT_TRUE(child->exitedWith(0));
    EXPECT_EQ(child->out, dataPath().string() + "\n");
    EXPECT_EQ(child->err, "");
    ASSERT_TRUE(fs::is_directory(dataPath()));
    EXPECT_EQ(permissionsOf(dataPath()), 0700u);
    EXPECT_EQ(permissionsOf(dataPath().parent_path()), 0700u);
    EXPECT_TRUE(fs::is_empty(dataPath()));
  }
}

TEST_F(BridgeProgram, DataDirIsShownAbsoluteWithoutTrailingSlash) {
  const std::string where = root().string();
  ChildProcess child({"--data-dir"}, {{"ORVANE_DIR", "relative/dir/"}}, [&] {
    if (::chdir(where.c_str()) != 0)
      ::_exit(126);
  });
  ASSERT_TRUE(child.finish());
  EXPECT_TRUE(child.exitedWith(0));
  EXPECT_EQ(child.out, (fs::canonical(root()) / "relative" / "dir").string() + "\n");
  EXPECT_TRUE(fs::is_directory(root() / "relative" / "dir"));
}

TEST_F(BridgeProgram, PairingRunsCreateThenReuseAndRotationReplacesTheCode) {
  const auto first = runToEnd({"--pairing"});
  EXPECT_TRUE(first->exitedWith(0));
  EXPECT_EQ(first->err, "");
  EXPECT_EQ(permissionsOf(dataPath()), 0700u);
  EXPECT_EQ(permissionsOf(dataPath() / "token"), 0600u);
  const std::string code = storedCode();
  EXPECT_EQ(readWholeFile(dataPath() / "token"), code + "\n");
  EXPECT_GE(code.size(), 21u);
  EXPECT_EQ(readWholeFile(dataPath() / "port"), std::to_string(port()) + "\n");
  EXPECT_EQ(first->out, expectedCard(code));

  const auto again = runToEnd({"--pairing", "--pairing"});
  EXPECT_TRUE(again->exitedWith(0));
  EXPECT_EQ(again->out, expectedCard(code));
  EXPECT_EQ(storedCode(), code);

  const auto rotated = runToEnd({"--rotate-pairing"});
  EXPECT_TRUE(rotated->exitedWith(0));
  const std::string second = storedCode();
  EXPECT_NE(second, code);
  EXPECT_EQ(rotated->out, expectedCard(second));

  const auto both = runToEnd({"--pairing", "--rotate-pairing"});
  EXPECT_TRUE(both->exitedWith(0));
  EXPECT_NE(storedCode(), second);
  EXPECT_EQ(both->out, expectedCard(storedCode()));
}

TEST_F(BridgeProgram, PortFileIsReplacedOnlyWhenItsTextChanges) {
  const auto inodeOf = [&] {
    struct stat info {};
    EXPECT_EQ(::stat((dataPath() / "port").c_str(), &info), 0);
    return info.st_ino;
  };
  runToEnd({"--pairing"});
  const ino_t written = inodeOf();
  EXPECT_TRUE(runToEnd({"--pairing"})->exitedWith(0));
  EXPECT_EQ(inodeOf(), written);

  writeFileAtomically(dataPath() / "port", "1\n");
  EXPECT_TRUE(runToEnd({"--pairing"})->exitedWith(0));
  EXPECT_EQ(readWholeFile(dataPath() / "port"), std::to_string(port()) + "\n");
}

TEST_F(BridgeProgram, ServerModeServesTheCodeItPrinted) {
  // None of these is an option the program knows, so it serves.
  ChildProcess server({"--help", "--port=1", "pairing", "--Pairing"}, environment());
  const std::string listening =
      "  Listening on 0.0.0.0:" + std::to_string(port()) + " - Ctrl-C to stop.\n\n";
  ASSERT_TRUE(server.readOutputUntil(listening)) << server.out << server.err;
  const std::string code = storedCode();
  EXPECT_EQ(server.out, expectedCard(code) + listening);
  EXPECT_EQ(readWholeFile(dataPath() / "port"), std::to_string(port()) + "\n");

  const std::string ok = exchange(port(), healthRequest(code));
  EXPECT_EQ(ok.rfind("HTTP/1.1 200", 0), 0u) << ok;
  EXPECT_NE(ok.find("1.2.0"), std::string::npos) << ok;
  const std::string refused = exchange(port(), healthRequest(code + "x"));
  EXPECT_EQ(refused.rfind("HTTP/1.1 401", 0), 0u) << refused;

  server.terminate();
  ASSERT_TRUE(server.finish());
  EXPECT_TRUE(WIFSIGNALED(server.status()) && WTERMSIG(server.status()) == SIGTERM);
  EXPECT_EQ(server.out, expectedCard(code) + listening);  // nothing printed per request
  EXPECT_EQ(server.err, "");
}

TEST_F(BridgeProgram, HeldPortGivesTheAlreadyRunningNoticeAndCard) {
  // Our own listener on every interface, without address reuse, as another bridge would hold it.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  const sockaddr_in address = test::loopbackAddress(port(), "0.0.0.0");
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);

  const auto child = runToEnd({});
  ::close(holder);
  EXPECT_TRUE(child->exitedWith(0)) << child->status();
  EXPECT_EQ(child->err, "");
  EXPECT_EQ(child->out, "Orvane Bridge is already running or port " + std::to_string(port()) +
                            " is in use.\n" + expectedCard(storedCode()));
  EXPECT_FALSE(storedCode().empty());
}

TEST_F(BridgeProgram, DataDirectoryBlockedByAFileFails) {
  fs::create_directories(dataPath().parent_path());
  std::ofstream(dataPath()) << "in the way";
  // The error names the path, so its text contains "48"; only a held port may exit 0.
  std::ofstream(root() / "port-48") << "in the way";
  for (const fs::path& dir : {dataPath(), root() / "port-48" / "data"}) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"--pairing"},
          std::vector<std::string>{"--data-dir"}}) {
      ChildProcess child(arguments,
                         {{"ORVANE_DIR", dir.string()}, {"ORVANE_PORT", std::to_string(port())}});
      ASSERT_TRUE(child.finish());
      expectGenericFailure(child);
      if (dir != dataPath()) {
        EXPECT_NE(child.err.find("48"), std::string::npos) << child.err;
      }
    }
  }
}

TEST_F(BridgeProgram, UnwritableTokenFailsBeforeThePortFile) {
  fs::create_directories(dataPath() / "token" / "inside");
  expectGenericFailure(*runToEnd({"--pairing"}));
  EXPECT_FALSE(fs::exists(dataPath() / "port"));
}

TEST_F(BridgeProgram, UnwritablePortFileFailsAfterTheCodeIsStored) {
  fs::create_directories(dataPath() / "port" / "inside");
  expectGenericFailure(*runToEnd({"--rotate-pairing"}));
  EXPECT_GE(storedCode().size(), 21u);
}

}  // namespace
}  // namespace orvane
