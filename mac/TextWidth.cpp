// Widths as a terminal shows them: one column per user-perceived character (grapheme cluster),
// which is what lines up the pairing card's frame.
#include "TextWidth.hpp"

#include <utf8proc.h>

namespace orvane {

std::size_t displayLength(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto remaining = static_cast<utf8proc_ssize_t>(text.size());
  std::size_t clusters = 0;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;  // no code point yet: the next one starts a cluster
  while (remaining > 0) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes, remaining, &codePoint);
    if (used <= 0) {
      // A stray byte stands alone, and the one after it starts afresh.
      ++clusters;
      previous = -1;
      state = 0;
      used = 1;
    } else {
      if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state))
        ++clusters;
      previous = codePoint;
    }
    bytes += used;
    remaining -= used;
  }
  return clusters;
}

std::string pad(std::string_view text, std::size_t width) {
  std::string result(text);
  const std::size_t length = displayLength(text);
  if (length < width)
    result.append(width - length, ' ');
  return result;
}

std::string center(std::string_view text, std::size_t width) {
  const std::size_t length = displayLength(text);
  const std::size_t left = length < width ? (width - length) / 2 : 0;
  return std::string(left, ' ') + pad(text, width - left);
}

}  // namespace orvane
