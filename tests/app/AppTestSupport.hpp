// Fixtures shared by the app's tests: the bridge's card text, fake bridges that report what
// happens to them through a FIFO, and bounded waits for child processes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.hpp"

namespace orvane::test {

inline QString qPath(const std::filesystem::path& path) {
  return QString::fromStdString(path);
}

// The nine-line card exactly as the bridge prints it (ASCII values).
inline std::string bridgeCard(const std::string& host, const std::string& code) {
  const std::size_t width = std::max({std::size_t{38}, host.size() + 18, code.size() + 18});
  const auto pad = [](const std::string& text, std::size_t to) {
    return text + std::string(to > text.size() ? to - text.size() : 0, ' ');
  };
  const std::string title = "Orvane pairing card";
  const std::size_t left = (width - title.size()) / 2;
  const std::string rule = "  +" + std::string(width, '-') + "+\n";
  return "\n" + rule + "  |" + std::string(left, ' ') + pad(title, width - left) + "|\n" + rule +
         "  |  Computer      " + pad(host, width - 16) + "|\n" + "  |  Pairing code  " +
         pad(code, width - 16) + "|\n" + rule + "  Enter both in the Orvane iPhone app.\n\n";
}

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out)
    throw std::runtime_error("cannot write " + file.string());
}

// Lines written by fake bridges into a FIFO. Held open for reading and writing, so fakes never
// block opening it and reads never see end of file.
class EventChannel {
 public:
  explicit EventChannel(const std::filesystem::path& fifo) : path_(fifo) {
    if (::mkfifo(fifo.c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo failed");
    fd_ = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
      throw std::runtime_error("cannot open fifo");
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
      readAvailable();
    }
  }

  // Every complete line that has already arrived.
  std::vector<std::string> drain() {
    readAvailable();
    std::vector<std::string> lines;
    while (auto line = next(0))
      lines.push_back(*line);
    return lines;
  }

 private:
  void readAvailable() {
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::read(fd_, chunk, sizeof chunk)) > 0)
      buffer_.append(chunk, static_cast<std::size_t>(got));
  }

  std::filesystem::path path_;
  int fd_ = -1;
  std::string buffer_;
};

// A stand-in for the bridge. It reports "args N [a] [b]..." for every run; with "--pairing" or
// "--rotate-pairing" it prints the matching card file and exits; with no argument it opens the
// control FIFO, reports "serve PID" and idles until it reads "exit" from the control FIFO (at most
// two minutes). A termination request is reported as "TERM PID" and ends it, unless `surviveTerm`.
struct FakeBridge {
  std::filesystem::path pairingCard;
  std::filesystem::path rotateCard;
  bool surviveTerm = false;

  void writeTo(const std::filesystem::path& executable, const EventChannel& events,
               const std::filesystem::path& control) const {
    const std::string channel = "'" + events.path().string() + "'";
    std::string script = "#!/bin/bash\n";
    script += "{ printf 'args %s' \"$#\"; (( $# )) && printf ' [%s]' \"$@\"; printf '\\n'; } > " +
              channel + "\n";
    script += "case \"$1\" in\n";
    script += "  --pairing) cat '" + pairingCard.string() + "' ;;\n";
    script += "  --rotate-pairing) cat '" + rotateCard.string() + "' ;;\n";
    script += "  *)\n";
    script +=
        "    trap 'echo \"TERM $$\" > " + channel + (surviveTerm ? "" : "; exit 0") + "' TERM\n";
    script += "    exec 3<>'" + control.string() + "'\n";
    script += "    echo \"serve $$\" > " + channel + "\n";
    script += "    while (( SECONDS < 120 )); do\n";
    script += "      if read -t 5 -u 3 line && [[ $line == exit ]]; then exit 0; fi\n";
    script += "    done ;;\n";
    script += "esac\n";
    writeFile(executable, script);
    std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
    if (!std::filesystem::exists(control) && ::mkfifo(control.c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo failed");
  }
};

// Tells every idle fake bridge reading `control` to exit.
inline void releaseFakes(const std::filesystem::path& control, int count = 4) {
  const int fd = ::open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;  // no fake is listening
  // One write, so that no fake can read its line and exit (leaving no reader, and a SIGPIPE
  // for this process) before the rest has been written.
  std::string lines;
  for (int i = 0; i < count; ++i)
    lines += "exit\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, lines.data(), lines.size());
  ::close(fd);
}

// Reaps `pid` (a child of this process) once it has exited, waiting at most `timeoutMs`.
inline bool waitForExit(pid_t pid, int timeoutMs = 20'000) {
  const int notice = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (notice < 0)
    return false;
  pollfd entry{notice, POLLIN, 0};
  const bool exited = ::poll(&entry, 1, timeoutMs) > 0;
  ::close(notice);
  if (exited) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
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

}  // namespace orvane::test

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
