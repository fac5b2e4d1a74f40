// Numbers in payload text are read in the C locale: phones write them with a dot whatever the
// user's locale says, and so must the bridge read them.
#include "IngestSample.hpp"

#include <locale.h>
#include <stdlib.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace orvane {

namespace {

locale_t cLocale() {
  static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<double> numberInText(const std::string& text) {
  // strtod would skip leading blanks; a number with blanks around it is not a number here.
  if (text.empty() || isCSpace(text.front()))
    return std::nullopt;
  char* end = nullptr;
  const double parsed = ::strtod_l(text.c_str(), &end, cLocale());
  if (end != text.c_str() + text.size())
    return std::nullopt;
  return parsed;
}

}  // namespace orvane
