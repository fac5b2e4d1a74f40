// The engine's public operations. Invariants: every public operation holds `queue_` for its
// whole body, file writes included (ingest then waits, without it, for its history lines to
// reach stable storage), reads the clock once and calls no other public
// operation; `heartRates_` keeps arrival order and at most maxHeartRates readings; no stored
// value or timestamp is non-finite, and no stored timestamp lies more than 60 s beyond the
// clock reading of the ingest that stored it.
#include "StateEngine.hpp"

#include <locale.h>
#include <stdlib.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "DataDirectory.hpp"

namespace orvane {

namespace {

// Payload numbers are written with a dot whatever the user's locale says.
locale_t cLocale() {
  static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<double> numberMember(const JsonObject& sample, const char* key) {
  const auto it = sample.find(key);
  if (it == sample.end())
    return std::nullopt;
  return toDouble(*it);
}

std::optional<std::string> stringMember(const JsonObject& sample, const char* key) {
  const auto it = sample.find(key);
  if (it == sample.end() || !it->is_string())
    return std::nullopt;
  return it->get<std::string>();
}

// The batch cap applies to the samples as sent, whatever each of them holds.
std::vector<IngestSample> firstSamples(const std::vector<JsonObject>& samples) {
  const std::size_t count = std::min(samples.size(), StateEngine::maxBatch);
  std::vector<IngestSample> converted;
  converted.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    converted.push_back(sampleFromJson(samples[i]));
  return converted;
}

}  // namespace

std::optional<double> numberInText(const std::string& text) {
  // strtod would skip leading blanks; a number with blanks around it is not a number here.
  if (text.empty() || isCSpace(text.front()))
    return std::nullopt;
  char* end = nullptr;
  const double parsed = ::strtod_l(text.c_str(), &end, cLocale());
  if (end != text.c_str() + text.size())
    return std::nullopt;
  return parsed;
}

IngestSample sampleFromJson(const JsonObject& sample) {
  if (!sample.is_object())
    return {};
  return {stringMember(sample, "type"), numberMember(sample, "value"), numberMember(sample, "ts"),
          stringMember(sample, "unit"), stringMember(sample, "device")};
}

double systemNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

std::optional<double> toDouble(const JsonObject& value) {
  if (value.is_number_float())
    return value.get<double>();
  if (value.is_number_unsigned())
    return static_cast<double>(value.get<std::uint64_t>());
  if (value.is_number_integer())
    return static_cast<double>(value.get<std::int64_t>());
  if (value.is_string())
    return numberInText(value.get_ref<const std::string&>());
  return std::nullopt;
}

StateEngine::StateEngine(Clock clock, HistoryFlusher::Flush flush)
    : clock_(std::move(clock)), historyFlusher_(std::move(flush)) {}

void StateEngine::setInitialOrvaned(bool enabled) {
  const std::lock_guard lock(queue_);
  orvaned_ = enabled;
}

void StateEngine::setOrvaned(bool enabled) {
  const std::lock_guard lock(queue_);
  const double now = clock_();
  orvaned_ = enabled;
  writeStateLocked(now);
}

std::int64_t StateEngine::ingest(const std::vector<JsonObject>& samples) {
  const Ingested ingested = ingestSamples(firstSamples(samples), nullptr);
  waitFlushed(ingested.flushTicket);
  return ingested.accepted;
}

std::int64_t StateEngine::ingest(const std::vector<JsonObject>& samples,
                                 const std::string& device) {
  const Ingested ingested = ingestSamples(firstSamples(samples), &device);
  waitFlushed(ingested.flushTicket);
  return ingested.accepted;
}

std::int64_t StateEngine::ingestBatch(const IngestBatch& batch) {
  const Ingested ingested = ingestBatchUnflushed(batch);
  waitFlushed(ingested.flushTicket);
  return ingested.accepted;
}

StateEngine::Ingested StateEngine::ingestBatchUnflushed(const IngestBatch& batch) {
  return ingestSamples(batch.samples, &batch.device);
}

void StateEngine::waitFlushed(std::uint64_t ticket) {
  if (ticket != 0)
    historyFlusher_.waitFlushed(ticket);
}

void StateEngine::whenFlushed(std::uint64_t ticket, std::function<void()> done,
                              const HistoryFlusher::Runner& run) {
  if (ticket == 0)
    return done();
  historyFlusher_.whenFlushed(ticket, std::move(done), run);
}

StateEngine::Ingested StateEngine::ingestSamples(const std::vector<IngestSample>& samples,
                                                 const std::string* device) {
  const std::lock_guard lock(queue_);
  const double now = clock_();
  std::int64_t accepted = 0;
  const std::size_t heartRatesBefore = heartRates_.size();
  std::string& history = historyText_;
  history.clear();
  const std::size_t count = std::min(samples.size(), maxBatch);
  for (std::size_t i = 0; i < count; ++i) {
    const IngestSample& sample = samples[i];
    const std::optional<double>& value = sample.value;
    const std::optional<double>& ts = sample.ts;
    // Refused rather than stored: a non-finite reading could never be rounded into the
    // document nor written to the history as a JSON number.
    if (!sample.type || !value || !ts || !std::isfinite(*value) || !std::isfinite(*ts))
      continue;
    const Reading reading{std::min(*ts, now + 60), *value};
    ++accepted;
    storeLocked(*sample.type, reading);
    addHistoryLine(history, reading, sample, device);
  }
  // Cut once per batch instead of after every append: nobody can look in between.
  const bool heartRatesChanged = heartRates_.size() != heartRatesBefore;
  if (heartRates_.size() > maxHeartRates)
    heartRates_.erase(heartRates_.begin(),
                      heartRates_.end() - static_cast<std::ptrdiff_t>(maxHeartRates));
  if (heartRatesChanged)
    heartRatesChangedLocked();
  std::uint64_t ticket = 0;
  if (!history.empty())
    ticket = appendHistoryLocked(historyFile(), history);
  writeStateLocked(now);
  // Readers and other batches need not wait for the disk; only this caller's answer does.
  return {accepted, ticket};
}

void StateEngine::storeLocked(std::string_view type, Reading reading) {
  if (type == "heart_rate") {
    heartRates_.push_back(reading);
  } else if (type == "hrv_sdnn") {
    hrv_ = reading;
  } else if (type == "resting_heart_rate") {
    restingHR_ = reading;
  } else if (type == "sleep_hours") {
    sleepHours_ = reading;
  } else if (type == "oxygen_saturation") {
    oxygen_ = reading;
  } else if (type == "respiratory_rate") {
    respiration_ = reading;
  }
}

void StateEngine::heartRatesChangedLocked() {
  dailyBaseline_.forget();
  trend_.forget();
  latestHeartRate_ = 0;
  for (std::size_t i = 1; i < heartRates_.size(); ++i) {
    if (heartRates_[i].ts > heartRates_[latestHeartRate_].ts)
      latestHeartRate_ = i;
  }
}

JsonObject StateEngine::state() {
  const std::lock_guard lock(queue_);
  return derivedLocked(clock_());
}

StateEngine& engine() {
  static StateEngine instance;
  return instance;
}

}  // namespace orvane
