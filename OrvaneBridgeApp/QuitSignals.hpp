// The platform's quit path on Linux: SIGTERM, SIGINT and SIGHUP (the session ending) make the
// application leave its event loop in order, so that aboutToQuit runs and the bridge is asked
// to stop. A second signal while the first is being handled changes nothing.
#pragma once

#include <QCoreApplication>

namespace orvane {

// Installs the handlers for the life of the process. Throws std::system_error if the
// self-pipe cannot be made.
void routeQuitSignals(QCoreApplication& application);

}  // namespace orvane
