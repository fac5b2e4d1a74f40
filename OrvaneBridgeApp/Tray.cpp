// The bridge replaces "state.json" by renaming a new file over it after every batch, which the
// directory sees; the history's appends do not wake the app.
#include "Tray.hpp"

#include <QAction>
#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>

#include "AppIcon.hpp"

namespace orvane {

Tray::Tray(const QString& dataDirectory, QObject* parent)
    : QObject(parent), stateFile_(dataDirectory + QStringLiteral("/state.json")) {
  connect(menu_.addAction(QStringLiteral("Show pairing window")), &QAction::triggered, this,
          &Tray::showPairingRequested);
  connect(menu_.addAction(QStringLiteral("Today…")), &QAction::triggered, this,
          &Tray::showTodayRequested);
  menu_.addSeparator();
  status_ = menu_.addAction(QString());
  status_->setEnabled(false);
  menu_.addSeparator();
  connect(menu_.addAction(QStringLiteral("Quit")), &QAction::triggered, this, &Tray::quitRequested);
  connect(&menu_, &QMenu::aboutToShow, this, [this] {
    refresh();  // "… ago" counts from now
    emit aboutToShowMenu();
  });

  if (QFileInfo::exists(dataDirectory))
    stateWatcher_.addPath(dataDirectory);
  connect(&stateWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
    received_ = ReceivedState::read(stateFile_);
    refresh();
  });
  received_ = ReceivedState::read(stateFile_);

  icon_.setIcon(appIcon());
  icon_.setContextMenu(&menu_);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
      emit showPairingRequested();
  });
  // Shown even where no tray exists yet: Qt docks the icon when a tray appears. Headless runs
  // (the offscreen platform) never have one.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    icon_.show();
}

void Tray::setBridgeState(BridgeState state, quint16 port) {
  state_ = state;
  port_ = port;
  refresh();
}

QString Tray::status() const {
  return status_->text();
}

void Tray::refresh() {
  if (port_ == 0)
    return;  // nothing known of the bridge yet
  const QDateTime now = QDateTime::currentDateTime();
  status_->setText(statusLine(state_, port_, received_, now, TimeStyle::relative));
  icon_.setToolTip(QStringLiteral("Orvane Bridge\n") +
                   statusLine(state_, port_, received_, now, TimeStyle::clock));
}

}  // namespace orvane
