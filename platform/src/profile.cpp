// INI file reading, with the Windows profile parser's rules: names compared
// without case, blanks trimmed, first match wins, and integers converted the
// way the kernel's string-to-integer routine does (wrapping, not clamping).
// Implements: GetPrivateProfileIntA.
// Not implemented: the Windows directory (a bare file name finds no file),
//   the registry mapping of profile files, win.ini (a NULL file name),
//   UTF-16 files, write-back caching.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string>

#include "path_map.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// ASCII letters only: the profile parser of the system's ANSI code page folds
// more, but section and key names here are ASCII.
bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

// Optional sign, then "0x", "0o" or "0b" for another base, then digits up to
// the first character that is not one; no digits gives 0. The value wraps
// modulo 2^32 and a minus sign negates it in two's complement.
UINT ParseProfileInteger(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        switch (text[i + 1]) {
        case 'x':
            base = 16;
            i += 2;
            break;
        case 'o':
            base = 8;
            i += 2;
            break;
        case 'b':
            base = 2;
            i += 2;
            break;
        default: break;
        }
    }
    uint32_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'z')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'Z')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            break;
        if (digit >= base) break;
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

// A file name without any separator would be looked up in the Windows
// directory, which this system does not have.
bool IsBareName(const char* fileName) {
    for (const char* p = fileName; *p; ++p) {
        if (*p == '\\' || *p == '/') return false;
    }
    return true;
}

// The whole file, read with plain descriptor calls: a C++ file stream would
// set up the locale machinery on its first use, a cost that a missing file
// (the common case, each time a log line is filtered) need not pay. False
// when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& contents) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = true;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            contents.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            ok = got == 0;
            break;
        }
    }
    close(fd);
    return ok;
}

// The text GetPrivateProfileString would give for section/key: the value
// (quotes removed) of the first key of that name in the first section of
// that name; with a NULL section the first section's name, with a NULL key
// the first key's name (lines without '=' are not keys). False when there is
// none.
bool FindProfileText(const std::string& contents, const char* section, const char* key, std::string& text) {
    size_t pos = 0;
    if (contents.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    bool inSection = false;
    bool sectionSeen = false;
    while (pos < contents.size()) {
        size_t end = contents.find('\n', pos);
        if (end == std::string::npos) end = contents.size();
        std::string line = Trim(contents.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (sectionSeen) return false;
            size_t close = line.find(']');
            std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            if (!section) {
                text = name;
                return true;
            }
            inSection = EqualsIgnoringCase(name, section);
            sectionSeen = inSection;
            continue;
        }
        size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos) continue;
        std::string name = Trim(line.substr(0, equals));
        if (!key) {
            if (!name.empty() && name[0] == ';') continue;  // comments are not listed
            text = name;
            return true;
        }
        if (!EqualsIgnoringCase(name, key)) continue;
        text = Trim(line.substr(equals + 1));
        if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0])
            text = text.substr(1, text.size() - 2);
        return true;
    }
    return false;
}

}  // namespace

/***********************************************************************
 *           GetPrivateProfileIntA
 *
 * PARAMS
 *  lpAppName  [I] section name (case-insensitive); NULL reads the first
 *                section's name as the value, as Windows does
 *  lpKeyName  [I] key name (case-insensitive); NULL reads the first key's
 *                name as the value
 *  nDefault   [I] returned when there is no value
 *  lpFileName [I] the INI file; a path with at least one separator
 *
 * RETURNS
 *  The value converted as an unsigned 32-bit integer ("-1" -> 0xFFFFFFFF,
 *  "12abc" -> 12, "abc" -> 0, "0x1F" -> 31, overflow wraps); (UINT)nDefault
 *  when the file, section or key is missing or the value is empty.
 *
 * NOTES
 *  Lines are trimmed of blanks; the first section with the name and the
 *  first key in it win; lines starting with ';' are keys that nobody asks
 *  for, so they act as comments. A bare file name (no backslash) is looked
 *  up in the Windows directory on Windows; there is none here, so it gives
 *  the default. A leading UTF-8 byte order mark is skipped.
 */
UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName) {
    const UINT fallback = static_cast<UINT>(nDefault);
    if (!lpFileName || !*lpFileName || IsBareName(lpFileName)) return fallback;
    std::string contents;
    if (!ReadWholeFile(pal::ToPosixPath(lpFileName), contents)) return fallback;
    std::string text;
    if (!FindProfileText(contents, lpAppName, lpKeyName, text) || text.empty()) return fallback;
    return ParseProfileInteger(text);
}
