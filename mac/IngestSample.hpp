// What the engine reads of the samples sent to /ingest. The HTTP unit fills these straight
// from the request body; callers holding JSON values convert them with sampleFromJson.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Json.hpp"

namespace orvane {

struct IngestSample {
  std::optional<std::string> type;    // when "type" is a string
  std::optional<double> value;        // "value" as toDouble reads it
  std::optional<double> ts;           // "ts" likewise
  std::optional<std::string> unit;    // when "unit" is a string
  std::optional<std::string> device;  // when "device" is a string
};

// A batch as one device sent it: every sample is recorded under the batch's device, whatever
// the sample itself names.
struct IngestBatch {
  std::vector<IngestSample> samples;
  std::string device = "unknown";
};

// The fields of one JSON sample; a value that is not an object has none of them.
IngestSample sampleFromJson(const JsonObject& sample);

}  // namespace orvane
