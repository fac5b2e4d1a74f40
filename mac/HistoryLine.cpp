// The history line writer. Keys come in the order the JSON library used to print them
// (sorted), so lines written before and after read the same to a person comparing them.
// Numbers are the shortest text that reads back as the same double; one with neither a
// fraction nor an exponent gets ".0" so that it still reads back as a floating-point number.
#include "HistoryLine.hpp"

#include <algorithm>
#include <charconv>

#include "Text.hpp"

namespace orvane {

namespace {

// The longest shortest-round-trip double ("-2.2250738585072014e-308") is 24 characters.
constexpr std::size_t maxNumberChars = 32;
constexpr std::string_view hexDigits = "0123456789abcdef";

char* put(char* out, std::string_view text) {
  return std::copy(text.begin(), text.end(), out);
}

// Writes at most 2 + 6 * value.size() characters.
char* putString(char* out, std::string_view value) {
  *out++ = '"';
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != '"' && c != '\\') {
      *out++ = ch;
      continue;
    }
    *out++ = '\\';
    switch (c) {
      case '"':
      case '\\':
        *out++ = ch;
        break;
      case '\b':
        *out++ = 'b';
        break;
      case '\f':
        *out++ = 'f';
        break;
      case '\n':
        *out++ = 'n';
        break;
      case '\r':
        *out++ = 'r';
        break;
      case '\t':
        *out++ = 't';
        break;
      default:
        out = put(out, "u00");
        *out++ = hexDigits[c >> 4];
        *out++ = hexDigits[c & 0xF];
    }
  }
  *out++ = '"';
  return out;
}

// Writes at most maxNumberChars + 2 characters.
char* putNumber(char* out, double value) {
  char* const start = out;
  out = std::to_chars(out, out + maxNumberChars, value).ptr;
  if (std::find_if(start, out, [](char c) { return c == '.' || c == 'e'; }) == out)
    out = put(out, ".0");
  return out;
}

}  // namespace

bool appendHistoryLine(std::string& text, std::string_view type, Reading reading,
                       std::string_view unit, std::string_view device) {
  if (!isValidUtf8(type) || !isValidUtf8(unit) || !isValidUtf8(device))
    return false;
  // Written in place into room for the longest line these fields can make, then cut to size.
  const std::size_t before = text.size();
  text.resize(before + 64 + 2 * (maxNumberChars + 2) +
              6 * (type.size() + unit.size() + device.size() + 1));
  char* out = text.data() + before;
  out = putString(put(out, "{\"device\":"), device);
  out = putNumber(put(out, ",\"ts\":"), reading.ts);
  out = putString(put(out, ",\"type\":"), type);
  out = putString(put(out, ",\"unit\":"), unit);
  out = putNumber(put(out, ",\"value\":"), reading.value);
  out = put(out, "}\n");
  text.resize(static_cast<std::size_t>(out - text.data()));
  return true;
}

}  // namespace orvane
