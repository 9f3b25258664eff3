// The Microsoft C runtime's secure functions and the strsafe formatting the
// system uses, for the POSIX build, declared as the CRT and strsafe.h declare
// them (including the C++ overloads that take the buffer size from an array).
// Wide text is UTF-16 here (-fshort-wchar), which glibc's wide functions do
// not understand, so wprintf is redirected to PAL_wprintf, which formats the
// UTF-16 text itself and writes UTF-8 bytes to stdout.
// Implements: fopen_s, _fsopen, vsprintf_s, sprintf_s, _vsnprintf_s, _snprintf_s,
//   strcat_s, wprintf (as PAL_wprintf), StringCchPrintfW, StringCchVPrintfW,
//   _fileno, _setmode.
// Not implemented: the invalid-parameter handler (calls that would invoke it
//   fail with the documented result instead), %ls/%S/%lc in the narrow
//   formats (see docs/platform-coverage.md).
#ifndef PLATFORM_POSIX_CRT_H
#define PLATFORM_POSIX_CRT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cwchar>

#include "platform/posix/base.h"

typedef int errno_t;

#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

#ifndef _countof
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#endif

// Translation modes of a file descriptor (_setmode).
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

// Sharing flags of _fsopen (share.h).
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
#define _SH_SECURE 0x80

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)

extern "C" {

errno_t fopen_s(FILE** pFile, const char* filename, const char* mode);
FILE* _fsopen(const char* filename, const char* mode, int shflag);

int vsprintf_s(char* buffer, size_t numberOfElements, const char* format, va_list argptr)
    __attribute__((format(printf, 3, 0)));
int sprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, ...) __attribute__((format(printf, 3, 4)));
int _vsnprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, va_list argptr)
    __attribute__((format(printf, 4, 0)));
int _snprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
errno_t strcat_s(char* strDestination, size_t numberOfElements, const char* strSource);

int PAL_wprintf(const WCHAR* format, ...);

int _fileno(FILE* stream);
int _setmode(int fd, int mode);

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList);

}  // extern "C"

// The CRT's C++ overloads: the size comes from the array itself.
template <size_t N>
inline int vsprintf_s(char (&buffer)[N], const char* format, va_list argptr) {
    return vsprintf_s(buffer, N, format, argptr);
}
template <size_t N>
inline int sprintf_s(char (&buffer)[N], const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vsprintf_s(buffer, N, format, args);
    va_end(args);
    return result;
}
template <size_t N>
inline int _vsnprintf_s(char (&buffer)[N], size_t count, const char* format, va_list argptr) {
    return _vsnprintf_s(buffer, N, count, format, argptr);
}
template <size_t N>
inline int _snprintf_s(char (&buffer)[N], size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnprintf_s(buffer, N, count, format, args);
    va_end(args);
    return result;
}
template <size_t N>
inline errno_t strcat_s(char (&strDestination)[N], const char* strSource) {
    return strcat_s(strDestination, N, strSource);
}

// After <cwchar>, so its own declaration of wprintf is left alone.
namespace std {
using ::PAL_wprintf;
}
#define wprintf PAL_wprintf

#endif  // PLATFORM_POSIX_CRT_H
