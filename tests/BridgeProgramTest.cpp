// Runs the real bridge program as a child process in a private data directory, with a port
// picked free on loopback, and checks what it prints, writes and returns. Every wait is
// bounded: a child that overruns is killed by its pid and the test fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Files.hpp"
#include "PairingCard.hpp"
#include "TestSupport.hpp"

extern char** environ;

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous: only a hung child ever gets near it.
constexpr auto kBound = std::chrono::seconds(60);

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment,
               const std::optional<fs::path>& workingDirectory = std::nullopt) {
    std::vector<std::string> argv{ORVANE_BRIDGE_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("ORVANE_DIR=", 0) != 0 && entry.rfind("ORVANE_PORT=", 0) != 0)
        envp.push_back(entry);
    }
    for (const auto& [name, value] : environment)
      envp.push_back(name + "=" + value);
    std::vector<char*> argvPointers, envpPointers;
    for (auto& a : argv)
      argvPointers.push_back(a.data());
    argvPointers.push_back(nullptr);
    for (auto& e : envp)
      envpPointers.push_back(e.data());
    envpPointers.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2 failed");
    pid_ = ::fork();
    if (pid_ < 0)
      throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // Only async-signal-safe calls from here on.
      ::dup2(outPipe[1], STDOUT_FILENO);
      ::dup2(errPipe[1], STDERR_FILENO);
      if (workingDirectory && ::chdir(workingDirectory->c_str()) != 0)
        ::_exit(126);
      ::execve(argvPointers[0], argvPointers.data(), envpPointers.data());
      ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    closeFd(outFd_);
    closeFd(errFd_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output until it ends with `marker`, the output closes, or the bound.
  bool readOutputUntil(const std::string& marker) {
    const auto deadline = Clock::now() + kBound;
    while (!endsWith(out, marker)) {
      if (outFd_ < 0 || !pumpOnce(deadline))
        return false;
    }
    return true;
  }

  // Reads both streams to their end and reaps the child. False when the bound ran out.
  bool finish() {
    const auto deadline = Clock::now() + kBound;
    while (outFd_ >= 0 || errFd_ >= 0) {
      if (!pumpOnce(deadline))
        return false;
    }
    // Both pipes closed: the child has exited or is about to.
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    return true;
  }

  void terminate() const { ::kill(pid_, SIGTERM); }

  int status() const { return status_; }
  bool exitedWith(int code) const { return WIFEXITED(status_) && WEXITSTATUS(status_) == code; }

  std::string out;
  std::string err;

 private:
  static bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
  static void closeFd(int& fd) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }

  bool pumpOnce(Clock::time_point deadline) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, millisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR)
      return true;
    if (ready <= 0)
      return false;
    drain(fds[0], outFd_, out);
    drain(fds[1], errFd_, err);
    return true;
  }

  static void drain(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
      return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
      into.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
      closeFd(fd);
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int status_ = -1;
};

// A TCP port nobody listens on right now: bind port 0 on loopback, read it back, let it go.
std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// Sends one raw request to 127.0.0.1:port and returns everything read until the server closes.
std::string exchange(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return "<no socket>";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    const auto deadline = Clock::now() + kBound;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, millisecondsLeft(deadline)) <= 0) {
        response += "<timed out>";
        break;
      }
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0)
        break;
      response.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return response;
}

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

  static std::size_t entriesIn(const fs::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
      ++count;
    return count;
  }

  void expectGenericFailure(const ChildProcess& child) const {
    EXPECT_TRUE(child.exitedWith(1)) << child.status();
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err.rfind("Orvane Bridge failed: ", 0), 0u) << child.err;
    EXPECT_GT(child.err.size(), std::strlen("Orvane Bridge failed: \n"));
    EXPECT_EQ(child.err.find('\n'), child.err.size() - 1) << child.err;
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
    EXPECT_EQ(entriesIn(dataPath()), 0u);
  }
}

TEST_F(BridgeProgram, DataDirIsShownAbsoluteWithoutTrailingSlash) {
  ChildProcess child({"--data-dir"}, {{"ORVANE_DIR", "relative/dir/"}}, root());
  ASSERT_TRUE(child.finish());
  EXPECT_TRUE(child.exitedWith(0));
  EXPECT_EQ(child.out, (fs::canonical(root()) / "relative" / "dir").string() + "\n");
  EXPECT_TRUE(fs::is_directory(root() / "relative" / "dir"));
}

TEST_F(BridgeProgram, FirstPairingRunCreatesTheDirectoryCodeAndPortFile) {
  const auto child = runToEnd({"--pairing"});
  EXPECT_TRUE(child->exitedWith(0));
  EXPECT_EQ(child->err, "");
  EXPECT_EQ(permissionsOf(dataPath()), 0700u);
  EXPECT_EQ(permissionsOf(dataPath() / "token"), 0600u);
  const std::string code = storedCode();
  EXPECT_EQ(readWholeFile(dataPath() / "token"), code + "\n");
  EXPECT_GE(code.size(), 21u);
  EXPECT_EQ(readWholeFile(dataPath() / "port"), std::to_string(port()) + "\n");
  EXPECT_EQ(child->out, expectedCard(code));
}

TEST_F(BridgeProgram, LaterPairingRunsReuseTheStoredCode) {
  runToEnd({"--pairing"});
  const std::string code = storedCode();
  ASSERT_FALSE(code.empty());
  const auto again = runToEnd({"--pairing", "--pairing"});
  EXPECT_TRUE(again->exitedWith(0));
  EXPECT_EQ(again->out, expectedCard(code));
  EXPECT_EQ(storedCode(), code);
}

TEST_F(BridgeProgram, RotationMakesAndShowsANewCode) {
  runToEnd({"--pairing"});
  const std::string first = storedCode();
  const auto rotated = runToEnd({"--rotate-pairing"});
  EXPECT_TRUE(rotated->exitedWith(0));
  const std::string second = storedCode();
  EXPECT_NE(second, first);
  EXPECT_EQ(rotated->out, expectedCard(second));

  const auto both = runToEnd({"--pairing", "--rotate-pairing"});
  EXPECT_TRUE(both->exitedWith(0));
  EXPECT_NE(storedCode(), second);
  EXPECT_EQ(both->out, expectedCard(storedCode()));
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
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port());
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"--pairing"},
        std::vector<std::string>{"--data-dir"}}) {
    const auto child = runToEnd(arguments);
    expectGenericFailure(*child);
  }
}

TEST_F(BridgeProgram, FailureMentioning48IsStillAFailure) {
  // The error names the path, so its text contains "48"; only a held port may exit 0.
  const fs::path blocked = root() / "port-48";
  std::ofstream(blocked) << "in the way";
  ChildProcess child({"--pairing"}, {{"ORVANE_DIR", (blocked / "data").string()},
                                     {"ORVANE_PORT", std::to_string(port())}});
  ASSERT_TRUE(child.finish());
  expectGenericFailure(child);
  EXPECT_NE(child.err.find("48"), std::string::npos) << child.err;
}

TEST_F(BridgeProgram, UnwritableTokenFailsBeforeThePortFile) {
  fs::create_directories(dataPath() / "token" / "inside");
  const auto child = runToEnd({"--pairing"});
  expectGenericFailure(*child);
  EXPECT_FALSE(fs::exists(dataPath() / "port"));
}

TEST_F(BridgeProgram, UnwritablePortFileFailsAfterTheCodeIsStored) {
  fs::create_directories(dataPath() / "port" / "inside");
  const auto child = runToEnd({"--rotate-pairing"});
  expectGenericFailure(*child);
  EXPECT_GE(storedCode().size(), 21u);
}

}  // namespace
}  // namespace orvane
