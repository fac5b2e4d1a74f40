// Costs of the engine's two hot operations: building the state document over a full list of
// heart-rate readings, and ingesting a full batch with its file writes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "StateEngine.hpp"

namespace {

using orvane::DataDirectory;
using orvane::IngestBatch;
using orvane::IngestSample;
using orvane::StateEngine;

constexpr double now = 1'700'000'000.0;

IngestSample sample(const char* type, double value, double ts) {
  return {type, value, ts, "count/min"};
}

// Stores `samples` sent by one device and waits, on this thread, until their lines are durable.
std::int64_t ingest(StateEngine& engine, std::vector<IngestSample> samples) {
  const StateEngine::Ingested ingested = engine.ingest(IngestBatch{std::move(samples), "Watch"});
  engine.whenFlushed(
      ingested.flushTicket, [] {}, [](const std::function<void()>& job) { job(); });
  return ingested.accepted;
}

// A fresh data directory for one benchmark, removed afterwards.
class ScratchDataDir {
 public:
  ScratchDataDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvane-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
      path_ = pattern;
  }
  ~ScratchDataDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDataDir(const ScratchDataDir&) = delete;
  ScratchDataDir& operator=(const ScratchDataDir&) = delete;

  DataDirectory dir() const { return DataDirectory(path_); }

  // Keeps the history from growing by a batch per iteration.
  void emptyHistory() const {
    std::error_code ignored;
    std::filesystem::resize_file(path_ / "history.jsonl", 0, ignored);
  }

 private:
  std::filesystem::path path_;
};

// 4000 readings over the last day and no resting heart rate, so both the baseline and the
// trend are computed on every call.
void stateOfAFullDay(benchmark::State& state) {
  const ScratchDataDir scratch;
  const DataDirectory dir = scratch.dir();
  StateEngine engine{dir, [] { return now; }};
  std::vector<IngestSample> batch;
  for (int i = 0; i < 4000; ++i) {
    batch.push_back(sample("heart_rate", 55 + (i * 37) % 60, now - 86000 + i * 21.5));
    if (batch.size() == StateEngine::maxBatch) {
      ingest(engine, batch);
      batch.clear();
    }
  }
  ingest(engine,
         {sample("hrv_sdnn", 45, now - 600), sample("sleep_hours", 7.2, now - 30000),
          sample("oxygen_saturation", 97, now - 60), sample("respiratory_rate", 14, now - 60)});
  for (auto _ : state)
    benchmark::DoNotOptimize(engine.state());
}
BENCHMARK(stateOfAFullDay);

std::vector<IngestSample> fullBatch() {
  std::vector<IngestSample> batch;
  for (int i = 0; i < 2000; ++i)
    batch.push_back(sample("heart_rate", 60 + i % 40, now - 2000 + i));
  return batch;
}

void ingestFullBatch(benchmark::State& state) {
  const ScratchDataDir scratch;
  const DataDirectory dir = scratch.dir();
  StateEngine engine{dir, [] { return now; }};
  const std::vector<IngestSample> batch = fullBatch();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ingest(engine, batch));
    state.PauseTiming();
    scratch.emptyHistory();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 2000);
}
BENCHMARK(ingestFullBatch)->Unit(benchmark::kMicrosecond);

// The same work when the files cannot be written, to separate the writes from the rest.
void ingestFullBatchWithoutFiles(benchmark::State& state) {
  const DataDirectory dir("/nonexistent/orvane-bench");
  StateEngine engine{dir, [] { return now; }};
  const std::vector<IngestSample> batch = fullBatch();
  for (auto _ : state)
    benchmark::DoNotOptimize(ingest(engine, batch));
  state.SetItemsProcessed(state.iterations() * 2000);
}
BENCHMARK(ingestFullBatchWithoutFiles)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
