// At most one bridge child runs at a time, and never together with a card run: a rotation
// stops the old child and waits for it before the card run, and the new child starts only
// after the card run has ended, so it finds the port free and reads the new code. Quitting
// asks the child to stop and does not wait. Nothing here reports an error: every failure ends
// in a fallback value or in doing nothing.
#include "OrvaneBridgeApp.hpp"

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <system_error>
#include <utility>

#include "AppIcon.hpp"
#include "BundleResources.hpp"
#include "DataDirectory.hpp"
#include "PairingInfo.hpp"
#include "QuitSignals.hpp"
#include "RoundedImageView.hpp"
#include "TodayWindow.hpp"

namespace orvane {

OrvaneBridgeApp::OrvaneBridgeApp(QString resourcesDirectory)
    : resourcesDirectory_(std::move(resourcesDirectory)) {}

OrvaneBridgeApp::~OrvaneBridgeApp() = default;

pid_t OrvaneBridgeApp::bridgePid() const {
  return bridgeProcess_ && bridgeProcess_->launched() ? bridgeProcess_->pid() : -1;
}

void OrvaneBridgeApp::applicationDidFinishLaunching() {
  // An ordinary top-level window already makes a regular, frontable application here; there
  // is no activation policy to set.
  const PairingInfo pairing = PairingInfo::load(resourcesDirectory_, false);
  startBridge();
  buildWindow(pairing);
  window_->activateWindow();
}

void OrvaneBridgeApp::applicationWillTerminate() {
  if (bridgeProcess_)
    bridgeProcess_->terminate();
}

void OrvaneBridgeApp::showTodayWindow() {
  if (!todayWindow_)
    todayWindow_ = std::make_unique<TodayWindow>(QFile::decodeName(dataDir().c_str()));
  if (todayWindow_->isMinimized())
    todayWindow_->showNormal();
  else
    todayWindow_->show();
  // The offscreen platform (headless runs) cannot raise and says so on every call.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    todayWindow_->raise();
  todayWindow_->activateWindow();
}

std::optional<QString> OrvaneBridgeApp::helperURL() const {
  return locateBridge(resourcesDirectory_);
}

void OrvaneBridgeApp::startBridge() {
  const std::optional<QString> executable = helperURL();
  if (!executable)
    return;
  try {
    auto output = std::make_unique<Pipe>();
    auto error = std::make_unique<Pipe>();
    outputPipe_ = std::move(output);
    errorPipe_ = std::move(error);
  } catch (const std::system_error&) {
    // Out of descriptors: the same as a failed launch.
    bridgeProcess_.emplace();
    return;
  }
  ChildProcess child = ChildProcess::launch(QFile::encodeName(*executable).toStdString(), {},
                                            outputPipe_->writeEnd(), errorPipe_->writeEnd());
  // The child holds its own copies; the pipes are kept, unread, for the child's lifetime.
  outputPipe_->closeWriteEnd();
  errorPipe_->closeWriteEnd();
  bridgeProcess_ = std::move(child);
}

OrvaneBridgeApp& OrvaneBridgeMain::delegate() {
  // Never destroyed: its window must not outlive the application object's teardown in a
  // destructor that runs after main has returned.
  static OrvaneBridgeApp* const instance = new OrvaneBridgeApp(defaultResourcesDirectory());
  return *instance;
}

int OrvaneBridgeMain::main(int argc, char** argv) {
  QApplication application(argc, argv);
  // Ties the window to the installed desktop entry (its icon and name in docks and switchers).
  QGuiApplication::setDesktopFileName(appIconName);
  QApplication::setWindowIcon(appIcon());
  // Closing the window neither quits nor stops the bridge; quitting is the session's or a
  // signal's business.
  QApplication::setQuitOnLastWindowClosed(false);
  try {
    routeQuitSignals(application);
  } catch (const std::system_error&) {
    // Without the self-pipe a signal ends the app the default way, leaving the bridge running.
  }
  OrvaneBridgeApp& app = delegate();
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                   [&app] { app.applicationWillTerminate(); });
  // "--today" opens the "Today" window as well, in front of the pairing window.
  const bool today = QCoreApplication::arguments().contains(QStringLiteral("--today"));
  QTimer::singleShot(0, &app, [&app, today] {
    app.applicationDidFinishLaunching();
    if (today)
      app.showTodayWindow();
  });
  return QApplication::exec();
}

}  // namespace orvane
