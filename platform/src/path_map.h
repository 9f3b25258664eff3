// Windows-form paths on POSIX: the system sees backslash-separated paths, the
// kernel wants slashes. Every function that takes a path passes it through
// ToPosixPath, every function that returns one passes it through
// ToWindowsPath, so the two forms never mix. Also maps errno to Win32 codes
// for the file functions.
#ifndef PLATFORM_SRC_PATH_MAP_H
#define PLATFORM_SRC_PATH_MAP_H

#include <string>

#include "platform/winapi.h"

namespace pal {

// Backslashes become slashes; nothing else changes (no drive letters, no
// case folding), so "\var\lib\x" names /var/lib/x.
std::string ToPosixPath(const char* windowsPath);

// Slashes become backslashes.
std::string ToWindowsPath(const std::string& posixPath);

// The Win32 error a file or directory call reports for errno value err.
DWORD Win32ErrorFromErrno(int err);

}  // namespace pal

#endif  // PLATFORM_SRC_PATH_MAP_H
