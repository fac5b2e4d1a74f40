#include "Tray.hpp"

#include <QAction>
#include <QGuiApplication>

#include "AppIcon.hpp"

namespace orvane {

Tray::Tray(QObject* parent) : QObject(parent) {
  entriesEnd_ = menu_.addSeparator();
  status_ = menu_.addAction(QString());
  status_->setEnabled(false);
  menu_.addSeparator();
  quit_ = menu_.addAction(QStringLiteral("Quit"));
  connect(&menu_, &QMenu::aboutToShow, this, &Tray::aboutToShowMenu);

  icon_.setIcon(appIcon());
  icon_.setContextMenu(&menu_);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
      emit activated();
  });
  // Shown even where no tray exists yet: Qt docks the icon when a tray appears. Headless runs
  // (the offscreen platform) never have one.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    icon_.show();
}

QAction* Tray::addEntry(const QString& title) {
  auto* entry = new QAction(title, &menu_);
  menu_.insertAction(entriesEnd_, entry);
  return entry;
}

void Tray::setStatus(const QString& line, const QString& toolTip) {
  status_->setText(line);
  icon_.setToolTip(toolTip);
}

}  // namespace orvane
