// Fixtures shared by the app's tests: fake bridges that report what happens to them through a
// FIFO, and bounded waits for child processes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QColor>
#include <QString>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PairingCard.hpp"
#include "TestSupport.hpp"

namespace orvane::test {

inline QString qPath(const std::filesystem::path& path) {
  return QString::fromStdString(path);
}

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!(out << text))
    throw std::runtime_error("cannot write " + file.string());
}

// Opaque and within 10 of `expected` in each channel: antialiasing and gradient rounding.
inline ::testing::AssertionResult colourNear(const QColor& actual, const QColor& expected) {
  if (actual.alpha() == 255 && std::abs(actual.red() - expected.red()) <= 10 &&
      std::abs(actual.green() - expected.green()) <= 10 &&
      std::abs(actual.blue() - expected.blue()) <= 10)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << actual.name(QColor::HexArgb).toStdString()
                                       << ", want near " << expected.name().toStdString();
}

// Lines written by fake bridges into a FIFO. Held open for reading and writing, so fakes never
// block opening it and reads never see end of file.
class EventChannel {
 public:
  explicit EventChannel(const std::filesystem::path& fifo) : path_(fifo) {
    if (::mkfifo(fifo.c_str(), 0600) != 0 ||
        (fd_ = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
      throw std::runtime_error("cannot make fifo");
  }
  ~EventChannel() { ::close(fd_); }
  EventChannel(const EventChannel&) = delete;
  EventChannel& operator=(const EventChannel&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // The next line, or none if nothing arrives within `timeoutMs`.
  std::optional<std::string> next(int timeoutMs = 20'000) {
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, timeoutMs) <= 0)
        return std::nullopt;
      char chunk[4096];
      for (ssize_t got; (got = ::read(fd_, chunk, sizeof chunk)) > 0;)
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // Every complete line that has already arrived.
  std::vector<std::string> drain() {
    std::vector<std::string> lines;
    while (auto line = next(0))
      lines.push_back(*line);
    return lines;
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::string buffer_;
};

// A stand-in for the bridge. It reports "args N [a] [b]..." for every run; with "--pairing" or
// "--rotate-pairing" it prints the matching card file and exits; with no argument it reports
// "serve PID" and idles until it reads "exit" from the control FIFO (two minutes at most). A
// termination request is reported as "TERM PID" and ends it, unless `surviveTerm`.
struct FakeBridge {
  std::filesystem::path pairingCard;
  std::filesystem::path rotateCard;
  bool surviveTerm = false;

  void writeTo(const std::filesystem::path& executable, const EventChannel& events,
               const std::filesystem::path& control) const {
    const std::string channel = "'" + events.path().string() + "'";
    writeFile(executable,
              "#!/bin/bash\n"
              "{ printf 'args %s' \"$#\"; (( $# )) && printf ' [%s]' \"$@\"; printf '\\n'; } > " +
                  channel + "\ncase \"$1\" in\n  --pairing) cat '" + pairingCard.string() +
                  "' ;;\n  --rotate-pairing) cat '" + rotateCard.string() + "' ;;\n  *)\n" +
                  "    trap 'echo \"TERM $$\" > " + channel + (surviveTerm ? "" : "; exit 0") +
                  "' TERM\n    exec 3<>'" + control.string() + "'\n    echo \"serve $$\" > " +
                  channel + "\n    while (( SECONDS < 120 )); do\n" +
                  "      if read -t 5 -u 3 line && [[ $line == exit ]]; then exit 0; fi\n" +
                  "    done ;;\nesac\n");
    std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
    if (!std::filesystem::exists(control) && ::mkfifo(control.c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo failed");
  }
};

// Tells every idle fake bridge reading `control` to exit.
inline void releaseFakes(const std::filesystem::path& control) {
  const int fd = ::open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;  // no fake is listening
  // One write, so that no fake can read its line and exit (leaving no reader, and a SIGPIPE
  // for this process) before the rest has been written.
  const std::string lines = "exit\nexit\nexit\nexit\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, lines.data(), lines.size());
  ::close(fd);
}

// Reaps `pid` (a child of this process) once it has exited, waiting at most 20 s.
inline bool waitForExit(pid_t pid) {
  const int notice = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (notice < 0)
    return false;
  pollfd entry{notice, POLLIN, 0};
  const bool exited = ::poll(&entry, 1, 20'000) > 0;
  ::close(notice);
  if (exited)
    ::waitpid(pid, nullptr, 0);
  return exited;
}

// True while `pid` (a child of this process) runs: not exited, not even as a zombie.
inline bool stillRunning(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

inline void killAndReap(pid_t pid) {
  if (pid > 0 && ::kill(pid, SIGKILL) == 0)
    waitForExit(pid);
}

// A resources directory (not holding a bridge yet) and a fake bridge for it that prints one
// card for "--pairing" and another for "--rotate-pairing". The cards come from the bridge's own
// printer, so the app is tested against the real format.
class FakeBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root_.path() / "card-pairing", pairingCard("amber-fox-1", "10.1.1.1:8788"));
    writeFile(root_.path() / "card-rotate", pairingCard("cedar-owl-2", "10.2.2.2:8788"));
    std::filesystem::create_directory(resources());
  }
  std::filesystem::path resources() const { return root_.path() / "resources"; }
  void installFake(bool surviveTerm = false) {
    installFakeAt(resources() / "OrvaneBridge", surviveTerm);
  }
  void installFakeAt(const std::filesystem::path& executable, bool surviveTerm = false) {
    FakeBridge{root_.path() / "card-pairing", root_.path() / "card-rotate", surviveTerm}.writeTo(
        executable, events_, root_.path() / "control");
  }

  TemporaryDirectory root_;
  EventChannel events_{root_.path() / "events"};
};

}  // namespace orvane::test

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
