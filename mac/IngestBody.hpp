// Reads an /ingest body straight into the engine's batch, without building a JSON value first:
// this runs over every byte a phone sends.
#pragma once

#include <string_view>

#include "IngestSample.hpp"

namespace orvane {

// Reads the batch in `body` into `batch`, whose earlier contents are dropped (its room is
// kept); false where the body is a bad payload: not a JSON object (nested at most
// maxJsonDepth deep), or one whose "samples" member is missing, not an array, or holds
// something other than objects. Members are read as the JSON reader stores them: a later
// member of the same name replaces an earlier one. Samples past the engine's batch cap are
// checked but not kept.
bool readIngestBody(std::string_view body, IngestBatch& batch);

}  // namespace orvane
