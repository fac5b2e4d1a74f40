#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "EngineTestSupport.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using test::Json;

class StatePersistence : public test::EngineTest {
 protected:
  static void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  Json record(const std::string& type, double value, double ts, const std::string& unit = "",
              const std::string& device = "unknown") const {
    return {{"type", type}, {"value", value}, {"ts", ts}, {"unit", unit}, {"device", device}};
  }
};

// Lowers the file-size limit for the duration of a test, with the signal that would
// otherwise end the process ignored, so that writes beyond the limit come back short.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST_F(StatePersistence, FirstBatchCreatesTheHistoryWithExactlyItsLinesLaterOnesAppend) {
  Json withUnit = heartRate(70, 5);
  withUnit["unit"] = "count/min";
  withUnit["device"] = "Watch";
  Json numericUnit = measure("hrv_sdnn", 41, 50);
  numericUnit["unit"] = 3;
  numericUnit["device"] = Json::array();
  ingest({withUnit, test::sample("heart_rate", 70, "soon"), numericUnit, measure("steps", 12, 7)});
  const std::string text = readText(historyFile());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  const std::vector<Json> expected{record("heart_rate", 70, now - 5, "count/min", "Watch"),
                                   record("hrv_sdnn", 41, now - 50), record("steps", 12, now - 7)};
  EXPECT_EQ(historyRecords(), expected);

  ingest({heartRate(61, 3), heartRate(62, 2)});
  ingest({heartRate(63, 0)});
  const std::vector<Json> records = historyRecords();
  ASSERT_EQ(records.size(), 6u);
  for (std::size_t i = 3; i < 6; ++i)
    EXPECT_EQ(records[i]["value"], 58.0 + static_cast<double>(i));
}

TEST_F(StatePersistence, UnwritableLineIsLeftOutButTheSampleCounts) {
  Json badUnit = heartRate(70, 1);
  badUnit["unit"] = "\xff\xfe";
  EXPECT_EQ(ingest({heartRate(65, 2), badUnit, measure("bad\xc3", 1, 1)}), 3);
  EXPECT_EQ(historyRecords(), std::vector<Json>{record("heart_rate", 65, now - 2)});
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 70);
}

TEST_F(StatePersistence, StateFileHoldsTheIndentedDocument) {
  ingest({heartRate(70, 1), measure("oxygen_saturation", 93.04, 60)});
  const std::string text = readText(stateFile());
  EXPECT_NE(text.find("\n  \"flags\""), std::string::npos) << text;
  EXPECT_EQ(Json::parse(text), engine.state());
}

TEST_F(StatePersistence, SetOrvanedRewritesTheStateAtOnceSetInitialOrvanedDoesNot) {
  writeText(stateFile(), "left by the previous run");
  engine.setInitialOrvaned(false);
  EXPECT_EQ(engine.state()["orvaned"], false);
  EXPECT_EQ(readText(stateFile()), "left by the previous run");
  engine.setOrvaned(true);
  EXPECT_EQ(Json::parse(readText(stateFile()))["orvaned"], true);
  engine.setOrvaned(false);
  EXPECT_EQ(Json::parse(readText(stateFile()))["orvaned"], false);
  EXPECT_FALSE(fs::exists(historyFile()));
}

TEST_F(StatePersistence, MissingDataDirectoryLosesOnlyTheFiles) {
  ::setenv("ORVANE_DIR", (rootPath() / "gone").c_str(), 1);
  EXPECT_EQ(ingest({heartRate(70, 1)}), 1);
  engine.setOrvaned(false);
  EXPECT_FALSE(fs::exists(rootPath() / "gone"));
  EXPECT_EQ(engine.state()["heart_rate"]["bpm"], 70);
}

TEST_F(StatePersistence, ReadOnlyHistoryIsNeverReplaced) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "permissions do not stop root";
  writeText(historyFile(), "kept\n");
  fs::permissions(historyFile(), fs::perms(0444));
  EXPECT_EQ(ingest({heartRate(70, 1)}), 1);
  EXPECT_EQ(readText(historyFile()), "kept\n");
  EXPECT_EQ(permissionsOf(historyFile()), 0444u);
}

TEST_F(StatePersistence, ShortAppendIsRolledBack) {
  const std::string earlier = "{\"earlier\":1}\n";
  writeText(historyFile(), earlier);
  {
    // Room for a few bytes of the batch, not for its first line.
    const FileSizeLimit limit(earlier.size() + 5);
    EXPECT_EQ(ingest({heartRate(70, 1), heartRate(71, 0)}), 2);
  }
  EXPECT_EQ(readText(historyFile()), earlier);
  ingest({heartRate(72, 0)});
  EXPECT_EQ(historyRecords().size(), 2u);
}

}  // namespace
}  // namespace orvane
