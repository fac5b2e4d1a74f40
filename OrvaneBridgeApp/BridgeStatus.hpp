// What the app can truthfully say about the bridge: a bridge counts as running only while it
// answers GET /health on the pairing's port with the code the window shows. The app asks when
// something may have changed (the window shown, a rotation, its child exiting), never on a
// timer while nothing happens.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

class QTcpSocket;

namespace orvane {

enum class BridgeState {
  checking,
  running,         // the app's own child answers with the code
  runningOutside,  // another process serving the same data directory (the user service)
  portInUse,       // something on the port that does not take the code
  stopped,         // nothing on the port; the app's child has exited or never started
  notFound,        // nothing on the port and no bridge among the app's resources
  notAnswering,    // the app's child runs but has not opened the port
};

enum class ChildStatus { notFound, running, exited };

// The badge's text for the state; `port` is the pairing's port.
QString badgeText(BridgeState state, quint16 port);
inline bool isRunning(BridgeState state) {
  return state == BridgeState::running || state == BridgeState::runningOutside;
}

// The port of an "address:port" host, or 8788 when it has none.
quint16 portOf(const QString& host);

// What one GET /health gave.
enum class HealthAnswer { ok, refused, other };

// One request at a time: starting a check drops the one still under way, whose callback then
// never runs.
class HealthCheck : public QObject {
  Q_OBJECT

 public:
  explicit HealthCheck(QObject* parent = nullptr);
  ~HealthCheck() override;
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  void start(quint16 port, const QString& code, std::function<void(HealthAnswer)> done);

 private:
  void finish(HealthAnswer answer);
  void drop();

  QPointer<QTcpSocket> socket_;
  QByteArray reply_;
  QTimer limit_;
  std::function<void(HealthAnswer)> done_;
};

// Turns a health answer and the child's state into a BridgeState. A child that runs but
// refuses connections is still starting: it is asked again a few times, at growing intervals,
// and then reported as not answering.
class BridgeMonitor : public QObject {
  Q_OBJECT

 public:
  explicit BridgeMonitor(std::function<ChildStatus()> child, QObject* parent = nullptr);

  void check(quint16 port, const QString& code);
  BridgeState state() const { return state_; }

 signals:
  // Once per check, when it has come to a state other than checking.
  void checked(BridgeState state);

 private:
  void ask();
  void answered(HealthAnswer answer);
  void settle(BridgeState state);

  std::function<ChildStatus()> child_;
  HealthCheck health_;
  QTimer retry_;
  quint16 port_ = 0;
  QString code_;
  int retries_ = 0;
  BridgeState state_ = BridgeState::checking;
};

}  // namespace orvane
