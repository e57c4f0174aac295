// The platform layer: the few operating-system calls the converter needs, with one
// implementation for POSIX systems and one for Windows (MSVC's C runtime).
#pragma once

#include <cstdint>
#include <cstdio>

namespace qx::platform {

// Opens a file with a C runtime mode string ("rb", "wb", "ab"). On failure returns
// null and stores the C runtime's error number in *error (never 0).
std::FILE* OpenFile(const char* path, const char* mode, int* error);

// 64-bit file positioning, so sizes past 2 GiB are measured rather than wrapped.
// Both return -1 on failure with errno set.
std::int64_t Tell(std::FILE* file);
int Seek(std::FILE* file, std::int64_t offset, int origin);

// True when something (file, directory, device) exists at the path.
bool PathExists(const char* path);

// Waits for one key press without echo and without Enter. When standard input is not
// a terminal it consumes one byte and returns at end of input, so scripts never hang.
void WaitForKey();

}  // namespace qx::platform
