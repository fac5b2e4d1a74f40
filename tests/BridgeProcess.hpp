// Loopback clients for the bridge, and the real bridge program as a child process. Every wait
// is bounded; a child that overruns is killed by its pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

namespace orvane::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous: only a hung server or child ever gets near it.
constexpr auto kBound = std::chrono::seconds(60);

inline int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

inline sockaddr_in loopbackAddress(std::uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

// A blocking client socket on loopback. A connection that could not be made reads as
// "<not connected>", so that no expected reply, not even an empty one, can match.
class Connection {
 public:
  // `from` may be any address of 127.0.0.0/8.
  explicit Connection(std::uint16_t port, const char* from = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int one = 1;
    const sockaddr_in local = loopbackAddress(0, from), remote = loopbackAddress(port);
    if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
      close();
    }
  }
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends everything; a peer that already closed is not an error here.
  void send(std::string_view data) {
    while (fd_ >= 0 && !data.empty()) {
      const ssize_t sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent <= 0)
        return;
      data.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  void endWriting() { ::shutdown(fd_, SHUT_WR); }

  // Whether anything (data or the end of the stream) arrives within `ms`.
  bool readableWithin(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  // Everything received until the server closes (or resets) the connection.
  std::string readUntilClosed() {
    if (fd_ < 0)
      return "<not connected>";
    std::string received;
    const auto deadline = Clock::now() + kBound;
    for (;;) {
      if (!readableWithin(millisecondsLeft(deadline))) {
        ADD_FAILURE() << "the server neither answered nor closed";
        return received;
      }
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0)
        return received;
      received.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  void close() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

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
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

// The bridge program as a child process; standard output comes through a pipe as it is
// written, standard error through a file read once the child has ended. Killed by its pid and
// reaped when destroyed.
class ChildProcess {
 public:
  // `beforeExec` runs in the child between fork and exec: only async-signal-safe calls there.
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment,
               const std::function<void()>& beforeExec = {}) {
    std::vector<std::string> argv{ORVANE_BRIDGE_PATH}, envp;
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry = *e;
      if (!entry.starts_with("ORVANE_DIR=") && !entry.starts_with("ORVANE_PORT="))
        envp.emplace_back(entry);
    }
    for (const auto& [name, value] : environment)
      envp.push_back(name + "=" + value);
    std::vector<char*> argvPointers, envpPointers;
    for (auto& a : argv)
      argvPointers.push_back(a.data());
    for (auto& e : envp)
      envpPointers.push_back(e.data());
    argvPointers.push_back(nullptr);
    envpPointers.push_back(nullptr);

    int outPipe[2];
    errFile_ = std::tmpfile();
    if (errFile_ == nullptr || ::pipe2(outPipe, O_CLOEXEC) != 0)
      throw std::runtime_error("cannot capture the output");
    pid_ = ::fork();
    if (pid_ < 0)
      throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::dup2(outPipe[1], STDOUT_FILENO);
      ::dup2(::fileno(errFile_), STDERR_FILENO);
      if (beforeExec)
        beforeExec();
      ::execve(argvPointers[0], argvPointers.data(), envpPointers.data());
      ::_exit(127);
    }
    ::close(outPipe[1]);
    outFd_ = outPipe[0];
  }

  ~ChildProcess() {
    killNow();
    if (outFd_ >= 0)
      ::close(outFd_);
    std::fclose(errFile_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output until it ends with `marker`, the output closes, or the bound.
  bool readOutputUntil(const std::string& marker) {
    const auto deadline = Clock::now() + kBound;
    while (!out.ends_with(marker)) {
      if (outFd_ < 0 || !readOutputOnce(deadline))
        return false;
    }
    return true;
  }

  // Reads standard output to its end and reaps the child. False when the bound ran out.
  bool finish() {
    const auto deadline = Clock::now() + kBound;
    while (outFd_ >= 0) {
      if (!readOutputOnce(deadline))
        return false;
    }
    // The output closed: the child has exited or is about to.
    reap();
    return true;
  }

  void terminate() const { ::kill(pid_, SIGTERM); }

  // Kills the child at once and reaps it; its output so far stays readable.
  void killNow() {
    if (pid_ <= 0)
      return;
    ::kill(pid_, SIGKILL);
    reap();
  }

  pid_t pid() const { return pid_; }
  int status() const { return status_; }
  bool exitedWith(int code) const { return WIFEXITED(status_) && WEXITSTATUS(status_) == code; }

  std::string out;
  std::string err;  // filled once the child has been reaped

 private:
  void reap() {
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    std::rewind(errFile_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, errFile_)) > 0;)
      err.append(buffer, n);
  }

  bool readOutputOnce(Clock::time_point deadline) {
    pollfd p{outFd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, millisecondsLeft(deadline));
    if (ready <= 0)
      return ready < 0 && errno == EINTR;
    char buffer[4096];
    const ssize_t n = ::read(outFd_, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(outFd_);
      outFd_ = -1;
    }
    return true;
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  std::FILE* errFile_ = nullptr;
  int status_ = -1;
};

}  // namespace orvane::test
