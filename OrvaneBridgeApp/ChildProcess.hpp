// The handle of a child process started by the app, with the pipes its output goes into.
// Unlike QProcess, dropping a handle neither signals nor waits for the child: the bridge must
// be asked to stop exactly once, at quit or before a rotation, and the app must not block then.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvane {

// A unidirectional pipe; both ends are closed on exec, so only the child they are handed to
// (as its standard output or error) inherits them.
class Pipe {
 public:
  // Throws std::system_error when the system has no descriptors left.
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int readEnd() const { return readEnd_; }
  int writeEnd() const { return writeEnd_; }
  // The parent's copy of the write end is dropped once the child holds its own.
  void closeWriteEnd();

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
};

class ChildProcess {
 public:
  // Starts `executable` with `arguments` (without the program name), the inherited environment
  // and working directory, standard input inherited, and standard output and error dup'ed from
  // the given descriptors. Never throws: a child that could not be started gives a handle
  // whose `launched()` is false, on which terminate and wait do nothing.
  static ChildProcess launch(const std::string& executable,
                             const std::vector<std::string>& arguments, int standardOutput,
                             int standardError);

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

  bool launched() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Sends SIGTERM and returns at once. Nothing happens for a child never started or already
  // waited for; a child that has exited but was not waited for ignores it.
  void terminate() const;
  // Sends SIGKILL, with the same guards as terminate.
  void kill() const;
  // Blocks until the child has exited and reaps it, for at most `limit`. True when the child
  // has exited (or never ran); false when it is still running after `limit`.
  bool waitUntilExit(std::chrono::milliseconds limit);

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  void signal(int number) const;

  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace orvane
