// Text measured and laid out in user-perceived characters rather than bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// Length in user-perceived characters (grapheme clusters) of UTF-8 text.
std::size_t displayLength(std::string_view text);

// text followed by spaces up to width characters; never cut.
std::string pad(std::string_view text, std::size_t width);
// text centred in width characters, the odd space on the right.
std::string center(std::string_view text, std::size_t width);

}  // namespace orvane
