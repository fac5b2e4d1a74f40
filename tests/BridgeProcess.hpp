// Loopback clients for the bridge, and the real bridge program as a child process in a private
// data directory. Every wait is bounded; a child that overruns is killed by its pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "TestSupport.hpp"

extern char** environ;

namespace orvane::test {

using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(60);  // only a hung server or child gets near it

// Whether `fd` has input (data or its end) before `deadline`.
inline bool readableBy(int fd, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) > 0;
}

inline sockaddr_in loopbackAddress(std::uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

// A blocking client socket from `from`, any address of 127.0.0.0/8. One that could not connect
// reads as "<not connected>", so that no expected reply, not even an empty one, can match.
class Connection {
 public:
  explicit Connection(std::uint16_t port, const char* from = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int one = 1;
    const sockaddr_in local = loopbackAddress(0, from), remote = loopbackAddress(port);
    if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
      fd_ = (::close(fd_), -1);
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends everything; a peer that already closed is not an error here.
  void send(std::string_view data) {
    for (ssize_t n = 1; fd_ >= 0 && n > 0 && !data.empty();
         data.remove_prefix(std::max<ssize_t>(n, 0)))
      n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
  }
  void endWriting() { ::shutdown(fd_, SHUT_WR); }
  bool readableWithin(int ms) {
    return readableBy(fd_, Clock::now() + std::chrono::milliseconds(ms));
  }

  // Everything received until the server closes (or resets) the connection.
  std::string readUntilClosed() {
    std::string received = fd_ < 0 ? "<not connected>" : "";
    char chunk[65536];
    const auto deadline = Clock::now() + kBound;
    for (ssize_t n = 1; fd_ >= 0 && n > 0; received.append(chunk, std::max<ssize_t>(n, 0))) {
      if (!readableBy(fd_, deadline)) {
        ADD_FAILURE() << "the server neither answered nor closed";
        break;
      }
      n = ::recv(fd_, chunk, sizeof chunk, 0);
    }
    return received;
  }

 private:
  int fd_;
};

// Sends one raw request and returns everything read until the server closes.
inline std::string exchange(std::uint16_t port, const std::string& request,
                            const char* from = "127.0.0.1") {
  Connection connection(port, from);
  connection.send(request);
  return connection.readUntilClosed();
}

// A TCP port nobody listens on right now: bind port 0 on loopback, read it back, let it go.
inline std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The bridge program as a child: standard output through a pipe as it is written, standard
// error through a file read once the child is reaped. Killed and reaped when destroyed.
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // `environment` goes before what this process inherited: a name's first entry counts.
  // `beforeExec` runs in the child between fork and exec: only async-signal-safe calls there.
  ChildProcess(std::vector<std::string> argv, const Environment& environment,
               const std::function<void()>& beforeExec = {}) {
    std::vector<std::string> envp;
    for (const auto& [name, value] : environment)
      envp.push_back(name + "=" + value);
    for (char** e = environ; *e != nullptr; ++e)
      envp.emplace_back(*e);
    argv.insert(argv.begin(), ORVANE_BRIDGE_PATH);
    std::vector<char*> args{nullptr}, envs{nullptr};
    for (std::string& a : argv)
      args.insert(args.end() - 1, a.data());
    for (std::string& e : envp)
      envs.insert(envs.end() - 1, e.data());
    int pipe[2];
    if ((errFile_ = std::tmpfile()) == nullptr || ::pipe2(pipe, O_CLOEXEC) != 0 ||
        (pid_ = ::fork()) < 0)
      throw std::runtime_error("cannot start the bridge");
    if (pid_ == 0) {
      ::dup2(pipe[1], STDOUT_FILENO);
      ::dup2(::fileno(errFile_), STDERR_FILENO);
      if (beforeExec)
        beforeExec();
      ::execve(args[0], args.data(), envs.data());
      ::_exit(127);
    }
    ::close(pipe[1]);
    outFd_ = pipe[0];
  }
  ~ChildProcess() {
    killNow();
    ::close(outFd_);
    std::fclose(errFile_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output until it ends with `marker`; false if it closes or the bound runs out.
  bool readOutputUntil(const std::string& marker) { return readOutput(&marker); }
  // Reads standard output to its end and reaps the child. False when the bound ran out.
  bool finish() {
    readOutput(nullptr);
    return outFd_ < 0 && (reap(), true);
  }
  void terminate() const { ::kill(pid_, SIGTERM); }
  // Kills the child at once and reaps it; its output so far stays readable.
  void killNow() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
      reap();
  }

  pid_t pid() const { return pid_; }
  int status() const { return status_; }
  bool exitedWith(int code) const { return WIFEXITED(status_) && WEXITSTATUS(status_) == code; }

  std::string out;
  std::string err;  // filled once the child has been reaped

 private:
  // Reads until the output ends with `*marker`; false once it has closed or the bound ran out.
  bool readOutput(const std::string* marker) {
    char buffer[4096];
    for (const auto deadline = Clock::now() + kBound; !marker || !out.ends_with(*marker);) {
      if (outFd_ < 0 || !readableBy(outFd_, deadline))
        return false;
      const ssize_t n = ::read(outFd_, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(std::exchange(outFd_, -1));
        return false;
      }
      out.append(buffer, std::size_t(n));
    }
    return true;
  }
  void reap() {
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    std::rewind(errFile_);
    for (int c; (c = std::fgetc(errFile_)) != EOF;)
      err += char(c);
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  std::FILE* errFile_ = nullptr;
  int status_ = -1;
};

// The bridge program in a data directory of its own, on a port that was free.
class BridgeTest : public ::testing::Test {
 protected:
  std::filesystem::path dataPath() const { return root_.path() / "data"; }
  std::uint16_t port() const { return port_; }
  ChildProcess::Environment environment() const {
    return {{"ORVANE_DIR", dataPath()}, {"ORVANE_PORT", std::to_string(port_)}};
  }
  // Runs the program to its end; a child still running at the bound fails the test.
  std::unique_ptr<ChildProcess> run(const std::vector<std::string>& arguments) const {
    auto child = std::make_unique<ChildProcess>(arguments, environment());
    EXPECT_TRUE(child->finish()) << "the program did not end";
    return child;
  }
  // The server, once it listens; one that does not get there is reaped (its pid() is then -1).
  std::unique_ptr<ChildProcess> start(const std::function<void()>& beforeExec = {}) const {
    auto child =
        std::make_unique<ChildProcess>(std::vector<std::string>(), environment(), beforeExec);
    if (!child->readOutputUntil(" - Ctrl-C to stop.\n\n"))
      child->finish();
    return child;
  }
  // A data file's text, or "<missing>".
  std::string file(const std::string& name) const {
    std::ostringstream text;
    std::ifstream in(dataPath() / name, std::ios::binary);
    return in ? (text << in.rdbuf(), text.str()) : "<missing>";
  }
  std::string code() const { return file("token").substr(0, file("token").find('\n')); }
  // The whole reply to one request that carries the stored code.
  std::string send(const std::string& method, const std::string& path,
                   const std::string& body = "") const {
    return test::exchange(port_, method + " " + path + " HTTP/1.1\r\nAuthorization: Bearer " +
                                     code() + "\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\n\r\n" + body);
  }

 private:
  TemporaryDirectory root_;
  std::uint16_t port_ = freePort();
};

}  // namespace orvane::test
