// Small text helpers shared by the file readers and the request parser. All text is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

bool isValidUtf8(std::string_view text);

// Removes Unicode white space from both ends: the space separators and the tab, and with
// lineBreaks also LF, VT, FF, CR, NEL and the line and paragraph separators. The text must be
// valid UTF-8.
std::string_view trimWhitespace(std::string_view text, bool lineBreaks);

}  // namespace orvane
