#include "TodayWindow.hpp"

#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QLabel>
#include <QLineSeries>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>

#include "AppTestSupport.hpp"
#include "OrvaneBridgeApp.hpp"

namespace orvane {
namespace {

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
  void writeState(const std::string& fields) {
    test::writeFile(dataPath() / "state.json",
                    "{\"updated_at\":" + std::to_string(QDateTime::currentSecsSinceEpoch()) +
                        ",\"version\":\"1.2.0\",\"orvaned\":true" + fields + "}");
  }
  QString text(const char* name) const {
    const auto* label = window_->findChild<QLabel*>(QLatin1String(name));
    return label->isVisibleTo(window_.get()) ? label->text() : QStringLiteral("(hidden)");
  }
  // The chart's lines as their bpm values: the baseline first, then each run of readings.
  std::vector<std::vector<double>> lines() const {
    std::vector<std::vector<double>> result;
    for (auto* series : window_->findChild<QChartView*>()->chart()->series()) {
      result.emplace_back();
      for (const QPointF& point : static_cast<QLineSeries*>(series)->points())
        result.back().push_back(point.y());
    }
    return result;
  }
  bool eventually(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }

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
  EXPECT_EQ(text("latest"), QStringLiteral("72 bpm · steady · 2 min ago"));
  EXPECT_EQ(text("hrv"), QStringLiteral("HRV 48 ms"));
  EXPECT_EQ(text("resting"), QStringLiteral("Resting 58 bpm"));
  EXPECT_EQ(text("sleep"), QStringLiteral("Sleep 7.4 h"));
  EXPECT_EQ(text("oxygen"), QStringLiteral("Oxygen 97 %"));
  EXPECT_EQ(text("respiration"), QStringLiteral("Breathing 14.5 /min"));
  EXPECT_EQ(text("flags"), QStringLiteral("at baseline · short sleep"));
  EXPECT_EQ(text("empty"), QStringLiteral("(hidden)"));
  // Two runs, split where the phone sent nothing for almost two hours.
  const std::vector<std::vector<double>> expected{{58, 58}, {64, 66}, {71, 72}};
  EXPECT_EQ(lines(), expected);
}

TEST_F(TodayWindowTest, SaysSoWhenThereIsNothing) {
  test::writeFile(dataPath() / "history.jsonl", heartRate(90'000, 99));
  writeState(R"(,"flags":[])");
  window_->show();
  EXPECT_EQ(text("latest"), QStringLiteral("— bpm"));
  EXPECT_EQ(text("empty"),
            QStringLiteral("No readings in the last 24 hours — is the phone paired?"));
  for (const char* figure : {"hrv", "resting", "sleep", "oxygen", "respiration", "flags"})
    EXPECT_EQ(text(figure), QStringLiteral("(hidden)")) << figure;
}

// The first batch makes the history file; later ones append to it. Hidden, the window reads
// nothing.
TEST_F(TodayWindowTest, FollowsBatchesWhileShown) {
  QSignalSpy refreshed(window_.get(), &TodayWindow::refreshed);
  window_->show();
  test::writeFile(dataPath() / "history.jsonl", heartRate(20, 70));
  using Lines = std::vector<std::vector<double>>;
  EXPECT_TRUE(eventually([&] { return lines() == Lines{{}, {70}}; }));
  std::ofstream(dataPath() / "history.jsonl", std::ios::app) << heartRate(10, 75);
  writeState(R"(,"heart_rate":{"bpm":75,"age_seconds":10,"live":true})");
  EXPECT_TRUE(eventually([&] { return text("latest") == QStringLiteral("75 bpm · just now"); }));
  EXPECT_TRUE(eventually([&] { return lines() == Lines{{}, {70, 75}}; }));

  window_->hide();
  refreshed.clear();
  std::ofstream(dataPath() / "history.jsonl", std::ios::app) << heartRate(5, 80);
  EXPECT_FALSE(refreshed.wait(500));
}

TEST_F(TodayWindowTest, TheAppMakesOneWindowForItsDataDirectory) {
  test::writeFile(dataPath() / "history.jsonl", heartRate(20, 70));
  OrvaneBridgeApp app(test::qPath(rootPath() / "no-resources"));
  app.showTodayWindow();
  TodayWindow* first = app.todayWindow();
  app.showTodayWindow();
  EXPECT_EQ(app.todayWindow(), first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->windowTitle(), QStringLiteral("Orvane Bridge — Today"));
  EXPECT_EQ(first->findChild<QLabel*>(QStringLiteral("empty"))->isVisible(), false);
}

}  // namespace
}  // namespace orvane
