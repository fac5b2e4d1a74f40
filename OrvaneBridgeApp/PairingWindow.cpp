// Sizes in points are pixel sizes here. The column is laid out top-down from a 38-point top
// inset with 32-point side insets and nothing holding the bottom. The window is built once;
// afterwards only the QR image, the two rows, the badge and the button titles change. Closing it
// only hides it.
#include "PairingWindow.hpp"

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

#include "LightLogoView.hpp"
#include "Palette.hpp"
#include "QRCodeImage.hpp"
#include "RoundedImageView.hpp"

namespace orvane {

namespace {

constexpr int restoreDelayMs = 1400;

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

PairingWindow::PairingWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint) {
  setAutoFillBackground(true);
  QPalette background = palette();
  background.setColor(QPalette::Window, palette::cream());
  setPalette(background);

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(32, 38, 32, 0);
  stack->setSpacing(18);

  auto* logo = new LightLogoView;
  logo->setFixedSize(104, 104);
  stack->addWidget(logo, 0, Qt::AlignHCenter);
  stack->addWidget(label(QStringLiteral("Link your iPhone"), 28, QFont::Bold, palette::plum()));
  stack->addWidget(label(QStringLiteral("Scan this in Orvane to pair your computer."), 15,
                         QFont::Medium, palette::withAlpha(palette::plum(), 0.62f)));

  qrView_ = new RoundedImageView(20);
  qrView_->setFixedSize(220, 220);
  stack->addWidget(qrView_, 0, Qt::AlignHCenter);

  // Says "running" only once a bridge has answered with the code shown.
  badge_ = orvane::badge(QString(), palette::sage());
  stack->addWidget(badge_, 0, Qt::AlignHCenter);

  auto* rows = new QWidget;
  auto* rowsStack = new QVBoxLayout(rows);
  rowsStack->setContentsMargins(0, 0, 0, 0);
  rowsStack->setSpacing(8);
  hostRow_ = valueRow(QStringLiteral("Computer"), QString());
  codeRow_ = valueRow(QStringLiteral("Code"), QString());
  rowsStack->addWidget(hostRow_);
  rowsStack->addWidget(codeRow_);
  stack->addWidget(rows);

  auto* buttons = new QWidget;
  auto* buttonsStack = new QHBoxLayout(buttons);
  buttonsStack->setContentsMargins(0, 0, 0, 0);
  buttonsStack->setSpacing(12);
  copyLink_ = button(copyLinkTitle, palette::lavender());
  newCode_ = button(newCodeTitle, palette::withAlpha(palette::plum(), 0.72f));
  connect(copyLink_, &QPushButton::clicked, this, &PairingWindow::copyPairingLink);
  connect(newCode_, &QPushButton::clicked, this, &PairingWindow::newCodeRequested);
  buttonsStack->addWidget(copyLink_, 0, Qt::AlignVCenter);
  buttonsStack->addWidget(newCode_, 0, Qt::AlignVCenter);
  stack->addWidget(buttons, 0, Qt::AlignHCenter);

  // Nothing holds the column's bottom: it keeps its own height from the top inset down.
  stack->addStretch(1);

  // The desktop's quit command, as the platform's menu bar gives it elsewhere.
  new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this, this, &PairingWindow::quitRequested);

  setWindowTitle(QStringLiteral("Orvane Bridge"));
  setFixedSize(440, 660);
  if (const QScreen* screen = this->screen())
    move(screen->availableGeometry().center() - rect().center());
}

void PairingWindow::setPairing(const PairingInfo& pairing) {
  pairingURL_ = pairing.url();
  qrView_->setImage(QRCode::image(pairingURL_));
  hostRow_->setText(QStringLiteral("Computer: ") + pairing.host());
  codeRow_->setText(QStringLiteral("Code: ") + pairing.code());
}

void PairingWindow::setBridgeState(BridgeState state, quint16 port, const QString& reason) {
  badge_->setText(badgeText(state, port));
  badge_->setToolTip(isRunning(state) || state == BridgeState::checking ? QString() : reason);
  QPalette colours = badge_->palette();
  colours.setColor(QPalette::WindowText, state == BridgeState::checking
                                             ? palette::withAlpha(palette::plum(), 0.62f)
                                         : isRunning(state) ? palette::sage()
                                                            : palette::warning());
  badge_->setPalette(colours);
}

void PairingWindow::copyPairingLink() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(pairingURL_);
  copyLink_->setText(QStringLiteral("Copied"));
  QTimer::singleShot(restoreDelayMs, copyLink_, [this] { copyLink_->setText(copyLinkTitle); });
}

void PairingWindow::confirmNewCode() {
  newCode_->setText(QStringLiteral("Rotated"));
  QTimer::singleShot(restoreDelayMs, newCode_, [this] { newCode_->setText(newCodeTitle); });
}

void PairingWindow::explainKeptCode(BridgeState state, quint16 port) {
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
                                 why.arg(port), QMessageBox::Ok, this);
  notice->setAttribute(Qt::WA_DeleteOnClose);
  notice->setWindowModality(Qt::WindowModal);
  notice->open();
}

}  // namespace orvane
