// The bridge's only store of health data: heart-rate readings and the latest value of five
// other measures, the orvaned flag, and the state document derived from them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "DataDirectory.hpp"
#include "HistoryFile.hpp"
#include "HistoryFlusher.hpp"
#include "IngestSample.hpp"
#include "Json.hpp"
#include "Reading.hpp"
#include "StateDocument.hpp"

namespace orvane {

// Seconds since the Unix epoch, fractions allowed. Tests substitute their own.
using Clock = std::function<double()>;
double systemNow();

class StateEngine {
 public:
  // Keeps its files in `dir`, which must outlive the engine. `flush` makes appended history
  // lines durable; tests substitute their own.
  explicit StateEngine(const DataDirectory& dir, Clock clock = systemNow,
                       HistoryFlusher::Flush flush = flushFileData);

  StateEngine(const StateEngine&) = delete;
  StateEngine& operator=(const StateEngine&) = delete;

  // Sets the flag read from disk at start-up; writes nothing.
  void setInitialOrvaned(bool enabled);
  // Sets the flag, replaces the state file and then the flag file, both durably. Switches
  // run one at a time from start to end, so the flag file always says what the last switch
  // to return said.
  void setOrvaned(bool enabled);

  // Stores at most 2000 samples of `batch`, appends their history lines, writes the new state
  // document aside and returns as soon as the batch is stored, with how many samples were
  // accepted and the ticket that whenFlushed takes (0: nothing to wait for). The flush that
  // makes the lines durable and renames the document into place happens after the engine is
  // free for other callers.
  struct Ingested {
    std::int64_t accepted = 0;
    std::uint64_t flushTicket = 0;
  };
  Ingested ingest(const IngestBatch& batch);
  // Calls `done` once the history lines and the state document of the ingest that got
  // `ticket` are on stable storage; a flush that has to start runs through `run`.
  void whenFlushed(std::uint64_t ticket, std::function<void()> done,
                   const HistoryFlusher::Runner& run);
  // The state document as of now.
  JsonObject state();

  static constexpr std::size_t maxBatch = 2000;
  static constexpr std::size_t maxHeartRates = 4000;

 private:
  // Writes the state document aside and returns the ticket after whose flush it has replaced
  // "state.json" (0 when it could not be written).
  std::uint64_t writeStateLocked(double now);
  void storeLocked(std::string_view type, Reading reading);

  const DataDirectory& dir_;
  Clock clock_;
  // Serialises flag switches from start to end, the flag file's flush included; taken before
  // queue_, and never by the event loop, which therefore never waits for that flush.
  std::mutex switching_;
  // Stands for the serial queue: every public operation holds it while it reads or changes
  // the engine, file writes included.
  mutable std::mutex queue_;
  bool orvaned_ = true;
  HeldReadings held_;  // at most maxHeartRates heart rates
  HistoryFile history_;
  // The lines of the batch being ingested. Its room is kept from batch to batch: a full
  // batch's lines take a few hundred kilobytes, which taken fresh every time would mostly cost
  // page faults.
  std::string historyText_;
  HistoryFlusher historyFlusher_;
};

}  // namespace orvane
