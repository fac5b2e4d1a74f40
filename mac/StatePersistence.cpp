// The engine's two files. "state.json" is only ever replaced whole (written aside, then
// renamed). "history.jsonl" only grows by whole batches: an append that does not land
// completely is cut back to the length the file had before it, so the file never ends in a
// torn line; an existing history file is never replaced, only a missing one is created.
// Every failure is dropped here: the in-memory state is what counts, and the caller has
// nobody to tell.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "DataDirectory.hpp"
#include "Files.hpp"
#include "StateEngine.hpp"

namespace orvane {

namespace {

const std::string& stringOr(const JsonObject& sample, const char* key,
                            const std::string& fallback) {
  const auto it = sample.find(key);
  if (it == sample.end() || !it->is_string())
    return fallback;
  return it->get_ref<const std::string&>();
}

}  // namespace

void StateEngine::writeStateLocked(double now) const {
  try {
    std::string text = derivedLocked(now).dump(2);
    text += '\n';
    writeFileAtomically(stateFile(), text);
  } catch (const std::exception&) {
    // The previous document stays; the next change rewrites it.
  }
}

void StateEngine::addHistoryLine(std::string& text, const std::string& type, Reading reading,
                                 const JsonObject& sample) {
  static const std::string noUnit;
  static const std::string unknownDevice = "unknown";
  // One record per thread, refilled for every line: building five map entries per sample
  // costs more than serialising them.
  thread_local JsonObject record = {
      {"type", ""}, {"value", 0.0}, {"ts", 0.0}, {"unit", ""}, {"device", ""}};
  record["type"].get_ref<std::string&>() = type;
  record["value"].get_ref<double&>() = reading.value;
  record["ts"].get_ref<double&>() = reading.ts;
  record["unit"].get_ref<std::string&>() = stringOr(sample, "unit", noUnit);
  record["device"].get_ref<std::string&>() = stringOr(sample, "device", unknownDevice);
  try {
    // Serialised aside first: a record that throws half-way must leave nothing behind.
    const std::string line = record.dump();
    text += line;
    text += '\n';
  } catch (const nlohmann::json::exception&) {
    // Text that is not valid UTF-8 cannot be written as JSON; the sample still counts.
  }
}

void StateEngine::appendHistory(const std::filesystem::path& file, std::string_view text) {
  // No O_CREAT: only a missing file may be created, and then atomically with the whole batch.
  // O_NONBLOCK changes nothing for a regular file but keeps a FIFO in its place from
  // blocking the engine forever.
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      try {
        writeFileAtomically(file, text);
      } catch (const std::exception&) {
      }
    }
    return;
  }
  struct stat before {};
  if (::fstat(fd, &before) == 0) {
    ssize_t written = -1;
    do {
      written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(text.size())) {
      // A disk that filled up or a file-size limit leaves part of the batch: take it back.
      [[maybe_unused]] const int ignored = ::ftruncate(fd, before.st_size);
    }
  }
  ::close(fd);
}

}  // namespace orvane
