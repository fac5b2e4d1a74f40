// The app's way back and way out where the window is closed: a tray icon (the heart) with a menu
// of "Show pairing window", "Today…", a disabled status line and "Quit". The status line says
// what the bridge has received, from "state.json", which the tray watches itself. The menu is a
// plain QMenu owned here, so it works, and can be driven, on a desktop without a tray; the icon
// appears once a tray does. It emits what the person asked for and does nothing else.
#pragma once

#include <QFileSystemWatcher>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include "BridgeStatus.hpp"
#include "ReceivedState.hpp"

class QAction;

namespace orvane {

class Tray : public QObject {
  Q_OBJECT

 public:
  // `dataDirectory` is where the bridge writes "state.json".
  explicit Tray(const QString& dataDirectory, QObject* parent = nullptr);

  // What the app knows of the bridge, shown with what it has received; `port` is the pairing's.
  void setBridgeState(BridgeState state, quint16 port);

  QMenu* menu() { return &menu_; }
  // The status line, as the menu shows it.
  QString status() const;

 signals:
  void showPairingRequested();
  void showTodayRequested();
  void quitRequested();
  // The menu is about to open: the moment to ask the bridge again.
  void aboutToShowMenu();

 private:
  void refresh();

  QString stateFile_;
  QFileSystemWatcher stateWatcher_;
  ReceivedState received_;
  BridgeState state_ = BridgeState::checking;
  quint16 port_ = 0;
  QMenu menu_;
  QAction* status_ = nullptr;
  QSystemTrayIcon icon_;
};

}  // namespace orvane
