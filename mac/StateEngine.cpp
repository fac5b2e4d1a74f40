// The engine's public operations. Invariants: every public operation holds `queue_` while it
// reads or changes the engine, its file writes included, reads the clock once and calls no
// other public operation; an ingest's answer waits, without the lock, for its history lines to
// reach stable storage, and a flag switch writes the flag file after letting go of `queue_`
// but before letting go of `switching_`; `heartRates` keeps arrival order and at most
// maxHeartRates readings; no stored value or timestamp is non-finite, and no stored timestamp
// lies more than 60 s beyond the clock reading of the ingest that stored it.
#include "StateEngine.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <nlohmann/json.hpp>

#include "Files.hpp"
#include "HistoryLine.hpp"

namespace orvane {

double systemNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

StateEngine::StateEngine(const DataDirectory& dir, Clock clock, HistoryFlusher::Flush flush)
    : dir_(dir), clock_(std::move(clock)), historyFlusher_(std::move(flush)) {}

void StateEngine::setInitialOrvaned(bool enabled) {
  const std::lock_guard lock(queue_);
  orvaned_ = enabled;
}

void StateEngine::setOrvaned(bool enabled) {
  const std::lock_guard switching(switching_);
  std::uint64_t ticket = 0;
  {
    const std::lock_guard lock(queue_);
    const double now = clock_();
    orvaned_ = enabled;
    ticket = writeStateLocked(now);
  }
  // Outside queue_: ingests and reads go on while the files are flushed. Inside switching_: no
  // other switch can change the flag between this one's change and its file.
  // A flush under way on another thread calls back from there; otherwise this thread flushes.
  std::promise<void> flushed;
  historyFlusher_.whenFlushed(
      ticket, [&flushed] { flushed.set_value(); },
      [](const std::function<void()>& flush) { flush(); });
  flushed.get_future().wait();
  dir_.writeOrvaned(enabled);
}

void StateEngine::whenFlushed(std::uint64_t ticket, std::function<void()> done,
                              const HistoryFlusher::Runner& run) {
  if (ticket == 0)
    return done();
  historyFlusher_.whenFlushed(ticket, std::move(done), run);
}

StateEngine::Ingested StateEngine::ingest(const IngestBatch& batch) {
  const std::lock_guard lock(queue_);
  const double now = clock_();
  std::int64_t accepted = 0;
  std::vector<Reading>& heartRates = held_.heartRates;
  const std::size_t heartRatesBefore = heartRates.size();
  std::string& history = historyText_;
  history.clear();
  const std::size_t count = std::min(batch.samples.size(), maxBatch);
  for (std::size_t i = 0; i < count; ++i) {
    const IngestSample& sample = batch.samples[i];
    const std::optional<double>& value = sample.value;
    const std::optional<double>& ts = sample.ts;
    // Refused rather than stored: a non-finite reading could never be rounded into the
    // document nor written to the history as a JSON number.
    if (!sample.type || !value || !ts || !std::isfinite(*value) || !std::isfinite(*ts))
      continue;
    const Reading reading{std::min(*ts, now + 60), *value};
    ++accepted;
    storeLocked(*sample.type, reading);
    // A line that cannot be written as JSON is left out; the sample still counts.
    appendHistoryLine(history, *sample.type, reading,
                      sample.unit ? *sample.unit : std::string_view(), batch.device);
  }
  // Cut once per batch instead of after every append: nobody can look in between.
  const bool heartRatesChanged = heartRates.size() != heartRatesBefore;
  if (heartRates.size() > maxHeartRates)
    heartRates.erase(heartRates.begin(),
                     heartRates.end() - static_cast<std::ptrdiff_t>(maxHeartRates));
  if (heartRatesChanged)
    held_.heartRatesChanged();
  std::uint64_t ticket = 0;
  if (!history.empty()) {
    if (auto written = history_.append(dir_.historyFile(), history))
      ticket = historyFlusher_.written(std::move(written));
  }
  // The state document is renamed into place by the flush that the history needs anyway.
  ticket = std::max(ticket, writeStateLocked(now));
  // Readers and other batches need not wait for the disk; only this caller's answer does.
  return {accepted, ticket};
}

void StateEngine::storeLocked(std::string_view type, Reading reading) {
  if (type == "heart_rate") {
    held_.heartRates.push_back(reading);
  } else if (type == "hrv_sdnn") {
    held_.hrv = reading;
  } else if (type == "resting_heart_rate") {
    held_.restingHR = reading;
  } else if (type == "sleep_hours") {
    held_.sleepHours = reading;
  } else if (type == "oxygen_saturation") {
    held_.oxygen = reading;
  } else if (type == "respiratory_rate") {
    held_.respiration = reading;
  }
}

// "state.json" is only ever replaced whole: written aside, and renamed into place by the
// flusher once its data is durable. The rename itself is not flushed, so after a power cut the
// file may be the previous document, but never an empty one.
std::uint64_t StateEngine::writeStateLocked(double now) {
  try {
    std::string text = stateDocument(held_, orvaned_, now).dump(2);
    text += '\n';
    const std::filesystem::path target = dir_.stateFile();
    auto [fd, temporary] = writeAside(target, text, 0666);
    return historyFlusher_.replaced(std::make_shared<const OpenFile>(fd), std::move(temporary),
                                    target);
  } catch (const std::exception&) {
    // The previous document stays; the next change rewrites it.
    return 0;
  }
}

JsonObject StateEngine::state() {
  const std::lock_guard lock(queue_);
  return stateDocument(held_, orvaned_, clock_());
}

}  // namespace orvane
