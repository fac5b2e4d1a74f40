// The few system calls that differ between Linux and macOS, each with a POSIX fallback, so that
// the rest of the bridge calls one name everywhere.
#pragma once

#include <cstddef>

namespace orvane {

// Fills `buffer` from the operating system's secure random source. Throws std::system_error
// when the source cannot be read.
void secureRandomBytes(unsigned char* buffer, std::size_t size);

// Flushes a file's data (and what is needed to read it back) to stable storage; returns 0 or
// -1 with errno, like the system call.
int flushFileData(int fd);

// Flushes a file's data and all of its metadata to stable storage; returns like flushFileData.
int flushWholeFile(int fd);

}  // namespace orvane
