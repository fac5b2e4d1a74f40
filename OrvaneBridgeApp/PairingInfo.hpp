// The app's picture of the current pairing, read from the card the bridge prints, and the
// pairing link built from it.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace orvane {

class PairingInfo {
 public:
  PairingInfo(QString host, QString code);

  // Runs the bridge found in `resourcesDirectory` once with "--pairing" (or "--rotate-pairing")
  // and reads its card. Never fails: anything that goes wrong gives the fallbacks.
  static PairingInfo load(const QString& resourcesDirectory, bool rotating = false);
  // What the card run's standard output says. Output that is not UTF-8 counts as empty.
  static PairingInfo fromCard(const QByteArray& output);

  const QString& host() const { return host_; }
  const QString& code() const { return code_; }
  // "orvane://pair?host=" + the host percent-encoded for a URL query + "&code=" + the code.
  QString url() const;

  static inline const QString fallbackHost = QStringLiteral("127.0.0.1:8788");

 private:
  static std::optional<QString> firstMatch(const QString& text, const QString& pattern);

  QString host_;
  QString code_;
};

}  // namespace orvane
