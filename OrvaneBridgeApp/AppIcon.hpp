// The app's icon: the heart logo on a transparent square. The installed icon theme files are
// drawn by the same code, so the window and the application menu show the same picture.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace orvane {

// The name under which the icon is installed in the hicolor theme and given in the desktop
// entry.
inline const QString appIconName = QStringLiteral("OrvaneBridgeApp");

// The logo drawn on a transparent side × side image; a null image for a side below 1.
QImage renderAppIcon(int side);

// The theme's icon of that name when the theme has it, else the logo drawn at the usual sizes.
QIcon appIcon();

}  // namespace orvane
