// The Microsoft C runtime pieces the system calls: secure string formatting
// and concatenation, fopen_s with the CRT's text mode (LF written as CR LF,
// so files are byte for byte those a Windows build writes), and wprintf and
// strsafe over 16-bit WCHAR text, which glibc's wide functions (4-byte
// wchar_t) cannot handle; their formatter is wide_format.cpp.
// Implements: fopen_s, _fsopen, vsprintf_s, sprintf_s, _vsnprintf_s, _snprintf_s,
//   strcat_s, PAL_wprintf (wprintf), StringCchPrintfW, StringCchVPrintfW.
// Not implemented: the invalid-parameter handler (such calls return the
//   documented error instead of ending the process), FILE_SHARE_DELETE,
//   Ctrl+Z handling in text mode,
//   "ccs=" encodings, %n. Narrow formats are glibc's: %ls, %S and %lc must not
//   be used in them, nor %I64d.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "file_share.h"
#include "path_map.h"
#include "utf16.h"
#include "wide_format.h"

namespace {

// ---------------------------------------------------------------------------
// fopen_s
// ---------------------------------------------------------------------------

struct OpenMode {
    int flags = 0;          // open(2) access and creation flags
    const char* stdioMode;  // the same access for fdopen/fopencookie
    bool text = true;
};

// Parses a CRT mode string; false for one the CRT rejects (EINVAL).
bool ParseOpenMode(const char* mode, OpenMode& out) {
    const char* p = mode;
    while (*p == ' ') ++p;
    char access = *p++;
    if (access != 'r' && access != 'w' && access != 'a') return false;
    bool plus = false, binary = false, text = false, commit = false;
    for (; *p; ++p) {
        switch (*p) {
        case '+':
            if (plus) return false;
            plus = true;
            break;
        case 'b':
            if (binary || text) return false;
            binary = true;
            break;
        case 't':
            if (binary || text) return false;
            text = true;
            break;
        case 'c':
        case 'n':
            if (commit) return false;
            commit = true;  // commit-to-disk flags: writes reach the kernel at fflush either way
            break;
        case 'N':  // not inherited: always the case here (O_CLOEXEC)
        case 'S':  // caching hints
        case 'R':
        case 'T':
        case ' ': break;
        default: return false;
        }
    }
    switch (access) {
    case 'r':
        out.flags = plus ? O_RDWR : O_RDONLY;
        out.stdioMode = plus ? "r+" : "r";
        break;
    case 'w':
        out.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        out.stdioMode = plus ? "w+" : "w";
        break;
    default:
        out.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        out.stdioMode = plus ? "a+" : "a";
        break;
    }
    out.text = !binary;
    return true;
}

// A text-mode stream over a descriptor. Writes turn every LF into CR LF;
// reads turn CR LF into LF (a lone CR stays). A CR at the end of one read
// needs the next byte to decide, which is kept for the following read.
struct TextFile {
    int fd;
    bool hasPending = false;
    char pending = 0;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t TextWrite(void* cookie, const char* buf, size_t size) {
    TextFile* file = static_cast<TextFile*>(cookie);
    std::string translated;
    translated.reserve(size + size / 8 + 1);
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n') translated.push_back('\r');
        translated.push_back(buf[i]);
    }
    // The stream treats 0 as an error; a partial count would be re-sent
    // translated a second time, so it is all or nothing.
    return WriteAll(file->fd, translated.data(), translated.size()) ? static_cast<ssize_t>(size) : 0;
}

ssize_t ReadSome(int fd, char* buf, size_t size) {
    for (;;) {
        ssize_t n = read(fd, buf, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

ssize_t TextRead(void* cookie, char* buf, size_t size) {
    TextFile* file = static_cast<TextFile*>(cookie);
    if (size == 0) return 0;
    size_t have = 0;
    if (file->hasPending) {
        buf[have++] = file->pending;
        file->hasPending = false;
    }
    if (have < size) {
        ssize_t n = ReadSome(file->fd, buf + have, size - have);
        if (n < 0 && have == 0) return -1;
        if (n > 0) have += static_cast<size_t>(n);
    }
    size_t out = 0;
    for (size_t i = 0; i < have; ++i) {
        if (buf[i] == '\r') {
            if (i + 1 < have) {
                if (buf[i + 1] == '\n') continue;
            } else {
                char next;
                if (ReadSome(file->fd, &next, 1) == 1) {
                    if (next == '\n') {
                        buf[out++] = '\n';
                        continue;
                    }
                    file->pending = next;
                    file->hasPending = true;
                }
            }
        }
        buf[out++] = buf[i];
    }
    return static_cast<ssize_t>(out);
}

int TextSeek(void* cookie, off64_t* offset, int whence) {
    TextFile* file = static_cast<TextFile*>(cookie);
    off64_t target = *offset;
    if (whence == SEEK_CUR && file->hasPending) target -= 1;  // that byte was read ahead
    off64_t result = lseek64(file->fd, target, whence);
    if (result < 0) return -1;
    file->hasPending = false;
    *offset = result;
    return 0;
}

int TextClose(void* cookie) {
    TextFile* file = static_cast<TextFile*>(cookie);
    int result = close(file->fd);
    delete file;
    return result == 0 ? 0 : -1;
}

// What a CRT share flag lets others do while this open lasts; false for an
// unknown flag. _SH_SECURE is documented as "shared read, exclusive write".
bool SharingOf(int shflag, pal::ShareRequest& out) {
    // clang-format off
    switch (shflag) {
    case _SH_DENYRW: out.shareRead = false; out.shareWrite = false; return true;
    case _SH_DENYWR: out.shareRead = true; out.shareWrite = false; return true;
    case _SH_DENYRD: out.shareRead = false; out.shareWrite = true; return true;
    case _SH_DENYNO: out.shareRead = true; out.shareWrite = true; return true;
    case _SH_SECURE: out.shareRead = true; out.shareWrite = false; return true;
    default: return false;
    }
    // clang-format on
}

// Opens filename for fopen_s and _fsopen. The descriptor is opened for
// reading too when the mode only writes, because the share record is a set
// of read locks; the stream keeps the mode's own access. Truncation waits
// for the share check, so a refused "w" leaves the file alone. Returns NULL
// with errno set on failure; EACCES when faultPoint is the injected fault.
FILE* OpenStream(const char* filename, const char* mode, int shflag, const char* faultPoint) {
    OpenMode parsed;
    if (!ParseOpenMode(mode, parsed)) {
        errno = EINVAL;
        return nullptr;
    }
    const int access = parsed.flags & O_ACCMODE;
    pal::ShareRequest request = {access != O_WRONLY, access != O_RDONLY, false, false};
    if (!SharingOf(shflag, request)) {
        errno = EINVAL;
        return nullptr;
    }
    if (PAL_FAULT_POINT(faultPoint)) {
        errno = EACCES;
        return nullptr;
    }
    const bool truncate = (parsed.flags & O_TRUNC) != 0;
    const int flags = (parsed.flags & ~(O_TRUNC | O_ACCMODE)) | O_CLOEXEC;
    std::string path = pal::ToPosixPath(filename);
    int fd = open(path.c_str(), flags | (access == O_RDONLY ? O_RDONLY : O_RDWR), 0666);
    bool shareable = true;
    if (fd < 0 && errno == EACCES && access == O_WRONLY) {
        // Writable but not readable: opened without a share record (see
        // docs/platform-coverage.md).
        fd = open(path.c_str(), flags | O_WRONLY, 0666);
        shareable = false;
    }
    if (fd < 0) return nullptr;
    int err = shareable ? pal::TakeShareLocks(fd, request) : 0;
    if (err == 0 && truncate && ftruncate(fd, 0) != 0) err = errno;
    if (err != 0) {
        close(fd);
        errno = err;
        return nullptr;
    }
    FILE* stream = nullptr;
    if (parsed.text) {
        TextFile* cookie = new (std::nothrow) TextFile{fd};
        if (cookie) {
            cookie_io_functions_t functions = {TextRead, TextWrite, TextSeek, TextClose};
            stream = fopencookie(cookie, parsed.stdioMode, functions);
            if (!stream) delete cookie;
        } else {
            errno = ENOMEM;
        }
    } else {
        stream = fdopen(fd, parsed.stdioMode);
    }
    if (!stream) {
        err = errno ? errno : ENOMEM;
        close(fd);
        errno = err;
    }
    return stream;
}

// ---------------------------------------------------------------------------
// Narrow formatting
// ---------------------------------------------------------------------------

// The checks the narrow formatting calls begin with: false with errno
// EINVAL for a NULL or empty buffer, or for a NULL format (the buffer is
// then emptied).
bool FormatArgumentsValid(char* buffer, size_t size, const char* format) {
    if (!buffer || size == 0) {
        errno = EINVAL;
        return false;
    }
    if (!format) {
        buffer[0] = '\0';
        errno = EINVAL;
        return false;
    }
    return true;
}

// The whole text or nothing: its length, or -1 with the buffer emptied and
// errno ERANGE when it does not fit (EINVAL for a bad format).
int FormatWhole(char* buffer, size_t size, const char* format, va_list args) {
    int length = std::vsnprintf(buffer, size, format, args);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';
        errno = length < 0 ? EINVAL : ERANGE;
        return -1;
    }
    return length;
}

}  // namespace

/***********************************************************************
 *           _fileno
 *
 * RETURNS
 *  The descriptor behind stream.
 */
int _fileno(FILE* stream) { return fileno(stream); }

/***********************************************************************
 *           _setmode
 *
 * PARAMS
 *  fd   [I] an open file descriptor
 *  mode [I] _O_TEXT or _O_BINARY
 *
 * RETURNS
 *  The previous mode; -1 with errno EINVAL for another mode, EBADF for a
 *  descriptor that is not open.
 *
 * NOTES
 *  POSIX descriptors never translate line ends, so every descriptor is
 *  binary: the previous mode is always _O_BINARY, and _O_TEXT is accepted
 *  without effect (text translation exists only in fopen_s's text streams).
 *  Windows starts standard streams in text mode.
 */
int _setmode(int fd, int mode) {
    if (mode != _O_TEXT && mode != _O_BINARY) {
        errno = EINVAL;
        return -1;
    }
    if (fcntl(fd, F_GETFD) == -1) {
        errno = EBADF;
        return -1;
    }
    return _O_BINARY;
}

/***********************************************************************
 *           fopen_s
 *
 * PARAMS
 *  pFile    [O] receives the stream; NULL when the open fails, unchanged
 *               when an argument is NULL (as documented)
 *  filename [I] Windows-form path
 *  mode     [I] "r", "w", "a", "r+", "w+", "a+", each with "b" or "t"
 *               (text is the default); also the CRT's 'c', 'n', 'N', 'S',
 *               'R', 'T' hints
 *
 * RETURNS
 *  0, or an errno value: EINVAL for a NULL argument or a bad mode, EACCES
 *  when another open of the file does not allow this one (sharing), else
 *  the error of the open (ENOENT, EACCES...).
 *
 * NOTES
 *  Text mode writes CR LF for each LF and reads CR LF as LF, as the CRT
 *  does. "a"/"a+" use O_APPEND, so every write lands at the end of the file
 *  even after a seek for reading. As documented, the file is not sharable
 *  (_SH_DENYRW): while it is open, no other open of it succeeds, in this or
 *  another process (file_share.h); use _fsopen to share.
 *  No invalid-parameter handler is called.
 */
errno_t fopen_s(FILE** pFile, const char* filename, const char* mode) {
    // NULL arguments leave *pFile as it was; every later failure clears it.
    if (!pFile || !filename || !mode) return errno = EINVAL;
    *pFile = nullptr;
    FILE* stream = OpenStream(filename, mode, _SH_DENYRW, "fopen_s");
    if (!stream) return errno;
    *pFile = stream;
    return 0;
}

/***********************************************************************
 *           _fsopen
 *
 * PARAMS
 *  filename [I] Windows-form path
 *  mode     [I] as for fopen_s
 *  shflag   [I] _SH_DENYRW, _SH_DENYWR, _SH_DENYRD, _SH_DENYNO or _SH_SECURE
 *
 * RETURNS
 *  The stream, or NULL with errno: EINVAL for a NULL argument, a bad mode
 *  or an unknown shflag, EACCES for a sharing violation, else the error of
 *  the open.
 *
 * NOTES
 *  The sharing holds across processes for every open made through this
 *  layer (fopen_s, _fsopen); programs outside it are not seen. No
 *  invalid-parameter handler is called.
 */
FILE* _fsopen(const char* filename, const char* mode, int shflag) {
    if (!filename || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return OpenStream(filename, mode, shflag, "_fsopen");
}

/***********************************************************************
 *           vsprintf_s / sprintf_s
 *
 * RETURNS
 *  The length written (NUL excluded). -1 with errno EINVAL for a NULL
 *  buffer or format or a zero size; -1 with errno ERANGE and buffer[0] = 0
 *  when the text and its NUL do not fit.
 *
 * NOTES
 *  Windows calls the invalid-parameter handler (by default ending the
 *  process) in the -1 cases; here the call just fails. Use _vsnprintf_s
 *  with _TRUNCATE to cut long text instead.
 */
int vsprintf_s(char* buffer, size_t numberOfElements, const char* format, va_list argptr) {
    if (!FormatArgumentsValid(buffer, numberOfElements, format)) return -1;
    return FormatWhole(buffer, numberOfElements, format, argptr);
}

int sprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vsprintf_s(buffer, sizeOfBuffer, format, args);
    va_end(args);
    return result;
}

/***********************************************************************
 *           _vsnprintf_s / _snprintf_s
 *
 * PARAMS
 *  buffer       [O] receives the text, always NUL-terminated on return
 *  sizeOfBuffer [I] size of buffer in chars
 *  count        [I] most chars to write (NUL excluded), or _TRUNCATE for
 *                   as many as fit in sizeOfBuffer - 1
 *
 * RETURNS
 *  The length written; -1 when the text was cut at count (or at
 *  sizeOfBuffer - 1 with _TRUNCATE), errno unchanged. -1 with ERANGE and
 *  buffer[0] = 0 when count >= sizeOfBuffer (not _TRUNCATE) and the text
 *  does not fit; -1 with EINVAL for NULL arguments or a zero size.
 *  buffer NULL with sizeOfBuffer and count both 0 returns 0.
 *
 * NOTES
 *  No invalid-parameter handler is called (Windows calls it for the
 *  EINVAL and ERANGE cases).
 */
int _vsnprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, va_list argptr) {
    if (!buffer && sizeOfBuffer == 0 && count == 0) return 0;
    if (!FormatArgumentsValid(buffer, sizeOfBuffer, format)) return -1;
    if (count == _TRUNCATE) count = sizeOfBuffer - 1;
    if (count < sizeOfBuffer) {
        int length = std::vsnprintf(buffer, count + 1, format, argptr);
        if (length < 0) {
            buffer[0] = '\0';
            errno = EINVAL;
            return -1;
        }
        return static_cast<size_t>(length) > count ? -1 : length;
    }
    return FormatWhole(buffer, sizeOfBuffer, format, argptr);
}

int _snprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnprintf_s(buffer, sizeOfBuffer, count, format, args);
    va_end(args);
    return result;
}

/***********************************************************************
 *           strcat_s
 *
 * RETURNS
 *  0; EINVAL for a NULL or unterminated destination or a zero size
 *  (destination untouched), EINVAL for a NULL source (strDestination[0] =
 *  0); ERANGE when the result does not fit (strDestination[0] = 0).
 *
 * NOTES
 *  Windows calls the invalid-parameter handler in the error cases; here the
 *  call just fails. Windows documents ERANGE for a zero size, which cannot
 *  be honoured without writing outside the buffer.
 */
errno_t strcat_s(char* strDestination, size_t numberOfElements, const char* strSource) {
    if (!strDestination || numberOfElements == 0) return errno = EINVAL;
    if (!strSource) {
        strDestination[0] = '\0';
        return errno = EINVAL;
    }
    size_t used = strnlen(strDestination, numberOfElements);
    if (used == numberOfElements) return errno = EINVAL;
    size_t extra = std::strlen(strSource);
    if (extra >= numberOfElements - used) {
        strDestination[0] = '\0';
        return errno = ERANGE;
    }
    std::memcpy(strDestination + used, strSource, extra + 1);
    return 0;
}

/***********************************************************************
 *           PAL_wprintf (wprintf)
 *
 * RETURNS
 *  The number of WCHARs written, or -1 (errno EINVAL, nothing written) for a
 *  format refused as by StringCchVPrintfW or text longer than INT_MAX.
 *
 * NOTES
 *  Formats by the Microsoft rules for wide functions (%s is WCHAR text,
 *  %hs/%S narrow; %d, %u, %x, %ld are 32-bit) and writes the result to
 *  stdout as UTF-8 bytes, so the stream stays byte-oriented and mixes with
 *  printf. Windows converts to the console or C-locale code page instead.
 */
int PAL_wprintf(const WCHAR* format, ...) {
    if (!format) {
        errno = EINVAL;
        return -1;
    }
    // Past INT_MAX units the count cannot be returned; the text is dropped.
    pal::WideOutput text(static_cast<size_t>(INT_MAX) + 1);
    va_list args;
    va_start(args, format);
    bool formatted = pal::FormatWide(format, args, text);
    va_end(args);
    if (!formatted || text.Total() > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    const int length = static_cast<int>(text.Total());
    std::string bytes = pal::Utf16ToUtf8(text.Kept().data(), text.Kept().size());
    flockfile(stdout);
    size_t written = fwrite_unlocked(bytes.data(), 1, bytes.size(), stdout);
    funlockfile(stdout);
    return written == bytes.size() ? length : -1;
}

/***********************************************************************
 *           StringCchVPrintfW / StringCchPrintfW
 *
 * PARAMS
 *  pszDest   [O] receives the text, NUL-terminated whenever cchDest > 0
 *  cchDest   [I] size of pszDest in WCHARs, 1 to STRSAFE_MAX_CCH
 *  pszFormat [I] format, Microsoft's wide rules (see PAL_wprintf)
 *
 * RETURNS
 *  S_OK; STRSAFE_E_INSUFFICIENT_BUFFER with the text cut to cchDest - 1
 *  WCHARs; STRSAFE_E_INVALID_PARAMETER for a zero or too large cchDest or a
 *  NULL argument (nothing written), and with pszDest[0] = 0 for a format
 *  the CRT refuses (%n; a width or precision, written or through '*', that
 *  does not fit in an int).
 *
 * NOTES
 *  Windows calls the invalid-parameter handler for a refused format.
 */
HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList) {
    if (!pszDest || cchDest == 0 || cchDest > STRSAFE_MAX_CCH || !pszFormat) return STRSAFE_E_INVALID_PARAMETER;
    // One unit more than fits is kept, to tell a full fit from a cut.
    pal::WideOutput text(cchDest);
    if (!pal::FormatWide(pszFormat, argList, text)) {
        pszDest[0] = L'\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t copied = std::min(text.Kept().size(), cchDest - 1);
    // An empty text may have no storage at all: memcpy must not see its NULL.
    if (copied > 0) std::memcpy(pszDest, text.Kept().data(), copied * sizeof(WCHAR));
    pszDest[copied] = L'\0';
    return copied == text.Total() ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}
