// The history file only grows, one JSON line per sample in the order the samples arrived, and
// after years of use it is gigabytes long; only its last day matters here. So the first read
// goes backwards from the end, a buffer at a time, and stops once it is clearly past the
// window; afterwards only what was appended is read. Lines do not arrive in ts order (a phone
// may send older samples late), so the backward scan stops only after a whole batch's worth of
// lines in a row is older than the window. Text after the last line feed is a line still being
// written, or one cut by a crash: it is left for the next read. Lines that do not parse are
// skipped.
#include "HeartRateHistory.hpp"

#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

namespace orvane {

namespace {

// The bridge writes at most this many lines per batch.
constexpr int linesPerBatch = 2000;
// Far beyond any history line; a run of text this long without a line feed is damage, and the
// scan ends there rather than hold it all.
constexpr qsizetype longestLine = 1 << 20;

bool byTime(const Reading& a, const Reading& b) {
  return a.ts < b.ts;
}

}  // namespace

HeartRateHistory::HeartRateHistory(QString file, std::size_t bufferSize)
    : path_(std::move(file)), bufferSize_(std::max<std::size_t>(bufferSize, 1)) {}

void HeartRateHistory::refresh(double now) {
  const double since = now - window;
  QFile file(path_);
  struct stat info {};
  if (!file.open(QIODevice::ReadOnly) || ::fstat(file.handle(), &info) != 0) {
    readings_.clear();
    readTo_ = 0;
    inode_ = 0;
    return;
  }
  const qint64 size = info.st_size;
  if (info.st_dev != device_ || info.st_ino != inode_ || size < readTo_) {
    readings_.clear();
    readTo_ = 0;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    scanBackwards(file, size, since);
  } else if (size > readTo_) {
    readForwards(file, size, since);
  }
  readings_.erase(readings_.begin(),
                  std::partition_point(readings_.begin(), readings_.end(),
                                       [since](const Reading& r) { return r.ts < since; }));
}

void HeartRateHistory::scanBackwards(QFile& file, qint64 end, double since) {
  QByteArray tail;  // the start of a line whose end a later buffer held, with its line feed
  bool foundEnd = false;
  int oldInARow = 0;
  qint64 pos = end;
  while (pos > 0 && oldInARow < linesPerBatch) {
    const qint64 length = std::min<qint64>(pos, static_cast<qint64>(bufferSize_));
    pos -= length;
    QByteArray data;
    if (!file.seek(pos) || (data = file.read(length)).size() != length)
      break;
    data += tail;
    std::string_view text(data.constData(), static_cast<std::size_t>(data.size()));
    std::size_t lineEnd = foundEnd ? text.size() - 1 : text.rfind('\n');
    if (lineEnd == std::string_view::npos) {
      tail = std::move(data);
    } else {
      if (!foundEnd) {
        foundEnd = true;
        readTo_ = pos + static_cast<qint64>(lineEnd) + 1;
      }
      // Each line ends at `lineEnd`; it starts after the line feed before it, or at the file's
      // start.
      while (oldInARow < linesPerBatch) {
        const std::size_t previous =
            lineEnd == 0 ? std::string_view::npos : text.rfind('\n', lineEnd - 1);
        if (previous == std::string_view::npos && pos > 0)
          break;
        const std::size_t start = previous == std::string_view::npos ? 0 : previous + 1;
        const double ts = take(text.data() + start, text.data() + lineEnd, since);
        if (ts < since)
          ++oldInARow;
        else if (ts >= since)
          oldInARow = 0;
        if (previous == std::string_view::npos)
          break;
        lineEnd = previous;
      }
      tail = data.left(static_cast<qsizetype>(lineEnd) + 1);
    }
    if (tail.size() > longestLine)
      break;
  }
  if (!foundEnd && tail.size() > longestLine)
    readTo_ = end;
  // Gathered newest first.
  std::reverse(readings_.begin(), readings_.end());
  std::stable_sort(readings_.begin(), readings_.end(), byTime);
}

void HeartRateHistory::readForwards(QFile& file, qint64 end, double since) {
  if (!file.seek(readTo_))
    return;
  const std::size_t known = readings_.size();
  QByteArray pending;
  for (qint64 pos = readTo_; pos < end;) {
    const QByteArray chunk =
        file.read(std::min<qint64>(end - pos, static_cast<qint64>(bufferSize_)));
    if (chunk.isEmpty())
      break;
    pos += chunk.size();
    pending += chunk;
    qsizetype start = 0;
    for (qsizetype lineEnd; (lineEnd = pending.indexOf('\n', start)) >= 0; start = lineEnd + 1)
      take(pending.constData() + start, pending.constData() + lineEnd, since);
    pending.remove(0, start);
    readTo_ += start;
    if (pending.size() > longestLine) {
      readTo_ += pending.size();
      pending.clear();
    }
  }
  const auto added = readings_.begin() + static_cast<std::ptrdiff_t>(known);
  std::stable_sort(added, readings_.end(), byTime);
  std::inplace_merge(readings_.begin(), added, readings_.end(), byTime);
}

double HeartRateHistory::take(const char* begin, const char* end, double since) {
  constexpr double unusable = std::numeric_limits<double>::quiet_NaN();
  const QJsonDocument line =
      QJsonDocument::fromJson(QByteArray::fromRawData(begin, static_cast<qsizetype>(end - begin)));
  if (!line.isObject())
    return unusable;
  const QJsonObject record = line.object();
  const QJsonValue ts = record.value(QLatin1String("ts"));
  if (!ts.isDouble() || !std::isfinite(ts.toDouble()))
    return unusable;
  const QJsonValue value = record.value(QLatin1String("value"));
  if (record.value(QLatin1String("type")) == QLatin1String("heart_rate") && value.isDouble() &&
      std::isfinite(value.toDouble()) && ts.toDouble() >= since)
    readings_.push_back({ts.toDouble(), value.toDouble()});
  return ts.toDouble();
}

}  // namespace orvane
