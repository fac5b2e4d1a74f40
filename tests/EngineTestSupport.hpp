// Fixtures shared by the engine's tests: an engine on a fake clock over a private data
// directory, and builders for payload samples.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "StateEngine.hpp"
#include "TestSupport.hpp"

namespace orvane::test {

using Json = nlohmann::json;

inline Json sample(const std::string& type, Json value, Json ts) {
  return {{"type", type}, {"value", std::move(value)}, {"ts", std::move(ts)}};
}

// An engine whose clock reads `now`, which a test moves by hand.
class EngineTest : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    ensureDataDir();
  }

  // A heart-rate reading `age` seconds before now.
  Json heartRate(double bpm, double age) const { return sample("heart_rate", bpm, now - age); }
  Json measure(const std::string& type, double value, double age) const {
    return sample(type, value, now - age);
  }

  std::int64_t ingest(std::vector<Json> samples) { return engine.ingest(samples); }

  static std::string readText(const std::filesystem::path& file) {
    return readWholeFile(file).value_or("<missing>");
  }
  static std::vector<Json> historyRecords() {
    const std::string text = readWholeFile(historyFile()).value_or("");
    if (!text.empty() && text.back() != '\n')
      ADD_FAILURE() << "history ends in a torn line";
    std::vector<Json> records;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      records.push_back(Json::parse(line));
    return records;
  }

  double now = 1'700'000'000.25;
  StateEngine engine{[this] { return now; }};
};

}  // namespace orvane::test
