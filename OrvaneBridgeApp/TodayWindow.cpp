// Everything shown comes from two files of the data directory: the heart-rate line from the
// history file (HeartRateHistory), everything else from "state.json", the bridge's last state
// document. The document's ages were true when it was written; the latest reading's age is
// worked out again against the clock. The bridge replaces "state.json" by renaming a new file
// over it and appends to the history, so the directory is watched for the first and the
// history file for the second. Apart from the short pause that gathers one batch's change
// notices, nothing runs on a clock: an open window that sees no batch shows the same picture
// (ages included) until it is shown again.
#include "TodayWindow.hpp"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineSeries>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

#include "Palette.hpp"
#include "ReceivedState.hpp"

namespace orvane {

namespace {

// Readings further apart than this are not joined by the line: the phone was away.
constexpr double longestGap = 15 * 60;
// Shorter than the gap, so a slice never holds one.
constexpr double slice = 2 * 60;
constexpr int settleMs = 100;

QLabel* text(const QString& name, int size, QFont::Weight weight, const QColor& colour) {
  auto* view = new QLabel;
  view->setObjectName(name);
  view->setTextFormat(Qt::PlainText);
  QFont font = view->font();
  font.setPixelSize(size);
  font.setWeight(weight);
  view->setFont(font);
  QPalette colours = view->palette();
  colours.setColor(QPalette::WindowText, colour);
  view->setPalette(colours);
  return view;
}

// Rounded down, and kept within what a qint64 holds.
qint64 wholeSeconds(double seconds) {
  return std::isnan(seconds) ? 0
                             : static_cast<qint64>(std::clamp(std::floor(seconds), -1e15, 1e15));
}

QString flagWord(const QString& flag) {
  static const QHash<QString, QString> words{
      {QStringLiteral("hr_rising"), QStringLiteral("rising")},
      {QStringLiteral("hr_high"), QStringLiteral("high")},
      {QStringLiteral("hr_elevated"), QStringLiteral("elevated")},
      {QStringLiteral("hr_below_baseline"), QStringLiteral("below baseline")},
      {QStringLiteral("hr_at_baseline"), QStringLiteral("at baseline")},
      {QStringLiteral("short_sleep"), QStringLiteral("short sleep")},
      {QStringLiteral("spo2_critical"), QStringLiteral("oxygen critical")},
      {QStringLiteral("spo2_low"), QStringLiteral("oxygen low")},
      {QStringLiteral("resp_elevated"), QStringLiteral("fast breathing")},
      {QStringLiteral("resp_slow"), QStringLiteral("slow breathing")},
  };
  return words.value(flag, QString(flag).replace(QLatin1Char('_'), QLatin1Char(' ')));
}

// Shows `prefix value suffix`, or hides the label when the document has no number there.
void figure(QLabel* label, const QString& prefix, const QJsonValue& value, const QString& suffix) {
  label->setVisible(value.isDouble());
  label->setText(prefix + QLatin1Char(' ') + QString::number(value.toDouble()) + suffix);
}

void styleAxis(QAbstractAxis* axis) {
  axis->setLabelsColor(palette::withAlpha(palette::plum(), 0.62f));
  axis->setTitleBrush(palette::withAlpha(palette::plum(), 0.62f));
  axis->setGridLineColor(palette::withAlpha(palette::plum(), 0.08f));
  axis->setLinePenColor(palette::withAlpha(palette::plum(), 0.2f));
}

}  // namespace

TodayWindow::TodayWindow(const QString& dataDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window),
      dataDirectory_(dataDirectory),
      history_(dataDirectory + QStringLiteral("/history.jsonl")) {
  setWindowTitle(QStringLiteral("Orvane Bridge — Today"));
  setAutoFillBackground(true);
  QPalette background = palette();
  background.setColor(QPalette::Window, palette::cream());
  setPalette(background);

  const QColor soft = palette::withAlpha(palette::plum(), 0.72f);
  latest_ = text(QStringLiteral("latest"), 30, QFont::Bold, palette::plum());
  hrv_ = text(QStringLiteral("hrv"), 13, QFont::DemiBold, soft);
  resting_ = text(QStringLiteral("resting"), 13, QFont::DemiBold, soft);
  sleep_ = text(QStringLiteral("sleep"), 13, QFont::DemiBold, soft);
  oxygen_ = text(QStringLiteral("oxygen"), 13, QFont::DemiBold, soft);
  respiration_ = text(QStringLiteral("respiration"), 13, QFont::DemiBold, soft);
  flags_ = text(QStringLiteral("flags"), 13, QFont::Bold, palette::plum());
  flags_->setStyleSheet(QStringLiteral(
      "background-color: rgba(255, 255, 255, 184); border-radius: 10px; padding: 3px 10px;"));
  empty_ =
      text(QStringLiteral("empty"), 15, QFont::Medium, palette::withAlpha(palette::plum(), 0.62f));
  empty_->setText(QStringLiteral("No readings in the last 24 hours — is the phone paired?"));
  empty_->setAlignment(Qt::AlignCenter);
  empty_->setWordWrap(true);

  chart_ = new QChart;
  chart_->legend()->hide();
  chart_->setBackgroundBrush(palette::cream());
  chart_->setBackgroundRoundness(0);
  chart_->setMargins(QMargins(0, 8, 8, 0));
  timeAxis_ = new QDateTimeAxis;
  timeAxis_->setFormat(QStringLiteral("HH:mm"));
  // A 25-hour span from a whole hour puts the ticks on every fifth hour.
  timeAxis_->setTickCount(6);
  bpmAxis_ = new QValueAxis;
  bpmAxis_->setLabelFormat(QStringLiteral("%d"));
  bpmAxis_->setTitleText(QStringLiteral("bpm"));
  styleAxis(timeAxis_);
  styleAxis(bpmAxis_);
  chart_->addAxis(timeAxis_, Qt::AlignBottom);
  chart_->addAxis(bpmAxis_, Qt::AlignLeft);
  baseline_ = new QLineSeries;
  baseline_->setName(QStringLiteral("baseline"));
  baseline_->setPen(QPen(palette::sage(), 2, Qt::DashLine));
  chart_->addSeries(baseline_);
  baseline_->attachAxis(timeAxis_);
  baseline_->attachAxis(bpmAxis_);
  auto* chartView = new QChartView(chart_);
  chartView->setObjectName(QStringLiteral("chart"));
  chartView->setRenderHint(QPainter::Antialiasing);
  chartView->setStyleSheet(QStringLiteral("background: transparent; border: none;"));

  body_ = new QStackedWidget;
  body_->addWidget(chartView);
  body_->addWidget(empty_);

  auto* figures = new QHBoxLayout;
  figures->setSpacing(18);
  for (QLabel* label : {hrv_, resting_, sleep_, oxygen_, respiration_})
    figures->addWidget(label);
  figures->addStretch(1);
  auto* headline = new QHBoxLayout;
  headline->addWidget(latest_);
  headline->addStretch(1);
  headline->addWidget(flags_, 0, Qt::AlignVCenter);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 20, 24, 16);
  column->setSpacing(6);
  column->addLayout(headline);
  column->addLayout(figures);
  column->addWidget(body_, 1);
  resize(640, 420);

  settle_.setSingleShot(true);
  settle_.setInterval(settleMs);
  connect(&settle_, &QTimer::timeout, this, &TodayWindow::refresh);
}

void TodayWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (watcher_ != nullptr)
    return;
  watcher_ = new QFileSystemWatcher(this);
  const auto changed = [this] {
    if (!settle_.isActive())
      settle_.start();
  };
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
  connect(watcher_, &QFileSystemWatcher::fileChanged, this, changed);
  watcher_->addPath(dataDirectory_);
  refresh();
}

void TodayWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  settle_.stop();
  delete watcher_;
  watcher_ = nullptr;
}

void TodayWindow::refresh() {
  const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
  // A history file made (or made again) since the last look is watched from now on.
  const QString historyFile = dataDirectory_ + QStringLiteral("/history.jsonl");
  if (watcher_ != nullptr && !watcher_->files().contains(historyFile) && QFile::exists(historyFile))
    watcher_->addPath(historyFile);
  history_.refresh(now);
  const QJsonObject state =
      ReceivedState::read(dataDirectory_ + QStringLiteral("/state.json")).document;
  const QJsonValue baseline = state.value(QLatin1String("baseline"))[QLatin1String("bpm")];
  showChart(now, baseline.isDouble() ? baseline.toDouble() : NAN);
  showFigures(now, state);
  emit refreshed();
}

void TodayWindow::showChart(double now, double baseline) {
  const std::vector<Reading>& readings = history_.readings();
  body_->setCurrentWidget(readings.empty() ? static_cast<QWidget*>(empty_) : body_->widget(0));

  for (QAbstractSeries* series : chart_->series()) {
    if (series != baseline_) {
      chart_->removeSeries(series);
      delete series;
    }
  }
  // Runs of readings without a long gap, each its own line.
  double low = std::isnan(baseline) ? INFINITY : baseline;
  double high = std::isnan(baseline) ? -INFINITY : baseline;
  QList<QPointF> run;
  const auto endRun = [this, &run] {
    auto* series = new QLineSeries;
    series->setName(QStringLiteral("heart rate"));
    series->setPen(QPen(palette::withAlpha(palette::plum(), 0.72f), 2));
    series->setPointsVisible(run.size() == 1);
    series->replace(run);
    chart_->addSeries(series);
    series->attachAxis(timeAxis_);
    series->attachAxis(bpmAxis_);
    run.clear();
  };
  // The plot is a few hundred pixels wide, and a day of readings every few seconds is tens of
  // thousands of points: drawn as they are, they make the window slow to open. So each slice
  // of the day keeps only its lowest and highest reading, in time order: the same line.
  for (std::size_t first = 0, last = 0; first < readings.size(); first = last) {
    if (first > 0 && readings[first].ts - readings[first - 1].ts > longestGap)
      endRun();
    const double sliceEnd = (std::floor(readings[first].ts / slice) + 1) * slice;
    for (last = first + 1; last < readings.size() && readings[last].ts < sliceEnd;)
      ++last;
    const auto [lowest, highest] =
        std::minmax_element(readings.begin() + static_cast<std::ptrdiff_t>(first),
                            readings.begin() + static_cast<std::ptrdiff_t>(last),
                            [](const Reading& a, const Reading& b) { return a.value < b.value; });
    run.append(QPointF(std::min(lowest, highest)->ts * 1000, std::min(lowest, highest)->value));
    if (lowest != highest)
      run.append(QPointF(std::max(lowest, highest)->ts * 1000, std::max(lowest, highest)->value));
    low = std::min(low, lowest->value);
    high = std::max(high, highest->value);
  }
  if (!run.isEmpty())
    endRun();

  const double start = std::floor(now / 3600) * 3600 - HeartRateHistory::window;
  const double end = start + HeartRateHistory::window + 3600;
  timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(start * 1000)),
                      QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(end * 1000)));
  if (std::isnan(baseline))
    baseline_->clear();
  else
    baseline_->replace({QPointF(start * 1000, baseline), QPointF(end * 1000, baseline)});
  if (low <= high) {
    // Ticks on whole tens, or twenties for a day with a workout in it.
    const double step = high - low > 60 ? 20 : 10;
    low = std::floor((low - 5) / step) * step;
    high = std::ceil((high + 5) / step) * step;
    bpmAxis_->setRange(low, high);
    bpmAxis_->setTickCount(static_cast<int>((high - low) / step) + 1);
  }
}

void TodayWindow::showFigures(double now, const QJsonObject& state) {
  const QJsonObject heartRate = state.value(QLatin1String("heart_rate")).toObject();
  QStringList latest;
  if (const QJsonValue bpm = heartRate.value(QLatin1String("bpm")); bpm.isDouble()) {
    latest << QStringLiteral("%1 bpm").arg(bpm.toDouble());
    if (const QString trend = heartRate.value(QLatin1String("trend")).toString(); !trend.isEmpty())
      latest << trend;
    const QJsonValue written = state.value(QLatin1String("updated_at"));
    const QJsonValue age = heartRate.value(QLatin1String("age_seconds"));
    if (written.isDouble() && age.isDouble())
      latest << ago(wholeSeconds(now - (written.toDouble() - age.toDouble())));
  } else {
    latest << QStringLiteral("— bpm");
  }
  latest_->setText(latest.join(QStringLiteral(" · ")));

  figure(hrv_, QStringLiteral("HRV"), state.value(QLatin1String("hrv_sdnn"))[QLatin1String("ms")],
         QStringLiteral(" ms"));
  const QJsonObject baseline = state.value(QLatin1String("baseline")).toObject();
  const bool resting =
      baseline.value(QLatin1String("source")) == QLatin1String("resting_heart_rate");
  figure(resting_, resting ? QStringLiteral("Resting") : QStringLiteral("Baseline"),
         baseline.value(QLatin1String("bpm")), QStringLiteral(" bpm"));
  figure(sleep_, QStringLiteral("Sleep"), state.value(QLatin1String("sleep_last_night_hours")),
         QStringLiteral(" h"));
  figure(oxygen_, QStringLiteral("Oxygen"), state.value(QLatin1String("oxygen_saturation")),
         QStringLiteral(" %"));
  figure(respiration_, QStringLiteral("Breathing"), state.value(QLatin1String("respiratory_rate")),
         QStringLiteral(" /min"));

  QStringList words;
  for (const QJsonValue flag : state.value(QLatin1String("flags")).toArray())
    words << flagWord(flag.toString());
  flags_->setVisible(!words.isEmpty());
  flags_->setText(words.join(QStringLiteral(" · ")));
}

}  // namespace orvane
