// The companion app's coordinator: it wires the pairing window, the tray, the "Today" window and
// the bridge child together, and holds the one piece of state that spans them, the rotation of
// the pairing code. Views say what the person asked for, the child and the monitor say what
// happened, and this object decides.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "BridgeChild.hpp"
#include "BridgeStatus.hpp"
#include "PairingInfo.hpp"

namespace orvane {

class PairingWindow;
class TodayWindow;
class Tray;

class OrvaneBridgeApp : public QObject {
  Q_OBJECT

 public:
  // `resourcesDirectory` stands for the app bundle's resources, where the bridge is looked up.
  explicit OrvaneBridgeApp(QString resourcesDirectory);
  ~OrvaneBridgeApp() override;
  OrvaneBridgeApp(const OrvaneBridgeApp&) = delete;
  OrvaneBridgeApp& operator=(const OrvaneBridgeApp&) = delete;

  // Every launch for this data directory, the first included, with its arguments (without the
  // program name) and the activation token its launcher gave it. The first reads the pairing
  // card (blocking), starts the bridge and builds the window and the tray. Each brings the
  // pairing window to the front, and with "--today" the "Today" window in front of it.
  void handleLaunch(const QStringList& arguments, const QByteArray& activationToken = {});
  // Asks the bridge to stop, once however often it is called, and returns without waiting.
  void stopBridge();
  // The orderly quit: the bridge's termination request, then the end of the event loop.
  void quit();

  PairingWindow* window() const { return window_.get(); }
  Tray* tray() const { return tray_.get(); }
  // The "Today" window once it has been asked for, else null.
  TodayWindow* todayWindow() const { return todayWindow_.get(); }
  // The running bridge child, or -1 when there is none.
  pid_t bridgePid() const { return bridge_.pid(); }

 public slots:
  void showPairingWindow(const QByteArray& activationToken = {});
  // Made on first use, for the data directory of that moment.
  void showTodayWindow(const QByteArray& activationToken = {});

 private:
  enum class Rotation { none, checkingHolder, restarting };

  void start();
  std::optional<QString> bridgeExecutable() const;
  void startBridge();
  void rotatePairingCode();
  void rotateNow();
  void checkBridge();
  void bridgeChecked(BridgeState state);
  void showPairing(const PairingInfo& pairing);
  void showBridgeState(BridgeState state);

  QString resourcesDirectory_;
  BridgeChild bridge_;
  BridgeMonitor monitor_;
  std::unique_ptr<PairingWindow> window_;
  std::unique_ptr<TodayWindow> todayWindow_;
  std::unique_ptr<Tray> tray_;
  bool quitting_ = false;

  // The pairing the window shows, and during a rotation the one it will show.
  std::optional<PairingInfo> shown_;
  std::optional<PairingInfo> pending_;
  Rotation rotation_ = Rotation::none;
};

}  // namespace orvane
