// Loopback clients, and the bridge program as a child process; every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace orvane::test {

constexpr auto kBound = std::chrono::seconds(60);  // only a hung server or child gets near it

// Makes every read from the socket `fd` wait at most the bound; true on success.
inline bool boundReads(int fd) {
  const timeval bound{std::chrono::seconds(kBound).count(), 0};
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0;
}

inline sockaddr_in loopbackAddress(std::uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in result{AF_INET, htons(port), {}, {}};
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

// A blocking client socket from `from`, any address of 127.0.0.0/8. One that could not connect
// reads as "<not connected>", so that no expected reply, not even an empty one, can match.
class Connection {
 public:
  explicit Connection(std::uint16_t port, const char* from = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in local = loopbackAddress(0, from), remote = loopbackAddress(port);
    if (!boundReads(fd_) ||
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
  bool readableWithin(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  // Everything received until the server closes (or resets) the connection, or the bound.
  std::string readUntilClosed() {
    std::string received = fd_ < 0 ? "<not connected>" : "";
    char chunk[65536];
    for (ssize_t n; fd_ >= 0 && (n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0;)
      received.append(chunk, std::size_t(n));
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

// The bridge program as a child, killed and reaped when destroyed.
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Started through env(1), which sets `environment` and execs the bridge in its place.
  // `beforeExec` runs in the child before that: only async-signal-safe calls there.
  ChildProcess(std::vector<std::string> arguments, const Environment& environment,
               const std::function<void()>& beforeExec = {}) {
    arguments.insert(arguments.begin(), ORVANE_BRIDGE_PATH);
    for (const auto& [name, value] : environment)
      arguments.insert(arguments.begin(), name + "=" + value);
    std::vector<char*> argv{const_cast<char*>("/usr/bin/env")};
    for (std::string& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 || !boundReads(ends[0]) ||
        (pid_ = ::fork()) < 0)
      throw std::runtime_error("cannot start the bridge");
    if (pid_ == 0) {
      ::dup2(ends[1], STDOUT_FILENO);
      ::dup2(ends[1], STDERR_FILENO);
      if (beforeExec)
        beforeExec();
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(ends[1]);
    outFd_ = ends[0];
  }
  ~ChildProcess() {
    killNow();
    ::close(outFd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard output and error, one stream, until it ends with `marker`; false if it
  // closes or a read times out.
  bool readOutputUntil(const std::string& marker) {
    char buffer[4096];
    ssize_t n = 1;
    while (!out.ends_with(marker) && outFd_ >= 0 && (n = ::read(outFd_, buffer, sizeof buffer)) > 0)
      out.append(buffer, std::size_t(n));
    if (n == 0)
      ::close(std::exchange(outFd_, -1));
    return out.ends_with(marker);
  }
  // Reads the output to its end (it holds no NUL) and reaps the child; false on a timeout.
  bool finish() { return !readOutputUntil(std::string(1, '\0')) && outFd_ < 0 && (reap(), true); }
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

 private:
  void reap() { ::waitpid(std::exchange(pid_, -1), &status_, 0); }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int status_ = -1;
};

}  // namespace orvane::test
