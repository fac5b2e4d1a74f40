#include "TodayWindow.hpp"

#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QLabel>
#include <QLineSeries>
#include <QSignalSpy>
#include <memory>

#include "AppTestSupport.hpp"
#include "Tray.hpp"

namespace orvane {
namespace {

using Lines = std::vector<std::vector<double>>;  // the chart's: the baseline, then each run

std::string heartRate(double age, int bpm) {
  const double ts = static_cast<double>(QDateTime::currentSecsSinceEpoch()) - age;
  return R"({"type":"heart_rate","value":)" + std::to_string(bpm) + R"(,"ts":)" +
         std::to_string(ts) + ",\"unit\":\"\",\"device\":\"Phone\"}\n";
}

class TodayWindowTest : public test::DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    std::filesystem::create_directory(dataPath());
    window_ = std::make_unique<TodayWindow>(test::qPath(dataPath()));
  }
  void writeState(const std::string& fields, qint64 age = 0) {
    test::writeFile(dataPath() / "state.json",
                    "{\"updated_at\":" + std::to_string(QDateTime::currentSecsSinceEpoch() - age) +
                        ",\"version\":\"1.2.0\",\"orvaned\":true" + fields + "}");
  }
  // The texts of the headline, the figures, the flags and the empty-state line; "-" when hidden.
  QStringList texts() const {
    QStringList result;
    for (const char* name :
         {"latest", "hrv", "resting", "sleep", "oxygen", "respiration", "flags", "empty"}) {
      const auto* label = window_->findChild<QLabel*>(QLatin1String(name));
      result << (label->isVisibleTo(window_.get()) ? label->text() : QStringLiteral("-"));
    }
    return result;
  }
  Lines lines() const {
    Lines result;
    for (auto* series : window_->findChild<QChartView*>()->chart()->series()) {
      result.emplace_back();
      for (const QPointF& point : static_cast<QLineSeries*>(series)->points())
        result.back().push_back(point.y());
    }
    return result;
  }
  std::unique_ptr<TodayWindow> window_;
};

TEST_F(TodayWindowTest, ShowsTheDayAndTheStateDocument) {
  test::writeFile(dataPath() / "history.jsonl", heartRate(90'000, 99) + heartRate(7200, 64) +
                                                    heartRate(7000, 66) + heartRate(60, 71) +
                                                    heartRate(30, 72));
  writeState(R"(,"heart_rate":{"bpm":72,"age_seconds":150,"live":false,"trend":"steady"},)"
             R"("baseline":{"bpm":58,"source":"resting_heart_rate"},"hrv_sdnn":{"ms":48},)"
             R"("sleep_last_night_hours":7.4,"oxygen_saturation":97.0,"respiratory_rate":14.5,)"
             R"("flags":["hr_at_baseline","short_sleep"])");
  window_->show();
  EXPECT_EQ(texts(), QStringList({"72 bpm · steady · 2 min ago", "HRV 48 ms", "Resting 58 bpm",
                                  "Sleep 7.4 h", "Oxygen 97 %", "Breathing 14.5 /min",
                                  "at baseline · short sleep", "-"}));
  // Two runs, split where the phone sent nothing for almost two hours.
  EXPECT_EQ(lines(), (Lines{{58, 58}, {64, 66}, {71, 72}}));
}

// The first batch makes the history file; later ones append to it. Hidden, the window reads
// nothing.
TEST_F(TodayWindowTest, FollowsBatchesWhileShown) {
  window_->show();
  test::writeFile(dataPath() / "history.jsonl", heartRate(20, 70));
  EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == Lines{{}, {70}}; }, 5000));
  std::ofstream(dataPath() / "history.jsonl", std::ios::app) << heartRate(10, 75);
  writeState(R"(,"heart_rate":{"bpm":75,"age_seconds":10,"live":true})");
  // The state is written after the history: a refresh that has read it has read both.
  EXPECT_TRUE(QTest::qWaitFor([&] { return texts()[0] == "75 bpm · just now"; }, 5000));
  EXPECT_EQ(lines(), (Lines{{}, {70, 75}}));

  window_->hide();
  QSignalSpy refreshed(window_.get(), &TodayWindow::refreshed);
  std::ofstream(dataPath() / "history.jsonl", std::ios::app) << heartRate(5, 80);
  EXPECT_FALSE(refreshed.wait(500));
}

// The tray's status line follows "state.json" as it is written, and says how long ago in the
// same words as the window's headline.
TEST_F(TodayWindowTest, SaysHowLongAgoAsTheTrayDoes) {
  Tray tray(test::qPath(dataPath()));
  tray.setBridgeState(BridgeState::running, 8788);
  writeState(R"(,"heart_rate":{"bpm":72,"age_seconds":0})", 30 * 3600);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return tray.status() == "Running \u2014 last batch 1 day ago, 72 bpm"; }, 5000));
  window_->show();
  EXPECT_EQ(texts()[0], "72 bpm · 1 day ago");
}

}  // namespace
}  // namespace orvane
