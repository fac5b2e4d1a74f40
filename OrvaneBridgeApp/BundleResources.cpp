// The lookup mirrors a bundle resource query: the entry must exist, but what lies inside a
// directory entry is not checked, so a directory without the executable yields a path that
// fails to launch rather than no path.
#include "BundleResources.hpp"

#include <QCoreApplication>
#include <QFileInfo>

namespace orvane {

namespace {
const QString bridgeName = QStringLiteral("OrvaneBridge");
}

QString defaultResourcesDirectory() {
  // applicationDirPath resolves symlinks, so a link to the app in bin/ still finds its resources.
  return QCoreApplication::applicationDirPath() + QStringLiteral("/OrvaneBridgeApp.resources");
}

std::optional<QString> locateBridge(const QString& resourcesDirectory) {
  const QString entry = resourcesDirectory + QLatin1Char('/') + bridgeName;
  const QFileInfo info(entry);
  if (!info.exists())
    return std::nullopt;
  if (info.isDir())
    return entry + QLatin1Char('/') + bridgeName;
  return entry;
}

}  // namespace orvane
