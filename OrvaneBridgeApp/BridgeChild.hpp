// The long-running bridge, the app's one child process: its pid, its two pipes and the notice of
// its exit. Standard output goes into a pipe that is held unread (the bridge writes only its card
// and a listening line there); standard error is read and each line passed on to the app's own
// standard error, so that a bridge that stops after its start says why, under a service manager
// as in a terminal. A child that exits is reaped at once and its pid is never signalled again.
//
// Unlike QProcess, letting go of the child neither signals it nor waits for it: the bridge is asked
// to stop exactly once, at quit or before a rotation, and at quit the app must not block.
//
// (Named for the app's child rather than "BridgeProcess": the tests already have a
// BridgeProcess.hpp, the bridge program as their own child, on the same include path.)
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

class QSocketNotifier;

namespace orvane {

class BridgeChild : public QObject {
  Q_OBJECT

 public:
  explicit BridgeChild(QObject* parent = nullptr);
  ~BridgeChild() override;
  BridgeChild(const BridgeChild&) = delete;
  BridgeChild& operator=(const BridgeChild&) = delete;

  // Starts `executable` with no arguments, the inherited environment, working directory and
  // standard input. False when it could not be started; nothing then runs.
  bool start(const QString& executable);
  // Sends the termination request and returns at once; nothing happens without a running child.
  void terminate();
  // Asks the child to stop and waits for it, killing it after `limit`. Its exit is not announced.
  void stopAndWait(std::chrono::milliseconds limit);

  // The running child, or -1 once it has exited (or never started).
  pid_t pid() const { return pid_; }
  bool isRunning() const { return pid_ > 0; }
  // The last line the child wrote to its standard error, without the line feed.
  const QString& lastErrorLine() const { return lastErrorLine_; }

 signals:
  // The child has exited on its own and has been reaped.
  void exited();

 private:
  void watchExit();
  void readErrors();
  void reapIfExited();
  void finish();
  void forward(const QByteArray& line);

  pid_t pid_ = -1;
  int outputPipe_ = -1;  // read end, never read
  int errorPipe_ = -1;   // read end, non-blocking
  int exitNotice_ = -1;  // a pidfd where the system has them
  QSocketNotifier* errorNotifier_ = nullptr;
  QSocketNotifier* exitNotifier_ = nullptr;
  // Without a pidfd: asks waitpid now and then between the end of the child's standard error and
  // its exit, which are moments apart.
  QTimer reapPoll_;
  QByteArray partialLine_;
  QString lastErrorLine_;
};

}  // namespace orvane
