// Learns of a child's exit when it happens, through the event loop: a pidfd becomes readable
// once the process has exited, so waiting for it costs no wake-ups. The child is not reaped
// here; its ChildProcess handle stays in charge of that.
#pragma once

#include <sys/types.h>

#include <QObject>

class QSocketNotifier;

namespace orvane {

class ChildExitWatcher : public QObject {
  Q_OBJECT

 public:
  // Without pidfds (kernels before 5.3, other systems) `exited` is never emitted.
  explicit ChildExitWatcher(pid_t pid, QObject* parent = nullptr);
  ~ChildExitWatcher() override;
  ChildExitWatcher(const ChildExitWatcher&) = delete;
  ChildExitWatcher& operator=(const ChildExitWatcher&) = delete;

 signals:
  // At most once.
  void exited();

 private:
  int exitNotice_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace orvane
