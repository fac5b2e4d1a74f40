// The history file: one line of compact JSON per accepted sample, only ever appended to by
// whole batches.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "Files.hpp"

namespace orvane {

class HistoryFile {
 public:
  // Adds a batch's lines (each ended by a line feed) at the end of `file`, all or nothing.
  // Returns the file it wrote through, whose data the caller still has to flush, or null when
  // there is nothing left to flush: the append failed, or the file was missing and has been
  // created whole and flushed. Failures are dropped.
  std::shared_ptr<const OpenFile> append(const std::filesystem::path& file, std::string_view lines);

 private:
  // The file whose torn tail has been cut; each file is checked once, before our first append
  // to it, since afterwards it only grows by our own whole lines.
  std::filesystem::path checked_;
};

}  // namespace orvane
