// The app's life on a desktop: one app per data directory (a later launch hands over to the
// first, also after the first was killed); a quit signal stops the bridge with one request;
// the badge says "running" only while a bridge answers with the code shown, and "New code"
// leaves a port that another program holds alone (against the real bridge).
#include <gtest/gtest.h>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>

#include "AppTestSupport.hpp"
#include "BridgeProcess.hpp"
#include "PairingWindow.hpp"
#include "Palette.hpp"
#include "SingleInstance.hpp"
#include "TodayWindow.hpp"
#include "Tray.hpp"

namespace orvane {
namespace {

class AppInstance : public test::FakeBridgeTest {
 protected:
  void SetUp() override {
    FakeBridgeTest::SetUp();
    for (const char* dir : {"data", "runtime", "bin", "lib/OrvaneBridgeApp.resources/OrvaneBridge"})
      std::filesystem::create_directories(root_.path() / dir);
    std::filesystem::permissions(root_.path() / "runtime", std::filesystem::perms::owner_all);
    ::setenv("ORVANE_DIR", (root_.path() / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_.path() / "runtime").c_str(), 1);
    installFakeAt(resources() / "OrvaneBridge", /*surviveTerm=*/true);
  }
  void TearDown() override {
    FakeBridgeTest::TearDown();
    ::unsetenv("ORVANE_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  // The real program, installed as bin/OrvaneBridgeApp -> ../lib/OrvaneBridgeApp, finds its
  // resources through the link; its bridge, a directory holding the executable, is a fake that
  // ignores the request to stop and reports to the same channel.
  void startProgram(QProcess& program, const QStringList& arguments = {}) {
    const std::filesystem::path lib = root_.path() / "lib", bin = root_.path() / "bin";
    if (std::filesystem::copy_file(ORVANE_APP_PATH, lib / "OrvaneBridgeApp",
                                   std::filesystem::copy_options::skip_existing)) {
      std::filesystem::create_symlink("../lib/OrvaneBridgeApp", bin / "OrvaneBridgeApp");
      installFakeAt(lib / "OrvaneBridgeApp.resources/OrvaneBridge/OrvaneBridge", true);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_ACTIVATION_TOKEN", "from-the-launcher");
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(test::qPath(bin / "OrvaneBridgeApp"), arguments);
    ASSERT_TRUE(program.waitForStarted(20'000));
  }
};

TEST_F(AppInstance, ALaterLaunchShowsTheFirstWindowEvenAfterAKilledFirst) {
  QProcess killed;
  startProgram(killed);
  for (int line = 0; line < 3; ++line)
    events_.next();  // its card run, its bridge's start and serving
  ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);  // its bridge stays, as in real life
  ASSERT_TRUE(killed.waitForFinished(20'000));

  // Its lock and socket are left behind; this process takes them over.
  SingleInstance first(test::qPath(root_.path() / "data"));
  ASSERT_EQ(first.claim({}), SingleInstance::Role::first);
  launch();
  expectCardRunThenServer("--pairing");
  QObject::connect(&first, &SingleInstance::launchRequested, app_.get(),
                   &OrvaneBridgeApp::handleLaunch);
  QSignalSpy handedOver(&first, &SingleInstance::launchRequested);
  app_->window()->close();

  QProcess second;
  startProgram(second, {QStringLiteral("--today")});
  EXPECT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 60'000));
  EXPECT_EQ(second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1, 0);
  EXPECT_TRUE(app_->window()->isVisible());
  EXPECT_TRUE(app_->todayWindow() && app_->todayWindow()->isVisible());
  EXPECT_EQ(events_.next(0), std::nullopt);  // no card run, no second bridge
  ASSERT_EQ(handedOver.count(), 1);
  EXPECT_EQ(handedOver[0][1].toByteArray(), "from-the-launcher");  // raises it on Wayland
}

// The app asks once and does not wait for the bridge to stop.
class AppProgram : public AppInstance, public ::testing::WithParamInterface<int> {};
TEST_P(AppProgram, QuitSignalAsksTheBridgeToStopOnceAndEndsTheApp) {
  QProcess app;
  startProgram(app);
  for (int line = 0; line < 2; ++line)
    events_.next();  // its card run and its bridge's start
  const std::string serving = events_.next().value_or("serve ?");
  ::kill(static_cast<pid_t>(app.processId()), GetParam());
  EXPECT_TRUE(app.waitForFinished(20'000));
  EXPECT_EQ(events_.next(), "TERM " + serving.substr(6));
  EXPECT_EQ(events_.next(0), std::nullopt);
}
INSTANTIATE_TEST_SUITE_P(QuitSignals, AppProgram, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

enum class Holder { killedChild, plainListener, outsideBridge, noBridge };

class BridgeBadge : public AppInstance {
 protected:
  void SetUp() override {
    AppInstance::SetUp();
    port_ = test::freePort();
    ::setenv("ORVANE_PORT", std::to_string(port_).c_str(), 1);
    std::filesystem::remove(resources() / "OrvaneBridge");
  }
  void TearDown() override {
    AppInstance::TearDown();
    ::unsetenv("ORVANE_PORT");
    ::close(defaultPort_);
  }

  void hold(Holder holder) {
    if (holder == Holder::plainListener) {
      ASSERT_TRUE(listener_.listen(QHostAddress::LocalHost, port_));
      QObject::connect(&listener_, &QTcpServer::newConnection,
                       [this] { listener_.nextPendingConnection()->close(); });
    } else if (holder == Holder::outsideBridge) {
      outside_.start(QStringLiteral(ORVANE_APP_RESOURCES "/OrvaneBridge"), {});
      ASSERT_TRUE(outside_.waitForReadyRead(20'000));  // it prints once it listens
    } else if (holder == Holder::noBridge) {
      // Without a bridge the app asks the default port: bound here but not listening, it
      // refuses, whatever else runs on this machine.
      const sockaddr_in any = test::loopbackAddress(8788, "0.0.0.0");
      if (::bind(defaultPort_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        GTEST_SKIP() << "port 8788 is in use";
    }
    if (holder != Holder::noBridge)
      std::filesystem::create_symlink(ORVANE_APP_RESOURCES "/OrvaneBridge",
                                      resources() / "OrvaneBridge");
    launch();
  }
  bool badgeSays(const QString& text) const {
    return QTest::qWaitFor([&] { return app_->window()->badge()->text() == text; }, 20'000);
  }

  quint16 port_ = 0;
  int defaultPort_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  QTcpServer listener_;
  QProcess outside_;
};

struct BadgeCase {
  Holder holder;
  const char* text;  // %1 is the port
  bool running;
  const char* keptBecause;  // what "New code" says when the port is another program's
  friend void PrintTo(const BadgeCase& row, std::ostream* out) { *out << row.text; }
};

class BadgeStates : public BridgeBadge, public ::testing::WithParamInterface<BadgeCase> {};

TEST_P(BadgeStates, SayWhatAnswersOnThePort) {
  hold(GetParam().holder);
  if (IsSkipped())
    return;
  if (GetParam().holder == Holder::killedChild) {
    ASSERT_TRUE(badgeSays(QStringLiteral("Orvane Bridge running")) && app_->bridgePid() > 0);
    ::kill(app_->bridgePid(), SIGKILL);
  }
  EXPECT_TRUE(badgeSays(QString::fromUtf8(GetParam().text).replace("%1", QString::number(port_))))
      << app_->window()->badge()->text().toStdString();
  const QColor colour = app_->window()->badge()->palette().color(QPalette::WindowText);
  EXPECT_EQ(colour, GetParam().running ? palette::sage() : palette::warning());
  EXPECT_EQ(app_->tray()->status().startsWith(QStringLiteral("Running")), GetParam().running);
  if (GetParam().keptBecause == nullptr)
    return;
  // Its own bridge, unable to take the port, has gone: nobody's code here is the app's to change.
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_->bridgePid() <= 0; }, 20'000));
  const std::optional<std::string> token = readWholeFile(root_.path() / "data" / "token");
  app_->window()->newCodeButton()->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_->window()->findChild<QMessageBox*>(); }, 20'000));
  EXPECT_TRUE(app_->window()->findChild<QMessageBox*>()->text().contains(GetParam().keptBecause));
  EXPECT_EQ(readWholeFile(root_.path() / "data" / "token"), token);
  EXPECT_EQ(app_->window()->codeRow()->text().toStdString() + "\n", "Code: " + token.value_or(""));
}

INSTANTIATE_TEST_SUITE_P(
    Holders, BadgeStates,
    ::testing::Values(BadgeCase{Holder::killedChild, "Orvane Bridge stopped", false, nullptr},
                      BadgeCase{Holder::plainListener, "Port %1 is in use by another program",
                                false, "no bridge can serve a new code"},
                      BadgeCase{Holder::outsideBridge, "Orvane Bridge running outside this app",
                                true, "keeps its code"},
                      BadgeCase{Holder::noBridge, "Orvane Bridge not found", false, nullptr}));

}  // namespace
}  // namespace orvane
