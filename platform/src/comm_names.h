// How COM port names find their devices on POSIX.
//
// Like Wine's dosdevices folder: a folder of entries named com1, com2, ...
// (usually symbolic links) that point at terminal devices. The folder is
// $GLOBALTOOLS_DOSDEVICES when that is set, otherwise
// $XDG_CONFIG_HOME/globaltools/dosdevices, otherwise
// $HOME/.config/globaltools/dosdevices. A COM number without an entry is the
// Linux serial port of the same position: COMn is /dev/ttyS<n-1>.
// A device may also be named by its own absolute path (DevicePathFromName).
// docs/serial-ports.md shows how to set entries up.
#ifndef PLATFORM_SRC_COMM_NAMES_H
#define PLATFORM_SRC_COMM_NAMES_H

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "path_map.h"
#include "platform/winapi.h"
#include "utf16.h"

namespace pal {
namespace comm {

inline bool SameLetterIgnoringCase(WCHAR c, char upper) {
    return c == static_cast<WCHAR>(upper) || c == static_cast<WCHAR>(upper - 'A' + 'a');
}

// Reads "COM<n>" at *p (letters in either case, n decimal without sign or
// leading zero, 1 <= n <= INT_MAX) and moves *p past it. Returns n, or 0.
inline int ReadComPrefix(const WCHAR** p) {
    const WCHAR* s = *p;
    if (!SameLetterIgnoringCase(s[0], 'C') || !SameLetterIgnoringCase(s[1], 'O') ||
        !SameLetterIgnoringCase(s[2], 'M')) {
        return 0;
    }
    s += 3;
    if (*s < L'1' || *s > L'9') {
        return 0;
    }
    long long n = 0;
    while (*s >= L'0' && *s <= L'9') {
        n = n * 10 + (*s - L'0');
        if (n > INT_MAX) {
            return 0;
        }
        ++s;
    }
    *p = s;
    return static_cast<int>(n);
}

// "\\.\COMn" or "COMn", nothing after it. Returns n, or 0 for other names.
inline int ComNumberFromName(const WCHAR* name) {
    const WCHAR* p = name;
    if (p[0] == L'\\' && p[1] == L'\\' && p[2] == L'.' && p[3] == L'\\') {
        p += 4;
    }
    const int n = ReadComPrefix(&p);
    return n > 0 && *p == 0 ? n : 0;
}

inline std::string ComFolder() {
    if (const char* dir = std::getenv("GLOBALTOOLS_DOSDEVICES")) {
        if (*dir) {
            return dir;
        }
    }
    if (const char* config = std::getenv("XDG_CONFIG_HOME")) {
        if (*config) {
            return std::string(config) + "/globaltools/dosdevices";
        }
    }
    if (const char* home = std::getenv("HOME")) {
        return std::string(home) + "/.config/globaltools/dosdevices";
    }
    return std::string();
}

inline std::string DevicePathForCom(int n) {
    const std::string folder = ComFolder();
    if (!folder.empty()) {
        const std::string entry = folder + "/com" + std::to_string(n);
        struct stat st;
        if (lstat(entry.c_str(), &st) == 0) {
            return entry;
        }
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

// A name that opens as a port although it is no COM name: an absolute path
// (either slash) under /dev/, or one that names a character device wherever
// its link lives. Everything else stays a disk file, so ordinary files keep
// working, while a name under /dev/ never becomes one: a missing device is
// not created, and a regular file, a directory or /dev/null fails the way a
// missing port does (CreateFileW checks the kind). Fills *path with the
// POSIX form; false for other names, "\\" names included.
inline bool DevicePathFromName(const WCHAR* name, std::string* path) {
    if (name[0] == L'\\' && name[1] == L'\\') {
        return false;
    }
    const std::string posix = ToPosixPath(Utf16ToUtf8(name).c_str());
    if (posix.empty() || posix[0] != '/') {
        return false;
    }
    struct stat st;
    if (posix.compare(0, 5, "/dev/") != 0 && !(stat(posix.c_str(), &st) == 0 && S_ISCHR(st.st_mode))) {
        return false;
    }
    *path = posix;
    return true;
}

inline bool ComPortExists(int n) {
    struct stat st;
    return stat(DevicePathForCom(n).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace comm
}  // namespace pal

#endif  // PLATFORM_SRC_COMM_NAMES_H
