// A child is signalled only while it has not been reaped: once waitpid has returned for it, its
// pid may belong to someone else. A child that exits on its own stays a zombie until it is
// waited for, so its pid cannot be reused while the handle exists.
#include "ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

extern char** environ;

namespace orvane {

namespace {

void closeQuietly(int& descriptor) {
  if (descriptor >= 0)
    ::close(descriptor);
  descriptor = -1;
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Pipe::Pipe() {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
}

Pipe::~Pipe() {
  closeQuietly(readEnd_);
  closeQuietly(writeEnd_);
}

void Pipe::closeWriteEnd() {
  closeQuietly(writeEnd_);
}

ChildProcess ChildProcess::launch(const std::string& executable,
                                  const std::vector<std::string>& arguments, int standardOutput,
                                  int standardError) {
  std::vector<std::string> words;
  words.reserve(arguments.size() + 1);
  words.push_back(executable);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (::posix_spawn_file_actions_init(&actions) != 0)
    return ChildProcess();
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return ChildProcess();
  }
  ::posix_spawn_file_actions_adddup2(&actions, standardOutput, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, standardError, STDERR_FILENO);

  // The bridge must stop on the termination request even if the app was started with that
  // signal ignored or blocked (nohup, some session managers).
  sigset_t none;
  sigemptyset(&none);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
    sigaddset(&stopSignals, number);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &stopSignals);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int failure =
      ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (failure != 0)
    return ChildProcess();
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(std::exchange(other.reaped_, false)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  pid_ = std::exchange(other.pid_, -1);
  reaped_ = std::exchange(other.reaped_, false);
  return *this;
}

void ChildProcess::terminate() const {
  signal(SIGTERM);
}

void ChildProcess::kill() const {
  signal(SIGKILL);
}

void ChildProcess::signal(int number) const {
  if (launched() && !reaped_)
    ::kill(pid_, number);
}

bool ChildProcess::waitUntilExit(std::chrono::milliseconds limit) {
  using std::chrono::steady_clock;
  if (!launched() || reaped_)
    return true;
  // A pidfd turns "has it exited?" into a descriptor that poll can wait on with a timeout;
  // without one (old kernels) the wait below is unbounded.
  const int exitNotice = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (exitNotice >= 0) {
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
      pollfd entry{exitNotice, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long>(0, left.count())));
      if (ready == 0) {
        ::close(exitNotice);
        return false;
      }
      if (ready > 0 || errno != EINTR)
        break;
    }
    ::close(exitNotice);
  }
  reap(pid_);
  reaped_ = true;
  return true;
}

}  // namespace orvane
