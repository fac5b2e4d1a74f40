// Runs the real bridge program as a child process with a port picked free on loopback, and
// talks to it. Every wait is bounded: a child that overruns is killed by its pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace orvane::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Generous: only a hung child ever gets near it.
constexpr auto kBound = std::chrono::seconds(60);

inline int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The bridge program as a child process, with both output streams captured. Killed by its
// pid and reaped when destroyed.
class ChildProcess {
 public:
  // `beforeExec` runs in the child between fork and exec: only async-signal-safe calls there.
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment,
               const std::optional<fs::path>& workingDirectory = std::nullopt,
               const std::function<void()>& beforeExec = {}) {
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
      if (beforeExec)
        beforeExec();
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

  // Kills the child at once and reaps it; its output so far stays readable.
  void killNow() {
    if (pid_ <= 0)
      return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
  }

  pid_t pid() const { return pid_; }

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
inline std::uint16_t freePort() {
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
// With `from`, the connection comes from that loopback address (any of 127.0.0.0/8).
inline std::string exchange(std::uint16_t port, const std::string& request,
                            const char* from = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return "<no socket>";
  if (from != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return "<cannot bind>";
    }
  }
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

}  // namespace orvane::test
