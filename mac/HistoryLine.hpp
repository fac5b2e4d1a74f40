// One history record written straight from its fields as a line of compact JSON, without
// building a JSON value first: this runs once for every accepted sample.
#pragma once

#include <string>
#include <string_view>

#include "Reading.hpp"

namespace orvane {

// Appends {"device":…,"ts":…,"type":…,"unit":…,"value":…} and a line feed to `text`. A field
// that is not valid UTF-8 cannot be written as JSON: then nothing is appended and the result
// is false. The reading must be finite.
bool appendHistoryLine(std::string& text, std::string_view type, Reading reading,
                       std::string_view unit, std::string_view device);

}  // namespace orvane
