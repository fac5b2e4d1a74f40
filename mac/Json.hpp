// The bridge's JSON value type. Headers include only the forward declaration, because the
// full nlohmann header is costly to compile; sources include <nlohmann/json.hpp>.
#pragma once

#include <nlohmann/json_fwd.hpp>

namespace orvane {

// A JSON value; where the bridge says JsonObject it holds an object at the top level.
using JsonObject = nlohmann::json;

}  // namespace orvane
