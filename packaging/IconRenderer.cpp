// Writes the app's icon into an icon-theme tree: for each side n given, the file
// <directory>/<n>x<n>/apps/OrvaneBridgeApp.png, drawn by the same code as the window's icon.
// Runs at build time: drawing into an image needs no display, so no GUI application is made.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

#include "AppIcon.hpp"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() < 3) {
    std::fputs("usage: orvane_icon_renderer DIRECTORY SIDE...\n", stderr);
    return 2;
  }
  const QDir root(arguments.at(1));
  for (qsizetype i = 2; i < arguments.size(); ++i) {
    bool ok = false;
    const int side = arguments.at(i).toInt(&ok);
    if (!ok || side < 1 || side > 4096) {
      std::fprintf(stderr, "orvane_icon_renderer: bad side %s\n", qPrintable(arguments.at(i)));
      return 2;
    }
    const QString folder = QStringLiteral("%1x%1/apps").arg(side);
    const QString file = root.filePath(folder + QLatin1Char('/') + orvane::appIconName + ".png");
    if (!root.mkpath(folder) || !orvane::renderAppIcon(side).save(file, "PNG")) {
      std::fprintf(stderr, "orvane_icon_renderer: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
