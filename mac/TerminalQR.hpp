// The pairing link as a QR Code drawn with text, for a person at a terminal.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// `text` as a QR Code at error-correction level M: lines of Unicode half blocks, two modules to
// a character cell, with a quiet zone of at least four modules, indented like the card and
// followed by an empty line. Empty when the text cannot be encoded.
std::string terminalQR(std::string_view text);

}  // namespace orvane
