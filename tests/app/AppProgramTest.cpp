// Runs the real OrvaneBridgeApp program, and the app against the real OrvaneBridge.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QLabel>
#include <QProcess>
#include <QWidget>

#include "AppTestSupport.hpp"
#include "OrvaneBridgeApp.hpp"

namespace orvane {
namespace {

// A loopback port that was free a moment ago.
int freePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no free port");
  ::close(probe);
  return ntohs(address.sin_port);
}

class AppProgram : public ::testing::TestWithParam<int> {};

// Installed as bin/OrvaneBridgeApp -> ../lib/OrvaneBridgeApp/OrvaneBridgeApp, with a fake bridge
// in lib/OrvaneBridgeApp/OrvaneBridgeApp.resources: the app must find it through the link.
TEST_P(AppProgram, QuitSignalStopsTheBridgeAndEndsTheApp) {
  test::TemporaryDirectory root;
  const std::filesystem::path lib = root.path() / "lib" / "OrvaneBridgeApp";
  std::filesystem::create_directories(lib / "OrvaneBridgeApp.resources");
  std::filesystem::create_directory(root.path() / "bin");
  std::filesystem::copy_file(ORVANE_APP_PATH, lib / "OrvaneBridgeApp");
  std::filesystem::create_symlink("../lib/OrvaneBridgeApp/OrvaneBridgeApp",
                                  root.path() / "bin" / "OrvaneBridgeApp");
  test::writeFile(root.path() / "card", pairingCard("amber-fox-3", "10.3.3.3:8788"));
  test::EventChannel events(root.path() / "events");
  test::FakeBridge{root.path() / "card", root.path() / "card"}.writeTo(
      lib / "OrvaneBridgeApp.resources" / "OrvaneBridge", events, root.path() / "control");
  std::filesystem::create_directory(root.path() / "runtime");
  std::filesystem::permissions(root.path() / "runtime", std::filesystem::perms::owner_all);

  QProcess app;
  app.setProcessChannelMode(QProcess::ForwardedChannels);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), test::qPath(root.path() / "runtime"));
  app.setProcessEnvironment(environment);
  app.start(test::qPath(root.path() / "bin" / "OrvaneBridgeApp"), {});
  ASSERT_TRUE(app.waitForStarted(20'000));

  EXPECT_EQ(events.next(), "args 1 [--pairing]");
  EXPECT_EQ(events.next(), "args 0");
  const std::optional<std::string> serving = events.next();
  ASSERT_TRUE(serving && serving->rfind("serve ", 0) == 0) << serving.value_or("nothing");

  ::kill(static_cast<pid_t>(app.processId()), GetParam());
  EXPECT_EQ(events.next(), "TERM " + serving->substr(6));
  ASSERT_TRUE(app.waitForFinished(20'000));
  EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app.exitCode(), 0);
  test::releaseFakes(root.path() / "control");
}

INSTANTIATE_TEST_SUITE_P(QuitSignals, AppProgram, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

// The bridge started by the app inherits ORVANE_DIR (set by the fixture) and ORVANE_PORT.
class RealBridge : public test::DataDirTest {
 protected:
  void TearDown() override {
    ::unsetenv("ORVANE_PORT");
    DataDirTest::TearDown();
  }
};

TEST_F(RealBridge, WindowShowsTheCodeFromTheTokenFileAndQuitStopsTheServer) {
  const int port = freePort();
  ::setenv("ORVANE_PORT", std::to_string(port).c_str(), 1);
  OrvaneBridgeApp app(QStringLiteral(ORVANE_APP_RESOURCES));
  app.applicationDidFinishLaunching();
  const pid_t server = app.bridgePid();
  ASSERT_GT(server, 0);

  std::ifstream tokenFile(dataPath() / "token");
  std::string token;
  ASSERT_TRUE(std::getline(tokenFile, token));
  ASSERT_FALSE(token.empty());
  const auto* code = app.window()->findChild<QLabel*>(QStringLiteral("codeValue"));
  const auto* mac = app.window()->findChild<QLabel*>(QStringLiteral("macValue"));
  EXPECT_EQ(code->text().toStdString(), "Code: " + token);
  EXPECT_TRUE(mac->text().endsWith(QStringLiteral(":%1").arg(port))) << mac->text().toStdString();
  EXPECT_TRUE(app.pairingURL().endsWith(QString::fromStdString("&code=" + token)));

  EXPECT_TRUE(test::stillRunning(server));
  app.applicationWillTerminate();
  EXPECT_TRUE(test::waitForExit(server));
}

}  // namespace
}  // namespace orvane
