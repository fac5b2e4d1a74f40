// Small text helpers shared by the file readers and the request parser. All text is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

bool isValidUtf8(std::string_view text);

// The canonical form (NFC) of `text`, in which strings that Unicode counts as the same are the
// same bytes. ASCII is its own canonical form and text that is not valid UTF-8 has none: both
// come back as they are, without a copy. Any other form is made in `storage`.
std::string_view canonicalForm(std::string_view text, std::string& storage);

// Removes Unicode white space from both ends: the space separators and the tab, and with
// lineBreaks also LF, VT, FF, CR, NEL and the line and paragraph separators. The text must be
// valid UTF-8.
std::string_view trimWhitespace(std::string_view text, bool lineBreaks);

}  // namespace orvane
