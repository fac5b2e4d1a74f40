// The program: one app per data directory. A later launch hands its arguments and its
// activation token to the first and exits; the first handles its own launch the same way.
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <system_error>

#include "AppIcon.hpp"
#include "BundleResources.hpp"
#include "DataDirectory.hpp"
#include "OrvaneBridgeApp.hpp"
#include "QuitSignals.hpp"
#include "SingleInstance.hpp"

int main(int argc, char** argv) {
  using namespace orvane;
  QApplication application(argc, argv);
  // Ties the window to the installed desktop entry (its icon and name in docks and switchers).
  QGuiApplication::setDesktopFileName(appIconName);
  QApplication::setWindowIcon(appIcon());
  // Closing the window neither quits nor stops the bridge: the tray, a new launch or Ctrl+Q
  // take it from there.
  QApplication::setQuitOnLastWindowClosed(false);

  // Given by the launcher to this launch alone: it goes with the launch, not to the bridge.
  const QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
  qunsetenv("XDG_ACTIVATION_TOKEN");
  const QStringList arguments = QCoreApplication::arguments().mid(1);

  SingleInstance instance(QFile::decodeName(DataDirectory::fromEnvironment().path().c_str()));
  switch (instance.claim(arguments, activationToken)) {
    case SingleInstance::Role::first:
      break;
    case SingleInstance::Role::handedOver:
      return 0;
    case SingleInstance::Role::noAnswer:
      std::fputs("Orvane Bridge is already open for this data directory but does not answer.\n",
                 stderr);
      return 1;
  }

  try {
    routeQuitSignals(application);
  } catch (const std::system_error&) {
    // Without the self-pipe a signal ends the app the default way, leaving the bridge running.
  }
  OrvaneBridgeApp app(defaultResourcesDirectory());
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                   &OrvaneBridgeApp::stopBridge);
  QObject::connect(&instance, &SingleInstance::launchRequested, &app,
                   &OrvaneBridgeApp::handleLaunch);
  QTimer::singleShot(0, &app, [&] { app.handleLaunch(arguments, activationToken); });
  return QApplication::exec();
}
