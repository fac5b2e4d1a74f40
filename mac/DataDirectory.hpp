// The per-user data directory, the names of its files, and the orvaned flag file.
#pragma once

#include <filesystem>

namespace orvane {

class DataDirectory {
 public:
  // ORVANE_DIR when set and not empty (used as it stands), else ~/.orvane.
  static DataDirectory fromEnvironment();

  explicit DataDirectory(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  // Creates the directory and any missing parents, each new one 0700. An existing directory
  // is left as it is. Throws std::system_error.
  void ensure() const;

  std::filesystem::path tokenFile() const { return path_ / "token"; }
  std::filesystem::path orvanedFile() const { return path_ / "orvaned"; }
  std::filesystem::path stateFile() const { return path_ / "state.json"; }
  std::filesystem::path historyFile() const { return path_ / "history.jsonl"; }
  std::filesystem::path portFile() const { return path_ / "port"; }

  // On unless the flag file holds a lone "0" (white space around it allowed).
  bool loadOrvaned() const;

  // Replaces the flag file with "1\n" or "0\n", durably. Errors are dropped: the flag only
  // matters at the next start, and the engine already holds the new value.
  void writeOrvaned(bool enabled) const;

 private:
  std::filesystem::path path_;
};

}  // namespace orvane
