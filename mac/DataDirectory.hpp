// The per-user data directory, the names of its files, and the orvaned flag file.
#pragma once

#include <filesystem>

namespace orvane {

// ORVANE_DIR when set and not empty (used as it stands), else ~/.orvane. Resolved from the
// environment on every call.
std::filesystem::path dataDir();

// Creates the data directory and any missing parents, each new one 0700. An existing
// directory is left as it is. Throws std::system_error.
void ensureDataDir();

std::filesystem::path tokenFile();
std::filesystem::path orvanedFile();
std::filesystem::path stateFile();
std::filesystem::path historyFile();
std::filesystem::path portFile();

// On unless the file holds a lone "0" (white space around it allowed).
bool loadOrvaned();

// Replaces the flag file with "1\n" or "0\n". Errors are dropped: the flag only matters at
// the next start, and the engine already holds the new value.
void writeOrvaned(bool enabled);

}  // namespace orvane
