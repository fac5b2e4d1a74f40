// Where the app finds the bridge it carries. On this platform the app's resources are the
// directory "OrvaneBridgeApp.resources" beside the app's real executable.
#pragma once

#include <QString>
#include <optional>

namespace orvane {

// The resources directory of the running app; needs the application object.
QString defaultResourcesDirectory();

// The bridge executable in `resourcesDirectory`: the entry "OrvaneBridge"; when that is a
// directory, the entry "OrvaneBridge" inside it. None when there is no such entry. Whether the
// file can be run is not checked: an unusable one shows only as a failed launch.
std::optional<QString> locateBridge(const QString& resourcesDirectory);

}  // namespace orvane
