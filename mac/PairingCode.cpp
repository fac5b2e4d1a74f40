// Codes are word-word-word-number: three different table words in drawing order and a number
// in 100000..999999. Every draw comes from the kernel's secure source through
// secureRandomBelow, which rejects the biased top of the 64-bit range, so each value below
// the bound is equally likely. The token file only ever holds a complete code and a line
// feed, and is never readable by anyone but its owner, not even while being written.
#include "PairingCode.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "Platform.hpp"
#include "Text.hpp"

namespace orvane {

constexpr std::string_view wordTable =
    "calm leaf moon wave pine bird sand star river cloud maple ocean stone amber cedar coral "
    "frost honey tulip meadow";
static_assert(wordTable.size() == 112);

namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

std::uint64_t randomWord() {
  unsigned char bytes[sizeof(std::uint64_t)];
  secureRandomBytes(bytes, sizeof bytes);
  std::uint64_t value = 0;
  for (unsigned char b : bytes)
    value = (value << 8) | b;
  return value;
}

std::size_t countPieces(std::string_view text) {
  std::size_t pieces = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('-', start);
    const std::size_t length = (end == std::string_view::npos ? text.size() : end) - start;
    if (length > 0)
      ++pieces;
    if (end == std::string_view::npos)
      return pieces;
    start = end + 1;
  }
}

}  // namespace

const std::vector<std::string>& words() {
  static const std::vector<std::string> table = [] {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= wordTable.size()) {
      std::size_t end = wordTable.find(' ', start);
      if (end == std::string_view::npos)
        end = wordTable.size();
      if (end > start)
        result.emplace_back(wordTable.substr(start, end - start));
      start = end + 1;
    }
    return result;
  }();
  return table;
}

std::uint64_t secureRandomBelow(std::uint64_t bound) {
  if (bound == 0)
    throw std::invalid_argument("secureRandomBelow needs a positive bound");
  // 2^64 mod bound: the values below it would make the low results more likely.
  const std::uint64_t rejectBelow = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t value = randomWord();
    if (value >= rejectBelow)
      return value % bound;
  }
}

std::string rotateToken(const DataDirectory& dir) {
  std::vector<std::string> pool = words();
  std::string code;
  for (int i = 0; i < 3; ++i) {
    const auto index = static_cast<std::ptrdiff_t>(secureRandomBelow(pool.size()));
    code += pool[static_cast<std::size_t>(index)];
    code += '-';
    pool.erase(pool.begin() + index);
  }
  code += std::to_string(100000 + secureRandomBelow(900000));

  const auto file = dir.tokenFile();
  writeFileAtomically(file, code + "\n", 0600, Durability::flushed);
  // The umask may have taken bits away from 0600; the owner still needs both.
  if (::chmod(file.c_str(), 0600) != 0)
    throwErrno(errno, ("Cannot set permissions of " + file.string()).c_str());
  return code;
}

std::string loadOrCreateToken(const DataDirectory& dir) {
  const auto content = readWholeFile(dir.tokenFile());
  if (content && isValidUtf8(*content)) {
    const std::string_view trimmed = trimWhitespace(*content, true);
    if (countPieces(trimmed) >= 4)
      return std::string(trimmed);
  }
  return rotateToken(dir);
}

}  // namespace orvane
