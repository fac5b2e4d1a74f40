// What the bridge has received, as a person checks it when pairing seems not to work: whether
// batches arrive, and the latest heart rate. Read from "state.json" in the data directory,
// which the bridge rewrites after every batch; the tray's status line and the "Today" window
// both read it here, and both say how long ago with `ago`.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "BridgeStatus.hpp"

namespace orvane {

struct ReceivedState {
  QJsonObject document;                // the whole state document
  std::optional<QDateTime> lastBatch;  // the document's "updated_at"
  std::optional<int> heartRate;        // "heart_rate"."bpm"

  // Nothing for a missing or unreadable file.
  static ReceivedState read(const QString& stateFile);
};

// "just now", "5 min ago", "3 h ago", "1 day ago", "4 days ago": whole units, rounded down.
QString ago(qint64 seconds);

enum class TimeStyle {
  relative,  // "2 min ago": for text read at once, like a menu being opened
  clock,     // "at 14:32": for text that may be read long after it was set, like a tooltip
};

// "Running — last batch 2 min ago, 72 bpm", "Running — no batch yet", or the badge's text
// when no bridge is running.
QString statusLine(BridgeState state, quint16 port, const ReceivedState& received,
                   const QDateTime& now, TimeStyle style);

}  // namespace orvane
