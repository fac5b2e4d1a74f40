#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.hpp"
#include "OrvaneBridgeApp.hpp"
#include "QRDecoding.hpp"
#include "RoundedImageView.hpp"

namespace orvane {
namespace {

const QString firstLink = QStringLiteral("orvane://pair?host=10.1.1.1:8788&code=amber-fox-1");
const QString rotatedLink = QStringLiteral("orvane://pair?host=10.2.2.2:8788&code=cedar-owl-2");

// The app, launched against a fake bridge that serves, after its card run, until told to stop.
class PairingWindow : public test::FakeBridgeTest {
 protected:
  void TearDown() override {
    if (app_)
      test::killAndReap(app_->bridgePid());
  }
  void launch() {
    app_ = std::make_unique<OrvaneBridgeApp>(test::qPath(resources()));
    app_->applicationDidFinishLaunching();
    ASSERT_NE(app_->window(), nullptr);
  }
  void expectCardRunThenServer(const std::string& flag) {
    EXPECT_EQ(events_.next(), "args 1 [" + flag + "]");
    EXPECT_EQ(events_.next(), "args 0");
    EXPECT_EQ(events_.next(), "serve " + std::to_string(app_->bridgePid()));
  }
  template <typename T = QLabel>
  T* find(const char* name) const {
    auto* widget = app_->window()->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QString text(const char* name) const { return find(name)->text(); }
  QByteArray qrContent() const {
    return test::decodeQR(find<RoundedImageView>("qrView")->image()).value_or("none");
  }

  std::unique_ptr<OrvaneBridgeApp> app_;
};

TEST_F(PairingWindow, ShowsTheCardInAFixedSizeWindow) {
  installFake();
  launch();
  QWidget* window = app_->window();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Orvane Bridge");
  EXPECT_EQ(window->minimumSize(), QSize(440, 660));
  EXPECT_EQ(window->maximumSize(), QSize(440, 660));
  EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

  EXPECT_EQ(text("title"), "Link your iPhone");
  EXPECT_EQ(text("instruction"), "Scan this in Orvane to pair your Mac.");
  EXPECT_EQ(text("badge"), "Checking Orvane Bridge\u2026");  // until the bridge answers
  EXPECT_EQ(text("macValue"), "Mac: 10.1.1.1:8788");
  EXPECT_EQ(text("codeValue"), "Code: amber-fox-1");
  EXPECT_EQ(find<QPushButton>("copyLinkButton")->text(), "Copy link");
  EXPECT_EQ(find<QPushButton>("newCodeButton")->text(), "New code");
  EXPECT_EQ(app_->pairingURL(), firstLink);
  EXPECT_EQ(qrContent(), firstLink.toUtf8());
  // What is on screen, scaled into the 220 × 220 card, still scans.
  EXPECT_EQ(test::decodeQR(find<RoundedImageView>("qrView")->grab().toImage()), firstLink.toUtf8());
}

TEST_F(PairingWindow, LaysOutTheColumnTopDownWithFixedGaps) {
  installFake();
  launch();
  const auto frameOf = [&](const char* name) {
    QWidget* widget = find<QWidget>(name);
    return QRect(widget->mapTo(app_->window(), QPoint(0, 0)), widget->size());
  };
  std::vector<QRect> column;
  for (const char* name : {"logo", "title", "instruction", "qrView", "badge", "macValue"})
    column.push_back(frameOf(name));
  const QRect code = frameOf("codeValue");
  const QRect copy = frameOf("copyLinkButton");
  const QRect rotate = frameOf("newCodeButton");

  EXPECT_EQ(column[0], QRect(168, 38, 104, 104));  // the logo, centred below the top inset
  EXPECT_EQ(column[3], QRect(110, column[3].top(), 220, 220));
  for (std::size_t i = 1; i < column.size(); ++i)
    EXPECT_EQ(column[i].top(), column[i - 1].bottom() + 1 + 18) << i;
  EXPECT_EQ(code.top(), column[5].bottom() + 1 + 8);
  EXPECT_GE(copy.top(), code.bottom() + 1 + 18);
  EXPECT_EQ(copy.center().y(), rotate.center().y());
  EXPECT_EQ(rotate.left(), copy.right() + 1 + 12);
  // Centred as a pair, within the side insets; the badge is centred too.
  EXPECT_NEAR(copy.left() + rotate.right(), 440, 2);
  EXPECT_NEAR(column[4].left() + column[4].right(), 440, 2);
  for (const QRect& frame : {column[1], column[2], column[5], code}) {
    EXPECT_GE(frame.left(), 32);
    EXPECT_LE(frame.right(), 440 - 32);
  }
  EXPECT_LE(rotate.bottom(), 660);
}

TEST_F(PairingWindow, CopyLinkAndNewCodeRestartTheBridgeAndShowTheNewPairingEverywhere) {
  installFake();
  launch();
  expectCardRunThenServer("--pairing");
  const pid_t first = app_->bridgePid();

  QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
  auto* copy = find<QPushButton>("copyLinkButton");
  copy->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), firstLink);
  EXPECT_EQ(copy->text(), "Copied");
  EXPECT_TRUE(QTest::qWaitFor([&] { return copy->text() == "Copy link"; }, 10'000));

  auto* rotate = find<QPushButton>("newCodeButton");
  rotate->click();
  // The old server is stopped and gone before the card run; the new one starts after it.
  EXPECT_EQ(events_.next(), "TERM " + std::to_string(first));
  expectCardRunThenServer("--rotate-pairing");
  EXPECT_FALSE(test::stillRunning(first));
  EXPECT_NE(app_->bridgePid(), first);
  EXPECT_TRUE(test::stillRunning(app_->bridgePid()));

  // Shown once the new bridge has been asked (this fake never answers).
  EXPECT_TRUE(QTest::qWaitFor([&] { return text("codeValue") == "Code: cedar-owl-2"; }, 20'000));
  EXPECT_EQ(text("macValue"), "Mac: 10.2.2.2:8788");
  EXPECT_EQ(qrContent(), rotatedLink.toUtf8());
  copy->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), rotatedLink);
  EXPECT_EQ(rotate->text(), "Rotated");
  EXPECT_TRUE(QTest::qWaitFor([&] { return rotate->text() == "New code"; }, 10'000));
}

TEST_F(PairingWindow, QuitSendsOneTerminationRequestWithoutWaiting) {
  installFake(/*surviveTerm=*/true);
  launch();
  expectCardRunThenServer("--pairing");
  const pid_t server = app_->bridgePid();

  app_->applicationWillTerminate();
  EXPECT_EQ(events_.next(), "TERM " + std::to_string(server));
  // The fake ignores the request, yet quitting has returned: nothing waited for it.
  EXPECT_TRUE(test::stillRunning(server));
  test::releaseFakes(root_.path() / "control");
  EXPECT_TRUE(test::waitForExit(server));
  EXPECT_TRUE(events_.drain().empty());  // no second request
}

TEST_F(PairingWindow, ClosingTheWindowLeavesTheBridgeRunning) {
  installFake();
  launch();
  expectCardRunThenServer("--pairing");
  app_->window()->close();
  EXPECT_FALSE(app_->window()->isVisible());
  EXPECT_TRUE(test::stillRunning(app_->bridgePid()));
  EXPECT_TRUE(events_.drain().empty());
}

TEST_F(PairingWindow, WithoutABridgeShowsTheFallbacksAndKeepsWorking) {
  launch();
  EXPECT_EQ(app_->bridgePid(), -1);
  EXPECT_EQ(text("macValue"), "Mac: 127.0.0.1:8788");
  EXPECT_EQ(text("codeValue"), "Code: ");
  EXPECT_EQ(qrContent(), "orvane://pair?host=127.0.0.1:8788&code=");

  auto* rotate = find<QPushButton>("newCodeButton");
  rotate->click();
  EXPECT_EQ(app_->bridgePid(), -1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return rotate->text() == "Rotated"; }, 20'000));
  EXPECT_EQ(text("codeValue"), "Code: ");
  app_->applicationWillTerminate();
}

TEST_F(PairingWindow, LongValuesStayOnOneLine) {
  const std::string longCode(120, 'x');
  test::writeFile(root_.path() / "card-pairing", pairingCard(longCode, "10.1.1.1:8788"));
  installFake();
  launch();
  auto* code = find("codeValue");
  EXPECT_EQ(code->text().toStdString(), "Code: " + longCode);
  EXPECT_LE(code->height(), 2 * code->fontMetrics().height());
  EXPECT_EQ(app_->window()->width(), 440);
}

}  // namespace
}  // namespace orvane
