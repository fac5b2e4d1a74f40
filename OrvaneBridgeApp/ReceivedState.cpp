#include "ReceivedState.hpp"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <cmath>

namespace orvane {

namespace {

// The document is a few hundred bytes; a larger file is not the bridge's.
constexpr qint64 stateFileLimit = 1024 * 1024;

QString batchTime(const QDateTime& at, const QDateTime& now, TimeStyle style) {
  const QLocale locale = QLocale::system();
  if (style == TimeStyle::clock) {
    return at.date() == now.date()
               ? QStringLiteral("at ") + locale.toString(at.time(), QLocale::ShortFormat)
               : QStringLiteral("on ") + locale.toString(at, QLocale::ShortFormat);
  }
  return ago(at.secsTo(now));
}

}  // namespace

QString ago(qint64 seconds) {
  if (seconds < 60)
    return QStringLiteral("just now");
  if (seconds < 3600)
    return QStringLiteral("%1 min ago").arg(seconds / 60);
  if (seconds < 86400)
    return QStringLiteral("%1 h ago").arg(seconds / 3600);
  const qint64 days = seconds / 86400;
  return days == 1 ? QStringLiteral("1 day ago") : QStringLiteral("%1 days ago").arg(days);
}

ReceivedState ReceivedState::read(const QString& stateFile) {
  QFile file(stateFile);
  if (!file.open(QIODevice::ReadOnly) || file.size() > stateFileLimit)
    return {};
  ReceivedState received;
  received.document = QJsonDocument::fromJson(file.readAll()).object();
  const QJsonObject& document = received.document;
  const double updatedAt = document.value(QLatin1String("updated_at")).toDouble(NAN);
  // Within a few thousand years of 1970: anything else is no time at all.
  if (std::isfinite(updatedAt) && std::abs(updatedAt) < 1e11)
    received.lastBatch = QDateTime::fromMSecsSinceEpoch(std::llround(updatedAt * 1000));
  const QJsonValue bpm =
      document.value(QLatin1String("heart_rate")).toObject().value(QLatin1String("bpm"));
  if (bpm.isDouble())
    received.heartRate = bpm.toInt();
  return received;
}

QString statusLine(BridgeState state, quint16 port, const ReceivedState& received,
                   const QDateTime& now, TimeStyle style) {
  if (!isRunning(state))
    return badgeText(state, port);
  QString line = received.lastBatch ? QStringLiteral("Running \u2014 last batch ") +
                                          batchTime(*received.lastBatch, now, style)
                                    : QStringLiteral("Running \u2014 no batch yet");
  if (received.heartRate)
    line += QStringLiteral(", %1 bpm").arg(*received.heartRate);
  return line;
}

}  // namespace orvane
