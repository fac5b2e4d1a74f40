// At most one bridge child runs at a time, and never together with a card run: a rotation
// stops the old child and waits for it before the card run, and the new child starts only
// after the card run has ended, so it finds the port free and reads the new code. Quitting
// asks the child to stop, exactly once, and does not wait. What the window and the tray say
// about the bridge comes from asking it (BridgeMonitor), when the window is shown, the tray
// menu opens, a rotation ends or the child exits; nothing runs on a timer while idle.
#include "OrvaneBridgeApp.hpp"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <chrono>
#include <utility>

#include "BundleResources.hpp"
#include "DataDirectory.hpp"
#include "PairingWindow.hpp"
#include "TodayWindow.hpp"
#include "Tray.hpp"

namespace orvane {
namespace {

// Long enough for any bridge to exit on its own; past it the old bridge is killed so that the
// new one can take the port.
constexpr std::chrono::milliseconds bridgeExitLimit{10'000};

QString dataDirectory() {
  return QFile::decodeName(DataDirectory::fromEnvironment().path().c_str());
}

// On Wayland only a launch's activation token lets a window take the focus, and Qt reads it
// from the environment when the window asks for activation (or is mapped anew). Under X11 the
// token plays no part.
void bringToFront(QWidget* window, const QByteArray& activationToken) {
  if (!activationToken.isEmpty())
    qputenv("XDG_ACTIVATION_TOKEN", activationToken);
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  // The offscreen platform (headless runs) cannot raise and says so on every call.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    window->raise();
  window->activateWindow();
  // Spent, and not the bridge's.
  qunsetenv("XDG_ACTIVATION_TOKEN");
}

}  // namespace

OrvaneBridgeApp::OrvaneBridgeApp(QString resourcesDirectory)
    : resourcesDirectory_(std::move(resourcesDirectory)), monitor_([this] {
        if (!bridgeExecutable())
          return ChildStatus::notFound;
        return bridge_.isRunning() ? ChildStatus::running : ChildStatus::exited;
      }) {
  connect(&monitor_, &BridgeMonitor::checked, this, &OrvaneBridgeApp::bridgeChecked);
  connect(&bridge_, &BridgeChild::exited, this, &OrvaneBridgeApp::checkBridge);
}

OrvaneBridgeApp::~OrvaneBridgeApp() = default;

void OrvaneBridgeApp::handleLaunch(const QStringList& arguments,
                                   const QByteArray& activationToken) {
  if (!window_)
    start();
  if (arguments.contains(QStringLiteral("--today"))) {
    // The pairing window comes back too, behind the "Today" window that takes the focus.
    showPairingWindow();
    showTodayWindow(activationToken);
  } else {
    showPairingWindow(activationToken);
  }
}

void OrvaneBridgeApp::start() {
  // An ordinary top-level window already makes a regular, frontable application here; there
  // is no activation policy to set.
  const PairingInfo pairing = PairingInfo::load(resourcesDirectory_, false);
  startBridge();
  window_ = std::make_unique<PairingWindow>();
  connect(window_.get(), &PairingWindow::newCodeRequested, this,
          &OrvaneBridgeApp::rotatePairingCode);
  connect(window_.get(), &PairingWindow::quitRequested, this, &OrvaneBridgeApp::quit);
  tray_ = std::make_unique<Tray>(dataDirectory());
  connect(tray_.get(), &Tray::showPairingRequested, this, [this] { showPairingWindow(); });
  connect(tray_.get(), &Tray::showTodayRequested, this, [this] { showTodayWindow(); });
  connect(tray_.get(), &Tray::quitRequested, this, &OrvaneBridgeApp::quit);
  connect(tray_.get(), &Tray::aboutToShowMenu, this, &OrvaneBridgeApp::checkBridge);
  showPairing(pairing);
  showBridgeState(BridgeState::checking);
}

void OrvaneBridgeApp::stopBridge() {
  if (std::exchange(quitting_, true))
    return;
  bridge_.terminate();
}

void OrvaneBridgeApp::quit() {
  stopBridge();
  QCoreApplication::quit();
}

void OrvaneBridgeApp::showPairingWindow(const QByteArray& activationToken) {
  if (!window_)
    return;
  bringToFront(window_.get(), activationToken);
  checkBridge();
}

void OrvaneBridgeApp::showTodayWindow(const QByteArray& activationToken) {
  if (!todayWindow_)
    todayWindow_ = std::make_unique<TodayWindow>(dataDirectory());
  bringToFront(todayWindow_.get(), activationToken);
}

std::optional<QString> OrvaneBridgeApp::bridgeExecutable() const {
  return locateBridge(resourcesDirectory_);
}

void OrvaneBridgeApp::startBridge() {
  if (const std::optional<QString> executable = bridgeExecutable())
    bridge_.start(*executable);
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
    window_->confirmNewCode();
  }
  showBridgeState(state);
  if (rotation == Rotation::checkingHolder) {
    if (state == BridgeState::runningOutside || state == BridgeState::portInUse)
      window_->explainKeptCode(state, portOf(shown_->host()));
    else
      rotateNow();
  }
}

void OrvaneBridgeApp::rotatePairingCode() {
  if (rotation_ != Rotation::none || quitting_)
    return;
  // The app's own child holds the port (or is about to), or there is no bridge to rotate
  // with: nobody else's code is at stake.
  if (bridge_.isRunning() || !bridgeExecutable())
    return rotateNow();
  rotation_ = Rotation::checkingHolder;
  checkBridge();
}

void OrvaneBridgeApp::rotateNow() {
  bridge_.stopAndWait(bridgeExitLimit);
  pending_ = PairingInfo::load(resourcesDirectory_, true);
  startBridge();
  rotation_ = Rotation::restarting;
  showBridgeState(BridgeState::checking);
  checkBridge();
}

void OrvaneBridgeApp::showPairing(const PairingInfo& pairing) {
  shown_ = pairing;
  window_->setPairing(pairing);
}

void OrvaneBridgeApp::showBridgeState(BridgeState state) {
  const quint16 port = portOf(shown_->host());
  window_->setBridgeState(state, port, bridge_.lastErrorLine());
  tray_->setBridgeState(state, port);
}

}  // namespace orvane
