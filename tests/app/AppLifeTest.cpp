// The app's life on a desktop: one app per data directory (a later launch hands over to the
// first, also after the first was killed); Ctrl+Q and the tray's "Quit" stop the bridge with one
// request; the badge says "running" only while a bridge answers with the code shown, and "New
// code" never shows a code that the serving bridge refuses (against the real bridge).
#include <gtest/gtest.h>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include "AppTestSupport.hpp"
#include "OrvaneBridgeApp.hpp"
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
    for (const char* dir : {"data", "runtime", "app/OrvaneBridgeApp.resources"})
      std::filesystem::create_directories(root_.path() / dir);
    std::filesystem::permissions(root_.path() / "runtime", std::filesystem::perms::owner_all);
    ::setenv("ORVANE_DIR", (root_.path() / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_.path() / "runtime").c_str(), 1);
    installFake(/*surviveTerm=*/true);
  }
  void TearDown() override {
    FakeBridgeTest::TearDown();
    ::unsetenv("ORVANE_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  // The real program, with a fake bridge of its own that reports to the same channel.
  void startProgram(QProcess& program, const QStringList& arguments = {}) {
    const std::filesystem::path dir = root_.path() / "app";
    if (std::filesystem::copy_file(ORVANE_APP_PATH, dir / "OrvaneBridgeApp",
                                   std::filesystem::copy_options::skip_existing))
      installFakeAt(dir / "OrvaneBridgeApp.resources" / "OrvaneBridge", true);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_ACTIVATION_TOKEN", "from-the-launcher");
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(test::qPath(dir / "OrvaneBridgeApp"), arguments);
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
  ASSERT_NE(app_->todayWindow(), nullptr);
  EXPECT_TRUE(app_->todayWindow()->isVisible());
  EXPECT_EQ(events_.next(0), std::nullopt);  // no card run, no second bridge
  ASSERT_EQ(handedOver.count(), 1);
  EXPECT_EQ(handedOver[0][1].toByteArray(), "from-the-launcher");  // raises it on Wayland
}

class AppQuit : public AppInstance, public ::testing::WithParamInterface<std::string> {};

TEST_P(AppQuit, SendsTheBridgeOneTerminationRequest) {
  launch();
  expectCardRunThenServer("--pairing");
  const pid_t bridge = app_->bridgePid();
  if (GetParam() == "tray")
    app_->tray()->menu()->actions().constLast()->trigger();  // "Quit"
  else
    emit app_->window()->quitRequested();
  EXPECT_EQ(events_.next(), "TERM " + std::to_string(bridge));
  app_->stopBridge();  // as the end of the event loop calls it next
  EXPECT_EQ(events_.next(0), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Ways, AppQuit, ::testing::Values("Ctrl+Q", "tray"));

enum class Holder { ownChild, killedChild, plainListener, outsideBridge, noBridge };

class BridgeBadge : public AppInstance {
 protected:
  void SetUp() override {
    AppInstance::SetUp();
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    port_ = probe.serverPort();
    ::setenv("ORVANE_PORT", std::to_string(port_).c_str(), 1);
    std::filesystem::remove(resources() / "OrvaneBridge");
  }
  void TearDown() override {
    AppInstance::TearDown();
    ::unsetenv("ORVANE_PORT");
  }

  void hold(Holder holder) {
    if (holder == Holder::plainListener) {
      ASSERT_TRUE(listener_.listen(QHostAddress::LocalHost, port_));
      QObject::connect(&listener_, &QTcpServer::newConnection,
                       [this] { listener_.nextPendingConnection()->close(); });
    } else if (holder == Holder::outsideBridge) {
      outside_.start(QStringLiteral(ORVANE_APP_RESOURCES "/OrvaneBridge"), {});
      ASSERT_TRUE(outside_.waitForReadyRead(20'000));  // it prints once it listens
    }
    if (holder != Holder::noBridge)
      std::filesystem::create_symlink(ORVANE_APP_RESOURCES "/OrvaneBridge",
                                      resources() / "OrvaneBridge");
    launch();
  }
  bool badgeSays(const QString& text) const {
    return QTest::qWaitFor([&] { return app_->window()->badge()->text() == text; }, 20'000);
  }
  std::string token() const {
    std::string code;
    std::ifstream(root_.path() / "data" / "token") >> code;
    return code;
  }

  quint16 port_ = 0;
  QTcpServer listener_;
  QProcess outside_;
};

struct BadgeCase {
  Holder holder;
  const char* text;  // %1 is the port
  bool running;
  friend void PrintTo(const BadgeCase& row, std::ostream* out) { *out << row.text; }
};

class BadgeStates : public BridgeBadge, public ::testing::WithParamInterface<BadgeCase> {};

TEST_P(BadgeStates, SayWhatAnswersOnThePort) {
  hold(GetParam().holder);
  if (GetParam().holder == Holder::killedChild) {
    ASSERT_TRUE(badgeSays(QStringLiteral("Orvane Bridge running")));
    ::kill(app_->bridgePid(), SIGKILL);
  }
  EXPECT_TRUE(badgeSays(QString::fromUtf8(GetParam().text).replace("%1", QString::number(port_))))
      << app_->window()->badge()->text().toStdString();
  const QColor colour = app_->window()->badge()->palette().color(QPalette::WindowText);
  EXPECT_EQ(colour, GetParam().running ? palette::sage() : palette::warning());
  EXPECT_EQ(app_->tray()->status().startsWith(QStringLiteral("Running")), GetParam().running);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, BadgeStates,
    ::testing::Values(
        BadgeCase{Holder::killedChild, "Orvane Bridge stopped", false},
        BadgeCase{Holder::plainListener, "Port %1 is in use by another program", false},
        BadgeCase{Holder::outsideBridge, "Orvane Bridge running outside this app", true},
        BadgeCase{Holder::noBridge, "Orvane Bridge not found", false}));

TEST_F(BridgeBadge, NewCodeLeavesABridgeStartedOutsideAloneAndSaysWhy) {
  hold(Holder::outsideBridge);
  ASSERT_TRUE(badgeSays(QStringLiteral("Orvane Bridge running outside this app")));
  const std::string code = token();
  app_->window()->newCodeButton()->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return app_->window()->findChild<QMessageBox*>(); }, 20'000));
  EXPECT_TRUE(app_->window()->findChild<QMessageBox*>()->text().contains("keeps its code"));
  EXPECT_EQ(token(), code);
  EXPECT_EQ(app_->window()->codeRow()->text().toStdString(), "Code: " + code);
}

TEST_F(BridgeBadge, NewCodeWhoseBridgeFailsToStartShowsItStopped) {
  hold(Holder::ownChild);
  ASSERT_TRUE(badgeSays(QStringLiteral("Orvane Bridge running")));
  const std::string old = token();
  // From now on the bridge makes its card but cannot serve.
  std::filesystem::remove(resources() / "OrvaneBridge");
  test::writeFile(resources() / "OrvaneBridge",
                  "#!/bin/sh\n[ \"$1\" = --rotate-pairing ] && exec '" ORVANE_APP_RESOURCES
                  "/OrvaneBridge' \"$1\"\nexit 1\n");
  std::filesystem::permissions(resources() / "OrvaneBridge", std::filesystem::perms::owner_all);
  app_->window()->newCodeButton()->click();
  EXPECT_TRUE(badgeSays(QStringLiteral("Orvane Bridge stopped")));
  EXPECT_NE(token(), old);
  EXPECT_EQ(app_->window()->codeRow()->text().toStdString(), "Code: " + token());
}

}  // namespace
}  // namespace orvane
