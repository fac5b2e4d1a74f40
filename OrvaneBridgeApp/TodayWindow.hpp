// The "Today" window: the heart rate of the last 24 hours as a chart, the latest reading large,
// and the other figures of the bridge's state document.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include "HeartRateHistory.hpp"

class QChart;
class QDateTimeAxis;
class QFileSystemWatcher;
class QJsonObject;
class QLabel;
class QLineSeries;
class QStackedWidget;
class QValueAxis;

namespace orvane {

class TodayWindow : public QWidget {
  Q_OBJECT

 public:
  // `dataDirectory` is where the bridge writes "state.json" and "history.jsonl".
  explicit TodayWindow(const QString& dataDirectory, QWidget* parent = nullptr);

 signals:
  // The window shows what the files held a moment ago.
  void refreshed();

 protected:
  // The files are watched only while the window is shown; hidden, it does nothing at all.
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void refresh();
  void showChart(double now, double baseline);
  void showFigures(double now, const QJsonObject& state);

  QString dataDirectory_;
  HeartRateHistory history_;
  QFileSystemWatcher* watcher_ = nullptr;
  // Gathers the bursts of change notices that one batch makes (history, then state) into one
  // refresh.
  QTimer settle_;

  QLabel* latest_ = nullptr;
  QLabel* hrv_ = nullptr;
  QLabel* resting_ = nullptr;
  QLabel* sleep_ = nullptr;
  QLabel* oxygen_ = nullptr;
  QLabel* respiration_ = nullptr;
  QLabel* flags_ = nullptr;
  QStackedWidget* body_ = nullptr;
  QLabel* empty_ = nullptr;
  QChart* chart_ = nullptr;
  QDateTimeAxis* timeAxis_ = nullptr;
  QValueAxis* bpmAxis_ = nullptr;
  QLineSeries* baseline_ = nullptr;
};

}  // namespace orvane
