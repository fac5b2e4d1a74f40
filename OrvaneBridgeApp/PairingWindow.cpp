// The pairing window: a fixed 440 × 660 column of logo, title, instruction, QR code, badge,
// address and code rows, and the two buttons, laid out top-down from a 38-point top inset
// with 32-point side insets and nothing holding the bottom. Sizes in points are pixel sizes
// here. The window is built once; afterwards only the QR image, the two rows, the badge and the
// button titles change. Closing it only hides it.
#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "LightLogoView.hpp"
#include "OrvaneBridgeApp.hpp"
#include "PairingInfo.hpp"
#include "Palette.hpp"
#include "QRCodeImage.hpp"
#include "RoundedImageView.hpp"

namespace orvane {

namespace {

constexpr int restoreDelayMs = 1400;
// Long enough for any bridge to exit on its own; past it the old bridge is killed so that the
// new one can take the port.
constexpr std::chrono::milliseconds bridgeExitLimit{10'000};

const QString copyLinkTitle = QStringLiteral("Copy link");
const QString newCodeTitle = QStringLiteral("New code");

// A label whose background is a rounded, translucent white card behind its text.
class BadgeLabel : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent* event) override {
    {
      QPainter painter(this);
      painter.setRenderHint(QPainter::Antialiasing);
      // A radius beyond half the height would give a broken outline; the card becomes a pill.
      const qreal radius = std::min<qreal>({16.0, height() / 2.0, width() / 2.0});
      QPainterPath card;
      card.addRoundedRect(QRectF(rect()), radius, radius);
      painter.fillPath(card, palette::withAlpha(palette::white(), 0.72f));
    }
    QLabel::paintEvent(event);
  }
};

QFont systemFont(int size, QFont::Weight weight) {
  QFont font = QApplication::font();
  font.setPixelSize(size);
  font.setWeight(weight);
  return font;
}

// Centred, word-wrapped, plain text, at most `lines` lines tall.
template <typename Label = QLabel>
Label* label(const QString& text, int size, QFont::Weight weight, const QColor& colour,
             int lines = 2) {
  auto* view = new Label(text);
  view->setTextFormat(Qt::PlainText);
  view->setFont(systemFont(size, weight));
  QPalette colours = view->palette();
  colours.setColor(QPalette::WindowText, colour);
  view->setPalette(colours);
  view->setAlignment(Qt::AlignCenter);
  view->setWordWrap(lines > 1);
  view->setMaximumHeight(lines * QFontMetrics(view->font()).lineSpacing());
  // A long text is cut at the column's width instead of widening the window's layout.
  view->setMinimumWidth(1);
  return view;
}

QLabel* badge(const QString& text, const QColor& colour) {
  QLabel* view = label<BadgeLabel>(text, 14, QFont::Bold, colour, 1);
  view->setMinimumWidth(0);
  // Exactly as wide as its text.
  view->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  return view;
}

QLabel* valueRow(const QString& title, const QString& value) {
  return label(title + QStringLiteral(": ") + value, 14, QFont::DemiBold,
               palette::withAlpha(palette::plum(), 0.72f), 1);
}

QPushButton* button(const QString& title, const QColor& tint) {
  auto* view = new QPushButton(title);
  view->setFont(systemFont(13, QFont::Normal));
  view->setMinimumHeight(32);
  view->setCursor(Qt::PointingHandCursor);
  // A rounded bezel, in the large size, with the title in the tint colour.
  view->setStyleSheet(
      QStringLiteral("QPushButton { color: rgba(%1, %2, %3, %4);"
                     " background-color: white;"
                     " border: 1px solid rgba(43, 33, 64, 40);"
                     " border-radius: 8px; padding: 6px 18px; }"
                     "QPushButton:pressed { background-color: rgb(238, 234, 247); }")
          .arg(tint.red())
          .arg(tint.green())
          .arg(tint.blue())
          .arg(tint.alpha()));
  return view;
}

}  // namespace

void OrvaneBridgeApp::buildWindow(const PairingInfo& pairing) {
  auto root = std::make_unique<QWidget>(
      nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
  root->setAutoFillBackground(true);
  QPalette background = root->palette();
  background.setColor(QPalette::Window, palette::cream());
  root->setPalette(background);

  auto* stack = new QVBoxLayout(root.get());
  stack->setContentsMargins(32, 38, 32, 0);
  stack->setSpacing(18);

  auto* logo = new LightLogoView;
  logo->setObjectName(QStringLiteral("logo"));
  logo->setFixedSize(104, 104);
  stack->addWidget(logo, 0, Qt::AlignHCenter);

  QLabel* title = label(QStringLiteral("Link your iPhone"), 28, QFont::Bold, palette::plum());
  title->setObjectName(QStringLiteral("title"));
  stack->addWidget(title);

  QLabel* instruction = label(QStringLiteral("Scan this in Orvane to pair your Mac."), 15,
                              QFont::Medium, palette::withAlpha(palette::plum(), 0.62f));
  instruction->setObjectName(QStringLiteral("instruction"));
  stack->addWidget(instruction);

  qrView_ = new RoundedImageView(20);
  qrView_->setObjectName(QStringLiteral("qrView"));
  qrView_->setFixedSize(220, 220);
  stack->addWidget(qrView_, 0, Qt::AlignHCenter);

  // Says "running" only once a bridge has answered with the code shown.
  badge_ = badge(QString(), palette::sage());
  badge_->setObjectName(QStringLiteral("badge"));
  stack->addWidget(badge_, 0, Qt::AlignHCenter);

  auto* rows = new QWidget;
  auto* rowsStack = new QVBoxLayout(rows);
  rowsStack->setContentsMargins(0, 0, 0, 0);
  rowsStack->setSpacing(8);
  macValue_ = valueRow(QStringLiteral("Mac"), QString());
  macValue_->setObjectName(QStringLiteral("macValue"));
  codeValue_ = valueRow(QStringLiteral("Code"), QString());
  codeValue_->setObjectName(QStringLiteral("codeValue"));
  rowsStack->addWidget(macValue_);
  rowsStack->addWidget(codeValue_);
  stack->addWidget(rows);

  auto* buttons = new QWidget;
  auto* buttonsStack = new QHBoxLayout(buttons);
  buttonsStack->setContentsMargins(0, 0, 0, 0);
  buttonsStack->setSpacing(12);
  QPushButton* copyLink = button(copyLinkTitle, palette::lavender());
  copyLink->setObjectName(QStringLiteral("copyLinkButton"));
  QPushButton* newCode = button(newCodeTitle, palette::withAlpha(palette::plum(), 0.72f));
  newCode->setObjectName(QStringLiteral("newCodeButton"));
  connect(copyLink, &QPushButton::clicked, this, [this, copyLink] { copyPairingLink(copyLink); });
  connect(newCode, &QPushButton::clicked, this, [this, newCode] { rotatePairingCode(newCode); });
  buttonsStack->addWidget(copyLink, 0, Qt::AlignVCenter);
  buttonsStack->addWidget(newCode, 0, Qt::AlignVCenter);
  stack->addWidget(buttons, 0, Qt::AlignHCenter);

  // Nothing holds the column's bottom: it keeps its own height from the top inset down.
  stack->addStretch(1);
  showPairing(pairing);
  showBadge(BridgeState::checking);

  // The desktop's quit command, as the platform's menu bar gives it elsewhere.
  new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), root.get(), this, &OrvaneBridgeApp::quit);

  root->setWindowTitle(QStringLiteral("Orvane Bridge"));
  root->setFixedSize(440, 660);
  if (const QScreen* screen = root->screen())
    root->move(screen->availableGeometry().center() - root->rect().center());
  window_ = std::move(root);
  window_->show();
  // The offscreen platform (headless runs) cannot raise and says so on every call.
  if (QGuiApplication::platformName() != QLatin1String("offscreen"))
    window_->raise();
}

void OrvaneBridgeApp::copyPairingLink(QPushButton* sender) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(pairingURL_);
  sender->setText(QStringLiteral("Copied"));
  QTimer::singleShot(restoreDelayMs, sender, [sender] { sender->setText(copyLinkTitle); });
}

void OrvaneBridgeApp::showPairing(const PairingInfo& pairing) {
  shown_ = pairing;
  pairingURL_ = pairing.url();
  if (qrView_ != nullptr)
    qrView_->setImage(QRCode::image(pairingURL_));
  if (macValue_ != nullptr)
    macValue_->setText(QStringLiteral("Mac: ") + pairing.host());
  if (codeValue_ != nullptr)
    codeValue_->setText(QStringLiteral("Code: ") + pairing.code());
}

void OrvaneBridgeApp::showBadge(BridgeState state) {
  if (badge_ == nullptr || !shown_)
    return;
  badge_->setText(badgeText(state, portOf(shown_->host())));
  QPalette colours = badge_->palette();
  colours.setColor(QPalette::WindowText, state == BridgeState::checking
                                             ? palette::withAlpha(palette::plum(), 0.62f)
                                         : isRunning(state) ? palette::sage()
                                                            : palette::warning());
  badge_->setPalette(colours);
}

void OrvaneBridgeApp::rotatePairingCode(QPushButton* sender) {
  if (rotation_ != Rotation::none || quitting_)
    return;
  rotateSender_ = sender;
  // The app's own child holds the port (or is about to), or there is no bridge to rotate
  // with: nobody else's code is at stake.
  if (bridgeRunning_ || !helperURL())
    return rotateNow();
  rotation_ = Rotation::checkingHolder;
  checkBridge();
}

void OrvaneBridgeApp::stopBridgeAndWait() {
  // Its exit is expected now; it must not be taken for the new bridge's.
  exitWatcher_.reset();
  bridgeRunning_ = false;
  if (bridgeProcess_) {
    bridgeProcess_->terminate();
    if (!bridgeProcess_->waitUntilExit(bridgeExitLimit)) {
      bridgeProcess_->kill();
      bridgeProcess_->waitUntilExit(bridgeExitLimit);
    }
  }
  bridgeProcess_.reset();
}

void OrvaneBridgeApp::rotateNow() {
  stopBridgeAndWait();
  pending_ = PairingInfo::load(resourcesDirectory_, true);
  startBridge();
  rotation_ = Rotation::restarting;
  showBadge(BridgeState::checking);
  refreshTray();
  checkBridge();
}

void OrvaneBridgeApp::confirmRotation(QPushButton* sender) {
  sender->setText(QStringLiteral("Rotated"));
  QTimer::singleShot(restoreDelayMs, sender, [sender] { sender->setText(newCodeTitle); });
}

void OrvaneBridgeApp::explainKeptCode(BridgeState state) {
  const quint16 port = portOf(shown_->host());
  const QString why =
      state == BridgeState::runningOutside
          ? QStringLiteral(
                "The Orvane Bridge on port %1 was started outside this app, for example "
                "by the user service. It keeps its code until it is restarted, so this "
                "window keeps showing that code.\n\nTo make a new code, stop that "
                "bridge (systemctl --user stop orvane-bridge) and press New code again.")
          : QStringLiteral(
                "Port %1 is in use by another program, so no bridge can serve a new "
                "code. This window keeps showing the current code.\n\nStop that "
                "program, or start the app with another ORVANE_PORT, and press New "
                "code again.");
  auto* notice = new QMessageBox(QMessageBox::Information, QStringLiteral("No new code"),
                                 why.arg(port), QMessageBox::Ok, window_.get());
  notice->setObjectName(QStringLiteral("keptCodeNotice"));
  notice->setAttribute(Qt::WA_DeleteOnClose);
  notice->setWindowModality(Qt::WindowModal);
  notice->open();
}

}  // namespace orvane
