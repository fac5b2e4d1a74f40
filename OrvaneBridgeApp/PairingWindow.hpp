// The pairing window: a fixed 440 × 660 column of logo, title, instruction, QR code of the
// pairing link, a badge saying what the bridge is doing, the computer's address and the code,
// and the buttons "Copy link" and "New code". It copies the link itself; for a new code and for
// quitting (Ctrl+Q) it only says what the person asked for. It knows nothing of processes.
#pragma once

#include <QString>
#include <QWidget>

#include "BridgeStatus.hpp"
#include "PairingInfo.hpp"

class QLabel;
class QPushButton;

namespace orvane {

class RoundedImageView;

class PairingWindow : public QWidget {
  Q_OBJECT

 public:
  explicit PairingWindow(QWidget* parent = nullptr);

  // Shows the pairing's QR code, address and code; "Copy link" copies its link from now on.
  void setPairing(const PairingInfo& pairing);
  // The badge; `port` is the pairing's, `reason` what the bridge last said on its way out.
  void setBridgeState(BridgeState state, quint16 port, const QString& reason = {});
  // "Rotated" on the "New code" button for a moment.
  void confirmNewCode();
  // Why "New code" made no code: the port is held by a bridge or program that is not the app's.
  void explainKeptCode(BridgeState state, quint16 port);

  const QString& pairingURL() const { return pairingURL_; }
  RoundedImageView* qrView() const { return qrView_; }
  QLabel* hostRow() const { return hostRow_; }
  QLabel* codeRow() const { return codeRow_; }
  QLabel* badge() const { return badge_; }
  QPushButton* copyLinkButton() const { return copyLink_; }
  QPushButton* newCodeButton() const { return newCode_; }

 signals:
  void newCodeRequested();
  void quitRequested();

 private:
  void copyPairingLink();

  QString pairingURL_;
  RoundedImageView* qrView_ = nullptr;
  QLabel* hostRow_ = nullptr;
  QLabel* codeRow_ = nullptr;
  QLabel* badge_ = nullptr;
  QPushButton* copyLink_ = nullptr;
  QPushButton* newCode_ = nullptr;
};

}  // namespace orvane
