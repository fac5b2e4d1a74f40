// At most one bridge child runs at a time, and never together with a card run: a rotation
// stops the old child and waits for it before the card run, and the new child starts only
// after the card run has ended, so it finds the port free and reads the new code. Quitting
// asks the child to stop, exactly once, and does not wait. What the window and the tray say
// about the bridge comes from asking it (BridgeMonitor), when the window is shown, the tray
// menu opens, a rotation ends or the child exits; nothing runs on a timer while idle.
#include "OrvaneBridgeApp.hpp"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <system_error>
#include <utility>

#include "AppIcon.hpp"
#include "BundleResources.hpp"
#include "DataDirectory.hpp"
#include "PairingInfo.hpp"
#include "QuitSignals.hpp"
#include "RoundedImageView.hpp"
#include "SingleInstance.hpp"
#include "TodayWindow.hpp"

namespace orvane {
namespace {

void bringToFront(QWidget* window) {
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  // The offscreen platform (headless runs) cannot raise and says so on every call.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    window->raise();
  window->activateWindow();
}

}  // namespace

OrvaneBridgeApp::OrvaneBridgeApp(QString resourcesDirectory)
    : resourcesDirectory_(std::move(resourcesDirectory)), monitor_([this] {
        if (!helperURL())
          return ChildStatus::notFound;
        return bridgeRunning_ ? ChildStatus::running : ChildStatus::exited;
      }) {
  connect(&monitor_, &BridgeMonitor::checked, this, &OrvaneBridgeApp::bridgeChecked);
}

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
  buildTray();
  watchStateFile();
  window_->activateWindow();
  checkBridge();
}

void OrvaneBridgeApp::applicationWillTerminate() {
  if (std::exchange(quitting_, true))
    return;
  exitWatcher_.reset();
  if (bridgeProcess_)
    bridgeProcess_->terminate();
}

void OrvaneBridgeApp::quit() {
  applicationWillTerminate();
  QCoreApplication::quit();
}

void OrvaneBridgeApp::handleLaunch(const QStringList& arguments) {
  // "--today" opens the "Today" window in front of the pairing window.
  showPairingWindow();
  if (arguments.contains(QStringLiteral("--today")))
    showTodayWindow();
}

void OrvaneBridgeApp::showPairingWindow() {
  if (!window_)
    return;
  bringToFront(window_.get());
  checkBridge();
}

void OrvaneBridgeApp::showTodayWindow() {
  if (!todayWindow_)
    todayWindow_ = std::make_unique<TodayWindow>(
        QFile::decodeName(DataDirectory::fromEnvironment().path().c_str()));
  bringToFront(todayWindow_.get());
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
  bridgeRunning_ = child.launched();
  if (bridgeRunning_) {
    exitWatcher_ = std::make_unique<ChildExitWatcher>(child.pid());
    connect(exitWatcher_.get(), &ChildExitWatcher::exited, this, [this] {
      bridgeRunning_ = false;
      checkBridge();
    });
  }
  bridgeProcess_ = std::move(child);
}

void OrvaneBridgeApp::watchStateFile() {
  const QString directory = QFile::decodeName(DataDirectory::fromEnvironment().path().c_str());
  stateFile_ = directory + QStringLiteral("/state.json");
  // The file is replaced by a rename after every batch, which the directory sees; the
  // history's appends do not wake the app.
  if (QFileInfo::exists(directory))
    stateWatcher_.addPath(directory);
  connect(&stateWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
    received_ = ReceivedState::read(stateFile_);
    refreshTray();
  });
  received_ = ReceivedState::read(stateFile_);
  refreshTray();
}

void OrvaneBridgeApp::buildTray() {
  tray_ = std::make_unique<Tray>();
  QAction* show = tray_->addEntry(QStringLiteral("Show pairing window"));
  connect(show, &QAction::triggered, this, &OrvaneBridgeApp::showPairingWindow);
  connect(tray_->addEntry(QStringLiteral("Today…")), &QAction::triggered, this,
          &OrvaneBridgeApp::showTodayWindow);
  connect(tray_.get(), &Tray::activated, this, &OrvaneBridgeApp::showPairingWindow);
  connect(tray_->quitAction(), &QAction::triggered, this, &OrvaneBridgeApp::quit);
  connect(tray_.get(), &Tray::aboutToShowMenu, this, [this] {
    refreshTray();
    checkBridge();
  });
}

void OrvaneBridgeApp::refreshTray() {
  if (!tray_ || !shown_)
    return;
  const BridgeState state =
      rotation_ == Rotation::restarting ? BridgeState::checking : monitor_.state();
  const quint16 port = portOf(shown_->host());
  const QDateTime now = QDateTime::currentDateTime();
  tray_->setStatus(statusLine(state, port, received_, now, TimeStyle::relative),
                   QStringLiteral("Orvane Bridge\n") +
                       statusLine(state, port, received_, now, TimeStyle::clock));
}

void OrvaneBridgeApp::checkBridge() {
  const std::optional<PairingInfo>& pairing = pending_ ? pending_ : shown_;
  if (pairing && !quitting_)
    monitor_.check(portOf(pairing->host()), pairing->code());
}

void OrvaneBridgeApp::bridgeChecked(BridgeState state) {
  const Rotation rotation = std::exchange(rotation_, Rotation::none);
  if (rotation == Rotation::restarting) {
    // Served or not, this is the code any bridge started from now on takes; the badge says
    // which it is.
    showPairing(*std::exchange(pending_, std::nullopt));
    if (QPushButton* sender = rotateSender_.data())
      confirmRotation(sender);
  }
  showBadge(state);
  refreshTray();
  if (rotation == Rotation::checkingHolder) {
    if (state == BridgeState::runningOutside || state == BridgeState::portInUse)
      explainKeptCode(state);
    else
      rotateNow();
  }
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
  // Closing the window neither quits nor stops the bridge: the tray, a new launch or Ctrl+Q
  // take it from there.
  QApplication::setQuitOnLastWindowClosed(false);

  SingleInstance instance(QFile::decodeName(DataDirectory::fromEnvironment().path().c_str()));
  switch (instance.claim(QCoreApplication::arguments().mid(1))) {
    case SingleInstance::Role::first:
      break;
    case SingleInstance::Role::handedOver:
      return 0;
    case SingleInstance::Role::noAnswer:
      std::fputs("Orvane Bridge is already open for this data directory but does not answer.\n",
                 stderr);
      return 1;
  }

  try {
    routeQuitSignals(application);
  } catch (const std::system_error&) {
    // Without the self-pipe a signal ends the app the default way, leaving the bridge running.
  }
  OrvaneBridgeApp& app = delegate();
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                   [&app] { app.applicationWillTerminate(); });
  QObject::connect(&instance, &SingleInstance::launchRequested, &app,
                   &OrvaneBridgeApp::handleLaunch);
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
