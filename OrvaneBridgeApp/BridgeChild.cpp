// A pid is signalled only while the child has not been reaped: once waitpid has returned for it,
// the pid may belong to someone else. The exit is noticed through the event loop: on Linux a pidfd
// becomes readable when the child exits; elsewhere the end of its standard error comes first and
// waitpid is then asked every few milliseconds until the exit follows.
#include "BridgeChild.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <string>
#include <utility>

#ifdef __linux__
#include <sys/syscall.h>
#endif

extern char** environ;

namespace orvane {

namespace {

// A line longer than this is passed on in pieces.
constexpr qsizetype longestLine = 4096;
constexpr int reapPollMs = 10;

void closeQuietly(int& descriptor) {
  if (descriptor >= 0)
    ::close(descriptor);
  descriptor = -1;
}

// Both ends are closed on exec, so a child inherits only the end it is handed.
bool makePipe(int ends[2]) {
#ifdef __linux__
  return ::pipe2(ends, O_CLOEXEC) == 0;
#else
  if (::pipe(ends) != 0)
    return false;
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

int openExitNotice(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// The pid of the started child, or -1.
pid_t spawn(const std::string& executable, int standardOutput, int standardError) {
  std::string program = executable;
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (::posix_spawn_file_actions_init(&actions) != 0)
    return -1;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -1;
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
  const int failure = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return failure == 0 ? pid : -1;
}

}  // namespace

BridgeChild::BridgeChild(QObject* parent) : QObject(parent) {
  reapPoll_.setInterval(reapPollMs);
  connect(&reapPoll_, &QTimer::timeout, this, &BridgeChild::reapIfExited);
}

BridgeChild::~BridgeChild() {
  reapPoll_.stop();
  delete errorNotifier_;
  delete exitNotifier_;
  closeQuietly(outputPipe_);
  closeQuietly(errorPipe_);
  closeQuietly(exitNotice_);
}

bool BridgeChild::start(const QString& executable) {
  finish();
  int output[2] = {-1, -1};
  int error[2] = {-1, -1};
  if (!makePipe(output) || !makePipe(error)) {
    // Out of descriptors: the same as a failed launch.
    for (int end : {output[0], output[1]})
      closeQuietly(end);
    return false;
  }
  pid_ = spawn(QFile::encodeName(executable).toStdString(), output[1], error[1]);
  // The child holds its own copies of the write ends.
  closeQuietly(output[1]);
  closeQuietly(error[1]);
  outputPipe_ = output[0];
  errorPipe_ = error[0];
  if (!isRunning()) {
    finish();
    return false;
  }
  ::fcntl(errorPipe_, F_SETFL, ::fcntl(errorPipe_, F_GETFL) | O_NONBLOCK);
  errorNotifier_ = new QSocketNotifier(errorPipe_, QSocketNotifier::Read, this);
  connect(errorNotifier_, &QSocketNotifier::activated, this, &BridgeChild::readErrors);
  watchExit();
  return true;
}

void BridgeChild::watchExit() {
  exitNotice_ = openExitNotice(pid_);
  if (exitNotice_ < 0)
    return;
  exitNotifier_ = new QSocketNotifier(exitNotice_, QSocketNotifier::Read, this);
  connect(exitNotifier_, &QSocketNotifier::activated, this, &BridgeChild::reapIfExited);
}

void BridgeChild::terminate() {
  if (isRunning())
    ::kill(pid_, SIGTERM);
}

void BridgeChild::stopAndWait(std::chrono::milliseconds limit) {
  if (!isRunning())
    return;
  ::kill(pid_, SIGTERM);
  for (int signal : {SIGTERM, SIGKILL}) {
    if (signal == SIGKILL)
      ::kill(pid_, SIGKILL);
    for (auto waited = std::chrono::milliseconds(0); waited < limit;
         waited += std::chrono::milliseconds(reapPollMs)) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        finish();
        return;
      }
      QThread::msleep(reapPollMs);
    }
  }
}

void BridgeChild::readErrors() {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(errorPipe_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      if (got == 0 || errno != EAGAIN) {
        // Every writer has gone: the child is exiting, or has exited.
        errorNotifier_->setEnabled(false);
        reapIfExited();
        if (isRunning() && exitNotice_ < 0)
          reapPoll_.start();
      }
      return;
    }
    partialLine_.append(buffer, got);
    for (;;) {
      const qsizetype end = partialLine_.indexOf('\n');
      if (end < 0 && partialLine_.size() < longestLine)
        break;
      const qsizetype length = end < 0 ? longestLine : end;
      forward(partialLine_.left(length));
      partialLine_.remove(0, end < 0 ? length : length + 1);
    }
  }
}

void BridgeChild::forward(const QByteArray& line) {
  const QByteArray withEnd = line + '\n';
  // The app's standard error may be closed or a full pipe; the line is then lost.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, withEnd.data(), withEnd.size());
  lastErrorLine_ = QString::fromUtf8(line);
}

void BridgeChild::reapIfExited() {
  if (!isRunning() || ::waitpid(pid_, nullptr, WNOHANG) != pid_)
    return;
  finish();
  emit exited();
}

void BridgeChild::finish() {
  pid_ = -1;
  reapPoll_.stop();
  // The child's last words, if the exit came before they were read.
  if (errorPipe_ >= 0 && errorNotifier_ != nullptr && errorNotifier_->isEnabled())
    readErrors();
  if (!partialLine_.isEmpty())
    forward(std::exchange(partialLine_, {}));
  delete errorNotifier_;
  errorNotifier_ = nullptr;
  delete exitNotifier_;
  exitNotifier_ = nullptr;
  closeQuietly(outputPipe_);
  closeQuietly(errorPipe_);
  closeQuietly(exitNotice_);
}

}  // namespace orvane
