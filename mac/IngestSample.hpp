// What the engine reads of the samples sent to /ingest. The HTTP unit fills these straight
// from the request body.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvane {

struct IngestSample {
  std::optional<std::string> type;  // when "type" is a string
  std::optional<double> value;      // "value" as a JSON number, or text numberInText reads
  std::optional<double> ts;         // "ts" likewise
  std::optional<std::string> unit;  // when "unit" is a string
};

// A batch as one device sent it: every sample is recorded under the batch's device, whatever
// the sample itself names.
struct IngestBatch {
  std::vector<IngestSample> samples;
  std::string device = "unknown";
};

// A payload string as a number: its whole text, with no blanks around it, in the C locale.
// Non-finite results are returned as they are; the caller decides what to do with them.
std::optional<double> numberInText(const std::string& text);

}  // namespace orvane
