// The bridge's only store of health data: heart-rate readings and the latest value of five
// other measures, the orvaned flag, and the state document derived from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BaselineAndTrend.hpp"
#include "HistoryFlusher.hpp"
#include "IngestSample.hpp"
#include "Json.hpp"
#include "Reading.hpp"
#include "WindowMemo.hpp"

namespace orvane {

// Seconds since the Unix epoch, fractions allowed. Tests substitute their own.
using Clock = std::function<double()>;
double systemNow();

// A payload value as a number: JSON numbers, and strings whose whole text is a number.
// Non-finite results are returned as they are; the caller decides what to do with them.
std::optional<double> toDouble(const JsonObject& value);
// A payload string as a number: its whole text, with no blanks around it, in the C locale.
std::optional<double> numberInText(const std::string& text);

class StateEngine {
 public:
  // `flush` makes appended history lines durable; tests substitute their own.
  explicit StateEngine(Clock clock = systemNow, HistoryFlusher::Flush flush = flushFileData);

  StateEngine(const StateEngine&) = delete;
  StateEngine& operator=(const StateEngine&) = delete;

  // Sets the flag read from disk at start-up; writes nothing.
  void setInitialOrvaned(bool enabled);
  // Sets the flag and rewrites the state file.
  void setOrvaned(bool enabled);
  // Stores at most 2000 samples, appends their history lines, rewrites the state file and
  // returns how many samples were accepted. When it returns, the appended lines are on stable
  // storage; that flush happens after the engine is free for other callers.
  std::int64_t ingest(const std::vector<JsonObject>& samples);
  // The same for a batch sent by `device`: every sample's history line names it, whatever the
  // sample's own "device" says.
  std::int64_t ingest(const std::vector<JsonObject>& samples, const std::string& device);
  // The same for a batch already read into the engine's terms.
  std::int64_t ingestBatch(const IngestBatch& batch);
  // ingestBatch for a caller that must not wait for the disk itself: returns as soon as the
  // batch is stored, with the ticket that whenFlushed takes (0: nothing to wait for).
  struct Ingested {
    std::int64_t accepted = 0;
    std::uint64_t flushTicket = 0;
  };
  Ingested ingestBatchUnflushed(const IngestBatch& batch);
  // Calls `done` once the history lines of the ingest that got `ticket` are on stable
  // storage; a flush that has to start runs through `run`.
  void whenFlushed(std::uint64_t ticket, std::function<void()> done,
                   const HistoryFlusher::Runner& run);
  // The state document as of now.
  JsonObject state();

  static constexpr std::size_t maxBatch = 2000;
  static constexpr std::size_t maxHeartRates = 4000;

 private:
  JsonObject derivedLocked(double now) const;
  void writeStateLocked(double now) const;
  void storeLocked(std::string_view type, Reading reading);
  // Brings what is kept about heartRates_ up to date after a batch added to it.
  void heartRatesChangedLocked();

  // `device` null: each sample names its own device.
  Ingested ingestSamples(const std::vector<IngestSample>& samples, const std::string* device);
  // Returns once the history lines of the ingest that got `ticket` are on stable storage.
  void waitFlushed(std::uint64_t ticket);
  // Adds the compact history record of one accepted sample, with its line feed, to `text`;
  // a record that cannot be serialised adds nothing.
  static void addHistoryLine(std::string& text, Reading reading, const IngestSample& sample,
                             const std::string* device);
  // Adds a batch's lines at the end of the history file, all or nothing, and returns the
  // ticket to wait for until they are durable (0 when there is nothing left to wait for).
  std::uint64_t appendHistoryLocked(const std::filesystem::path& file, std::string_view text);

  Clock clock_;
  // Stands for the serial queue: every public operation holds it for its whole body.
  mutable std::mutex queue_;
  bool orvaned_ = true;
  std::vector<Reading> heartRates_;  // arrival order, at most 4000
  // Derived from heartRates_ when it changes, or kept until it does: reading the state is far
  // more frequent than ingesting and must not rescan thousands of readings every time.
  std::size_t latestHeartRate_ = 0;  // the greatest ts, the first to arrive among equals
  mutable WindowMemo<std::optional<Baseline>> dailyBaseline_{inBaselineWindow, dailyBaseline};
  mutable WindowMemo<std::optional<Trend>> trend_{inTrendWindow, trendLabel};
  std::optional<Reading> hrv_;
  std::optional<Reading> restingHR_;
  std::optional<Reading> sleepHours_;
  std::optional<Reading> oxygen_;
  std::optional<Reading> respiration_;
  // The history file whose torn tail has been cut; each file is checked once, before our
  // first append to it, since afterwards it only grows by our own whole lines.
  std::filesystem::path checkedHistory_;
  // The lines of the batch being ingested. Its room is kept from batch to batch: a full
  // batch's lines take a few hundred kilobytes, which taken fresh every time would mostly cost
  // page faults.
  std::string historyText_;
  HistoryFlusher historyFlusher_;
};

// The one engine of the process, made on first use.
StateEngine& engine();

}  // namespace orvane
