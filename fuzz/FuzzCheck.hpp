// The one way a fuzz target reports a broken promise: a message and an abort, which libFuzzer
// turns into a saved crash input like any sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace orvane::fuzz {

inline void require(bool holds, const char* promise) {
  if (holds)
    return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

}  // namespace orvane::fuzz
