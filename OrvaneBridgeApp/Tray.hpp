// The app's way back and way out where the window is closed: a tray icon (the heart) with a
// menu of entries, a disabled status line and "Quit". The menu is a plain QMenu owned here, so
// it works, and can be driven, on a desktop without a tray; the icon appears once a tray does.
#pragma once

#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QAction;

namespace orvane {

class Tray : public QObject {
  Q_OBJECT

 public:
  explicit Tray(QObject* parent = nullptr);

  // Adds an entry above the status line, below those added before.
  QAction* addEntry(const QString& title);
  // The status line's text, and the icon's tooltip.
  void setStatus(const QString& line, const QString& toolTip);

  QMenu* menu() { return &menu_; }
  QAction* statusAction() const { return status_; }
  QAction* quitAction() const { return quit_; }

 signals:
  // A click on the icon itself.
  void activated();
  // The menu is about to open: the moment to bring the status line up to date.
  void aboutToShowMenu();

 private:
  QMenu menu_;
  QAction* entriesEnd_ = nullptr;  // the separator above the status line
  QAction* status_ = nullptr;
  QAction* quit_ = nullptr;
  QSystemTrayIcon icon_;
};

}  // namespace orvane
