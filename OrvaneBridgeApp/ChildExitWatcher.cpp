// The pidfd stays readable after the exit, and the child stays a zombie until its handle
// reaps it, so the notifier is switched off after the first notice instead of firing on every
// pass of the event loop.
#include "ChildExitWatcher.hpp"

#include <unistd.h>

#include <QSocketNotifier>

#if __has_include(<sys/syscall.h>)
#include <sys/syscall.h>
#endif

namespace orvane {

ChildExitWatcher::ChildExitWatcher(pid_t pid, QObject* parent) : QObject(parent) {
#ifdef SYS_pidfd_open
  exitNotice_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
#endif
  if (exitNotice_ < 0)
    return;
  notifier_ = new QSocketNotifier(exitNotice_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    notifier_->setEnabled(false);
    emit exited();
  });
}

ChildExitWatcher::~ChildExitWatcher() {
  delete notifier_;
  if (exitNotice_ >= 0)
    ::close(exitNotice_);
}

}  // namespace orvane
