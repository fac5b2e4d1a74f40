// The companion app: its entry point and the one delegate object that owns all of its state —
// the pairing window, the long-running bridge child with its two pipes, and the current link.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

#include "ChildProcess.hpp"

class QLabel;
class QPushButton;
class QWidget;

namespace orvane {

class PairingInfo;
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

  // Reads the pairing card, starts the bridge, then builds and shows the window. Blocks for
  // the card run.
  void applicationDidFinishLaunching();
  // Asks the bridge to stop and returns without waiting for it.
  void applicationWillTerminate();
  // The two button actions; `sender` is the pressed button, whose title confirms the action.
  void copyPairingLink(QPushButton* sender);
  void rotatePairingCode(QPushButton* sender);

  QWidget* window() const { return window_.get(); }
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
  std::optional<QString> helperURL() const;
  void startBridge();
  void buildWindow(const PairingInfo& pairing);

  QString resourcesDirectory_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<TodayWindow> todayWindow_;
  std::optional<ChildProcess> bridgeProcess_;
  std::unique_ptr<Pipe> outputPipe_;
  std::unique_ptr<Pipe> errorPipe_;
  QString pairingURL_;
  // Owned by the window's widget tree; kept to show a new pairing after a rotation.
  RoundedImageView* qrView_ = nullptr;
  QLabel* macValue_ = nullptr;
  QLabel* codeValue_ = nullptr;
};

struct OrvaneBridgeMain {
  // The single delegate, made on first use (after the application object) and kept for the
  // life of the process.
  static OrvaneBridgeApp& delegate();
  static int main(int argc, char** argv);
};

}  // namespace orvane
