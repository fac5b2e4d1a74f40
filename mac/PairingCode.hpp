// The pairing code: three different words from a fixed table and a six-digit number, joined
// by hyphens, kept in the token file of the data directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DataDirectory.hpp"

namespace orvane {

// The table as stored: 20 words separated by single spaces.
extern const std::string_view wordTable;

// The 20 words codes are made from, split from wordTable at first use.
const std::vector<std::string>& words();

// A uniformly drawn integer in [0, bound), bound > 0, from the operating system's secure
// random source. Throws std::system_error when the source cannot be read.
std::uint64_t secureRandomBelow(std::uint64_t bound);

// Makes a new code, stores it in the token file of `dir` (with a line feed, mode 0600) and returns
// it. Throws std::system_error; the old file then stays.
std::string rotateToken(const DataDirectory& dir);

// The stored code when the token file holds one (at least four hyphen-separated pieces once
// trimmed), else a new one from rotateToken.
std::string loadOrCreateToken(const DataDirectory& dir);

}  // namespace orvane
