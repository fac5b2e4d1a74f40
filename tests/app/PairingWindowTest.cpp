// The pairing window as a widget; the app with it: "New code" around the bridge's restart and
// Ctrl+Q.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>

#include <QSignalSpy>

#include "AppTestSupport.hpp"
#include "PairingWindow.hpp"
#include "RoundedImageView.hpp"

namespace orvane {
namespace {

TEST(PairingWindow, ShowsThePairingCopiesItsLinkAndPassesOnWhatIsAsked) {
  PairingWindow window;
  window.setPairing(PairingInfo("10.2.2.2:8788", "c\u00e9dar-owl-2"));
  window.show();
  window.activateWindow();
  EXPECT_EQ(window.size(), QSize(440, 660));
  EXPECT_EQ(window.hostRow()->text(), "Computer: 10.2.2.2:8788");
  EXPECT_EQ(window.codeRow()->text(), "Code: c\u00e9dar-owl-2");
  const QByteArray link =
      QStringLiteral("orvane://pair?host=10.2.2.2:8788&code=c\u00e9dar-owl-2").toUtf8();
  // What is on screen, scaled into the 220 × 220 card, scans as the link.
  EXPECT_EQ(test::decodeQR(window.qrView()->grab().toImage()), link);
  // Top-down from a 38-point top inset, 18 points apart: logo, title, instruction, QR, badge.
  const auto item = [&](int i) { return window.layout()->itemAt(i)->widget()->geometry(); };
  EXPECT_EQ(item(0), QRect(168, 38, 104, 104));
  for (int i = 1; i < 5; ++i)
    EXPECT_EQ(item(i).y(), item(i - 1).bottom() + 19) << i;

  window.copyLinkButton()->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toUtf8(), link);
  EXPECT_EQ(window.copyLinkButton()->text(), "Copied");
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.copyLinkButton()->text() == "Copy link"; }));

  QSignalSpy newCode(&window, &PairingWindow::newCodeRequested);
  QSignalSpy quit(&window, &PairingWindow::quitRequested);
  window.newCodeButton()->click();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(newCode.count(), 1);
  EXPECT_EQ(quit.count(), 1);
}

using AppPairing = test::FakeBridgeTest;

TEST_F(AppPairing, NewCodeRestartsTheBridgeAroundACardRunAndShowsItsCode) {
  installFakeAt(resources() / "OrvaneBridge");
  launch();
  ASSERT_NO_FATAL_FAILURE(expectCardRunThenServer("--pairing"));
  PairingWindow* window = app_->window();

  const pid_t first = app_->bridgePid();
  window->newCodeButton()->click();
  // The old server is stopped and reaped before the card run; the new one starts after it.
  EXPECT_EQ(events_.next(), "TERM " + std::to_string(first));
  expectCardRunThenServer("--rotate-pairing");
  EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), -1);
  // The new code shows once the restarted bridge has been asked (this one never answers).
  QPushButton* rotate = window->newCodeButton();
  EXPECT_TRUE(QTest::qWaitFor([&] { return rotate->text() == "Rotated"; }, 10'000));
  EXPECT_EQ(window->pairingURL(), "orvane://pair?host=10.2.2.2:8788&code=cedar-owl-2");
  EXPECT_TRUE(QTest::qWaitFor([&] { return rotate->text() == "New code"; }, 10'000));

  // Ctrl+Q: one request to stop, also when the end of the event loop asks again.
  const pid_t second = app_->bridgePid();  // reaped as soon as it has gone
  emit window->quitRequested();
  EXPECT_EQ(events_.next(), "TERM " + std::to_string(second));
  app_->stopBridge();
  EXPECT_EQ(events_.next(0), std::nullopt);
}

// The handle of a bridge that could not start must never be signalled: its pid, -1, means all.
TEST_F(AppPairing, WithABridgeThatCannotStartShowsTheFallbacksAndKeepsWorking) {
  std::filesystem::create_directory(resources() / "OrvaneBridge");  // without the executable
  launch();
  app_->window()->newCodeButton()->click();
  app_->stopBridge();
  EXPECT_EQ(app_->window()->pairingURL(), "orvane://pair?host=127.0.0.1:8788&code=");
}

}  // namespace
}  // namespace orvane
