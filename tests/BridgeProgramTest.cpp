// The real bridge program: what it prints, writes and returns.
#include <gmock/gmock.h>

#include "BridgeProcess.hpp"
#include "PairingCard.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;

class BridgeProgram : public test::BridgeTest {
 protected:
  std::string card() const { return pairingCard(code(), lanIP() + ":" + std::to_string(port())); }
};

TEST_F(BridgeProgram, DataDirWinsOverOtherOptionsIsShownAbsoluteAndWritesNothing) {
  const auto child = run({"--pairing", "--data-dir", "--rotate-pairing"});
  EXPECT_TRUE(child->exitedWith(0));
  EXPECT_EQ(child->out + child->err, dataPath().string() + "\n");
  EXPECT_TRUE(fs::is_empty(dataPath()));
  const fs::path root = dataPath().parent_path();
  ChildProcess relative({"--data-dir"}, {{"ORVANE_DIR", "relative/dir/"}}, [&root] {
    if (::chdir(root.c_str()) != 0)
      ::_exit(126);
  });
  ASSERT_TRUE(relative.finish());
  EXPECT_EQ(relative.out, (fs::canonical(root) / "relative/dir").string() + "\n");
}

TEST_F(BridgeProgram, PairingCreatesThenReusesTheCodeAndRotationReplacesIt) {
  std::string previous;
  for (const auto& arguments : {std::vector<std::string>{"--pairing"}, {"--pairing", "--pairing"},
                                {"--rotate-pairing"}, {"--pairing", "--rotate-pairing"}}) {
    const auto child = run(arguments);
    EXPECT_TRUE(child->exitedWith(0));
    EXPECT_EQ(child->out + child->err, card());
    EXPECT_EQ(code() == previous, arguments.size() == 2 && arguments[1] == "--pairing");
    EXPECT_EQ(file("port"), std::to_string(port()) + "\n");
    previous = code();
    std::ofstream(dataPath() / "port") << "1\n";  // replaced by the next run
  }
}

// The server serves the code it printed; a second one finds the port held, says so, shows the
// card and ends normally.
TEST_F(BridgeProgram, ServerServesItsCodeAndASecondOneFindsThePortHeld) {
  ChildProcess server({"--help", "pairing", "--Pairing"}, environment());  // none of them known
  const std::string listening =
      "  Listening on 0.0.0.0:" + std::to_string(port()) + " - Ctrl-C to stop.\n\n";
  ASSERT_TRUE(server.readOutputUntil(listening)) << server.out;
  EXPECT_EQ(server.out, card() + listening);
  EXPECT_EQ(send("GET", "/health").substr(0, 16), "HTTP/1.1 200 OK\r");
  const auto second = run({});
  EXPECT_TRUE(second->exitedWith(0));
  EXPECT_EQ(second->out + second->err, "Orvane Bridge is already running or port " +
                                           std::to_string(port()) + " is in use.\n" + card());
  server.terminate();
  ASSERT_TRUE(server.finish());
  EXPECT_TRUE(WIFSIGNALED(server.status()) && WTERMSIG(server.status()) == SIGTERM);
  EXPECT_EQ(server.out + server.err, card() + listening);  // nothing per request
}

// Start-up stops at the first step that fails, with one line on standard error and exit
// status 1: only a held port exits 0, never an error whose text happens to hold its number.
TEST_F(BridgeProgram, FailedStartUpStepsExitWithOneLine) {
  const fs::path root = dataPath().parent_path();
  std::ofstream(root / "port-48") << "in the way";
  fs::create_directories(root / "a" / "token" / "x");
  for (const fs::path& dir : {root / "port-48" / "data", root / "a"}) {
    ChildProcess child({}, {{"ORVANE_DIR", dir}, {"ORVANE_PORT", std::to_string(port())}});
    ASSERT_TRUE(child.finish());
    EXPECT_TRUE(child.exitedWith(1)) << dir;
    EXPECT_THAT(child.out + child.err, ::testing::MatchesRegex("Orvane Bridge failed: [^\n]+\n"));
  }
  EXPECT_FALSE(fs::exists(root / "a" / "port"));  // written only after the code
}

}  // namespace
}  // namespace orvane
