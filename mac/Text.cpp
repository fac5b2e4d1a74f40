#include "Text.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace orvane {

namespace {

// Decodes the code point that starts at text[i] (valid UTF-8 assumed) and its length.
char32_t decodeAt(std::string_view text, std::size_t i, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  char32_t cp = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k)
    cp = (cp << 6) | (text[i + k] & 0x3F);
  return cp;
}

bool isSpaceSeparator(char32_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isTrimmed(char32_t c, bool lineBreaks) {
  return c == '\t' || isSpaceSeparator(c) || (lineBreaks && isLineBreak(c));
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4, min = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size())
      return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
        return false;
    }
    std::size_t decoded;
    const char32_t cp = decodeAt(text, i, decoded);
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

std::string_view canonicalForm(std::string_view text, std::string& storage) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || !isValidUtf8(text))
    return text;
  utf8proc_uint8_t* composed = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0)
    return text;  // out of memory: the text as it is is the next best thing
  storage.assign(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
  std::free(composed);
  return storage;
}

std::string_view trimWhitespace(std::string_view text, bool lineBreaks) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length;
    if (!isTrimmed(decodeAt(text, begin, length), lineBreaks))
      break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    std::size_t length;
    if (!isTrimmed(decodeAt(text, start, length), lineBreaks))
      break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace orvane
