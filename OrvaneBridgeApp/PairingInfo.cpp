// Each value is the first run of characters after its label that are neither white space nor
// U+2502; \s must be Unicode white space (line ends included), so the patterns are compiled
// with Unicode properties. Every failure ends in a fallback: host "127.0.0.1:8788", empty code.
#include "PairingInfo.hpp"

#include <QProcess>
#include <QRegularExpression>
#include <QUtf8StringView>
#include <utility>

#include "BundleResources.hpp"
#include "PairingLink.hpp"

namespace orvane {

namespace {

const QString hostPattern = QStringLiteral("Computer\\s+([^\\s\u2502]+)");
const QString codePattern = QStringLiteral("Pairing code\\s+([^\\s\u2502]+)");

// The bridge prints its card and exits at once; this only guards against a hung child.
constexpr int cardRunLimitMs = 30'000;

QByteArray runForCard(const QString& executable, bool rotating) {
  QProcess run;
  run.setProgram(executable);
  run.setArguments({rotating ? QStringLiteral("--rotate-pairing") : QStringLiteral("--pairing")});
  run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  run.setInputChannelMode(QProcess::ForwardedInputChannel);
  run.start(QIODevice::ReadOnly);
  if (!run.waitForStarted(-1))
    return {};
  if (!run.waitForFinished(cardRunLimitMs)) {
    run.kill();
    run.waitForFinished(-1);
  }
  return run.readAllStandardOutput();
}

}  // namespace

PairingInfo::PairingInfo(QString host, QString code)
    : host_(std::move(host)), code_(std::move(code)) {}

PairingInfo PairingInfo::load(const QString& resourcesDirectory, bool rotating) {
  const std::optional<QString> executable = locateBridge(resourcesDirectory);
  if (!executable)
    return PairingInfo(fallbackHost, QString());
  return fromCard(runForCard(*executable, rotating));
}

PairingInfo PairingInfo::fromCard(const QByteArray& output) {
  // fromUtf8 would replace bad bytes and read on; the card must be valid as a whole.
  const QString text =
      QUtf8StringView(output).isValidUtf8() ? QString::fromUtf8(output) : QString();
  return PairingInfo(firstMatch(text, hostPattern).value_or(fallbackHost),
                     firstMatch(text, codePattern).value_or(QString()));
}

std::optional<QString> PairingInfo::firstMatch(const QString& text, const QString& pattern) {
  const QRegularExpression expression(pattern, QRegularExpression::UseUnicodePropertiesOption);
  if (!expression.isValid())
    return std::nullopt;
  const QRegularExpressionMatch match = expression.match(text);
  if (!match.hasMatch() || match.capturedStart(1) < 0)
    return std::nullopt;
  return match.captured(1);
}

QString PairingInfo::url() const {
  // A string with a lone surrogate has no UTF-8 form; it goes into the link unchanged.
  if (!QStringView(host_).isValidUtf16() || !QStringView(code_).isValidUtf16())
    return QStringLiteral("orvane://pair?host=") + host_ + QStringLiteral("&code=") + code_;
  return QString::fromStdString(pairingLink(host_.toStdString(), code_.toStdString()));
}

}  // namespace orvane
