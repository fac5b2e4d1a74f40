// How long the "Today" window takes to open on a data directory: from its construction to its
// first paint, reading the last day of the history included. Every run builds a new
// window, so every run scans the history file afresh; the first also pays Qt's one-time set-up.
//
// usage: today_window_bench DATA_DIR [RUNS] [PICTURE.png]
// With PICTURE, the last run's window is saved there (the README's picture comes from this).
#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

#include "TodayWindow.hpp"

namespace {

// The window's 256 most frequent colours, each pixel given the nearest of them, keep the
// picture small and its colours true.
QImage smallPicture(const QImage& image) {
  QHash<QRgb, int> counts;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      ++counts[image.pixel(x, y)];
  std::vector<std::pair<int, QRgb>> byCount;
  for (auto it = counts.cbegin(); it != counts.cend(); ++it)
    byCount.emplace_back(it.value(), it.key());
  std::sort(byCount.rbegin(), byCount.rend());
  QList<QRgb> table;
  for (std::size_t i = 0; i < std::min<std::size_t>(byCount.size(), 256); ++i)
    table.append(byCount[i].second);
  return image.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: today_window_bench DATA_DIR [RUNS] [PICTURE.png]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  // Wall time moves with whatever else the machine runs; the process's CPU time much less.
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int run = 1; run <= runs; ++run) {
    QElapsedTimer timer;
    const std::clock_t cpuStart = std::clock();
    timer.start();
    orvane::TodayWindow window(QString::fromLocal8Bit(argv[1]));
    window.show();
    // Lays the window out and paints it, as the app's event loop does next.
    QApplication::processEvents();
    wall.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    cpu.push_back(static_cast<double>(std::clock() - cpuStart) * 1000 / CLOCKS_PER_SEC);
    std::printf("run %d: %.1f ms, CPU %.1f ms\n", run, wall.back(), cpu.back());
    if (run == runs && argc > 3 &&
        !smallPicture(window.grab().toImage()).save(QString::fromLocal8Bit(argv[3])))
      return 1;
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("median %.1f ms (fastest %.1f, slowest %.1f), CPU median %.1f ms over %d runs\n",
              wall[wall.size() / 2], wall.front(), wall.back(), cpu[cpu.size() / 2], runs);
  return 0;
}
