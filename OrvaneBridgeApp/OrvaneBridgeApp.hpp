// The companion app: its entry point and the one delegate object that owns all of its state —
// the pairing window, the tray, the long-running bridge child with its two pipes, what is
// known of the bridge, and the current link.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "BridgeStatus.hpp"
#include "ChildExitWatcher.hpp"
#include "ChildProcess.hpp"
#include "PairingInfo.hpp"
#include "ReceivedState.hpp"
#include "Tray.hpp"

class QLabel;
class QPushButton;
class QWidget;

namespace orvane {

class RoundedImageView;
class TodayWindow;

class OrvaneBridgeApp : public QObject {
  Q_OBJECT

 public:
  // `resourcesDirectory` stands for the app bundle's resources, where the bridge is looked up.
  explicit OrvaneBridgeApp(QString resourcesDirectory);
  ~OrvaneBridgeApp() override;
  OrvaneBridgeApp(const OrvaneBridgeApp&) = delete;
  OrvaneBridgeApp& operator=(const OrvaneBridgeApp&) = delete;

  // Reads the pairing card, starts the bridge, then builds and shows the window and the tray.
  // Blocks for the card run.
  void applicationDidFinishLaunching();
  // Asks the bridge to stop, once however often it is called, and returns without waiting.
  void applicationWillTerminate();
  // The orderly quit of Ctrl+Q and the tray's "Quit": the bridge's termination request, then
  // the end of the event loop.
  void quit();
  // A later launch for the same data directory, with its arguments. Every launch brings back
  // the pairing window; a launch asking for another window would be told apart here.
  void handleLaunch(const QStringList& arguments);
  void showPairingWindow();
  // The two button actions; `sender` is the pressed button, whose title confirms the action.
  void copyPairingLink(QPushButton* sender);
  // Shows the new code only once a bridge answers with it, and makes none while the port is
  // held by a bridge (or program) that is not the app's child.
  void rotatePairingCode(QPushButton* sender);

  QWidget* window() const { return window_.get(); }
  Tray* tray() const { return tray_.get(); }
  // The "Today" window once it has been asked for, else null.
  TodayWindow* todayWindow() const { return todayWindow_.get(); }
  const QString& pairingURL() const { return pairingURL_; }
  // The running (or exited but not yet waited for) bridge child, or -1 when there is none.
  pid_t bridgePid() const;

 public slots:
  // Makes the "Today" window on first use (for the data directory of that moment) and brings it
  // to the front.
  void showTodayWindow();

 private:
  enum class Rotation { none, checkingHolder, restarting };

  std::optional<QString> helperURL() const;
  void startBridge();
  void stopBridgeAndWait();
  void buildWindow(const PairingInfo& pairing);
  void buildTray();
  void watchStateFile();
  void showPairing(const PairingInfo& pairing);
  void checkBridge();
  void bridgeChecked(BridgeState state);
  void showBadge(BridgeState state);
  void refreshTray();
  void rotateNow();
  void confirmRotation(QPushButton* sender);
  void explainKeptCode(BridgeState state);

  QString resourcesDirectory_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<TodayWindow> todayWindow_;
  std::optional<ChildProcess> bridgeProcess_;
  std::unique_ptr<Pipe> outputPipe_;
  std::unique_ptr<Pipe> errorPipe_;
  // Tells of the child's exit; none once the app has stopped the child itself.
  std::unique_ptr<ChildExitWatcher> exitWatcher_;
  bool bridgeRunning_ = false;
  bool quitting_ = false;
  QString pairingURL_;
  // Owned by the window's widget tree; kept to show a new pairing after a rotation.
  RoundedImageView* qrView_ = nullptr;
  QLabel* macValue_ = nullptr;
  QLabel* codeValue_ = nullptr;
  QLabel* badge_ = nullptr;

  // The pairing the window shows, and during a rotation the one it will show.
  std::optional<PairingInfo> shown_;
  std::optional<PairingInfo> pending_;
  Rotation rotation_ = Rotation::none;
  QPointer<QPushButton> rotateSender_;
  BridgeMonitor monitor_;

  std::unique_ptr<Tray> tray_;
  QFileSystemWatcher stateWatcher_;
  QString stateFile_;
  ReceivedState received_;
};

struct OrvaneBridgeMain {
  // The single delegate, made on first use (after the application object) and kept for the
  // life of the process.
  static OrvaneBridgeApp& delegate();
  static int main(int argc, char** argv);
};

}  // namespace orvane
