// The running process: its IDs, its executable's path and the local clock.
// Implements: GetCurrentProcessId, GetCurrentThreadId, GetModuleFileNameA
//   (the executable only), GetLocalTime, SetEnvironmentVariableA.
// Not implemented: module handles (only NULL, the executable, is accepted).
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "path_map.h"

namespace {

// The executable's absolute path in POSIX form, or empty.
std::string ExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

/***********************************************************************
 *           GetCurrentProcessId
 */
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

/***********************************************************************
 *           GetCurrentThreadId
 *
 * RETURNS
 *  The kernel's ID of the calling thread: stable for the thread's life,
 *  distinct among live threads, small (bounded by pid_max).
 */
DWORD WINAPI GetCurrentThreadId(void) {
    thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

/***********************************************************************
 *           GetModuleFileNameA
 *
 * PARAMS
 *  hModule    [I] NULL for the executable
 *  lpFilename [O] receives the full path, backslash-separated
 *  nSize      [I] size of lpFilename in characters
 *
 * RETURNS
 *  The length without the NUL. If nSize is too small, the first nSize - 1
 *  characters and a NUL, nSize, and ERROR_INSUFFICIENT_BUFFER (nothing is
 *  written when nSize is 0). 0 on failure: ERROR_MOD_NOT_FOUND for any
 *  hModule but NULL.
 *
 * NOTES
 *  The path comes from /proc/self/exe. Success sets the last error to
 *  ERROR_SUCCESS, as current Windows does (XP left it alone). Wine 8 copies
 *  nSize characters without a NUL when truncating, as XP did; this follows
 *  the documented behaviour.
 */
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path = ExecutablePath();
    if (path.empty()) {
        SetLastError(pal::Win32ErrorFromErrno(errno));
        return 0;
    }
    if (nSize && !lpFilename) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    path = pal::ToWindowsPath(path);
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.c_str(), path.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    if (nSize > 0) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

/***********************************************************************
 *           GetLocalTime
 *
 * NOTES
 *  Local time by the process's time zone (TZ, /etc/localtime), with
 *  milliseconds from the realtime clock.
 */
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second (tm_sec 60) is folded into 59, which SYSTEMTIME can hold.
    lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000L);
}

/***********************************************************************
 *           SetEnvironmentVariableA
 *
 * PARAMS
 *  lpName  [I] the variable's name: not empty, no '='
 *  lpValue [I] its new value, or NULL to remove it
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_PARAMETER for a NULL, empty or '='
 *  holding name, or the error setenv gave.
 *
 * NOTES
 *  The C runtime's environment is the process's: getenv sees the change.
 *  Not safe while another thread reads the environment, as on POSIX
 *  generally; programs set variables before starting threads.
 */
BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (!lpName || !*lpName || std::strchr(lpName, '=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int result = lpValue ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
    if (result != 0) {
        SetLastError(pal::Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
