// The heart-rate readings of the last 24 hours, taken from the bridge's history file.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstddef>
#include <vector>

#include "Reading.hpp"

namespace orvane {

class HeartRateHistory {
 public:
  static constexpr double window = 86400;

  // `bufferSize` is how much of the file one read takes.
  explicit HeartRateHistory(QString file, std::size_t bufferSize = 64 * 1024);

  // Brings the readings up to date with the file. The first call, and any call after the file
  // was replaced or cut, scans backwards from the end until it is past the window; later calls
  // read only the lines appended since. Readings that left the window are dropped. A missing
  // or unreadable file means no readings.
  void refresh(double now);

  // Readings with ts in [now − 24 h, ...], ordered by ts (arrival order among equal ts).
  const std::vector<Reading>& readings() const { return readings_; }

 private:
  void scanBackwards(QFile& file, qint64 end, double since);
  void readForwards(QFile& file, qint64 end, double since);
  // Takes the line if it is a heart-rate record with ts ≥ since. Returns the line's ts when it
  // parses, else NaN.
  double take(const char* begin, const char* end, double since);

  QString path_;
  std::size_t bufferSize_;
  std::vector<Reading> readings_;
  // How far the file has been read (just after the last line feed taken), and which file it
  // was; a different file or a shorter one is read afresh.
  qint64 readTo_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace orvane
