// The work both file loggers share: building the log file and INI paths when a
// logger is constructed, and writing one filtered, time-stamped line. CLog and
// CLogEx keep their own fields and pass them in, so the two classes differ
// only in file name, default threshold and lifetime.
#ifndef TOOLS_LOG_LOGWRITER_H
#define TOOLS_LOG_LOGWRITER_H

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/winapi.h"

namespace LogWriter {

// Appends part to path only if the result, terminator included, fits the
// MAX_PATH buffer; strcat_s would otherwise hit the invalid-parameter handler.
inline bool AppendFits(char (&path)[MAX_PATH], const char* part) {
    if (std::strlen(path) + std::strlen(part) >= MAX_PATH) {
        return false;
    }
    return strcat_s(path, part) == 0;
}

// Access entry for the folders a logger creates: the local Users group
// (S-1-5-32-545) may modify (0x1301bf: read, write, execute, delete), and
// files and folders made inside inherit it (OI, CI). The first run, elevated
// or another account's, owns what it creates; without this a later run under
// another account could not append and would log nothing.
const char kUsersMayModify[] = "D:(A;OICI;0x1301bf;;;BU)";

// Creates one folder level with kUsersMayModify added to what it inherits.
// A folder that exists already is left as it is (ERROR_ALREADY_EXISTS). If
// the entry cannot be built, the folder is created with default security all
// the same. The last error is that of CreateDirectoryA.
inline BOOL CreateLogFolder(const char* path) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = FALSE;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kUsersMayModify, SDDL_REVISION_1, &descriptor, NULL)) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    BOOL created = CreateDirectoryA(path, descriptor != NULL ? &attributes : NULL);
    DWORD error = GetLastError();
    if (descriptor != NULL) {
        LocalFree(descriptor);
    }
    SetLastError(error);
    return created;
}

// Builds "<common app data>\Quendra Driver Package\logs\<logFileName>" and
// "<exe folder>\kvconfig.ini", creating the two folders on the way
// (CreateLogFolder). A folder that cannot be prepared, or a folder path
// longer than 259 characters, leaves logFilePath empty; an unreadable
// executable path leaves iniFilePath empty. Neither is an error for the
// caller: the logger then writes nothing, or uses its default threshold.
inline void BuildPaths(const char* logFileName, std::string& logFilePath, std::string& iniFilePath) {
    char path[MAX_PATH] = {0};

    if (SHGetSpecialFolderPathA(NULL, path, CSIDL_COMMON_APPDATA, FALSE)) {
        // PathAddBackslashA assumes a MAX_PATH buffer but some versions do
        // not stop at its end, so room for the backslash is checked first.
        if (std::strlen(path) + 1 < MAX_PATH && PathAddBackslashA(path) != NULL &&
            AppendFits(path, "Quendra Driver Package\\")) {
            bool folderReady = CreateLogFolder(path) || GetLastError() == ERROR_ALREADY_EXISTS;
            if (folderReady && AppendFits(path, "logs\\")) {
                // Not checked: while "logs" is missing each line fails to
                // open and is dropped, which is all a caller could be told.
                CreateLogFolder(path);
                logFilePath = path;
                logFilePath += logFileName;
            }
        }
    }

    // A result of MAX_PATH means the path was cut (and, on old systems, left
    // without a terminator): an INI beside a cut path would be the wrong one.
    std::memset(path, 0, sizeof(path));
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    char* lastBackslash = std::strrchr(path, '\\');
    if (lastBackslash != NULL) {
        lastBackslash[1] = '\0';
    }
    iniFilePath = path;
    iniFilePath += "kvconfig.ini";
}

// Writes "[pid] [tid] MM-DD hh:mm:ss:mmm : <message>\n" to logFilePath when
// level is not above the threshold read from the INI file (or defaultLevel),
// and to standard error when it is not above standardErrorLevel.
// The threshold is read before the lock, on every call; the lock is held from
// reading the time to closing the file, so lines through one logger never
// interleave and are stamped in the order they are written. Every failure
// drops the line silently.
inline void WriteLine(CRITICAL_SECTION& logLock, const std::string& logFilePath, const std::string& iniFilePath,
                      int defaultLevel, int level, const char* format, va_list args, int standardErrorLevel = -1) {
    int threshold = static_cast<int>(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", defaultLevel, iniFilePath.c_str()));
    const bool toFile = threshold >= level;
    const bool toStandardError = standardErrorLevel >= level;
    if (!toFile && !toStandardError) {
        return;
    }

    EnterCriticalSection(&logLock);

    SYSTEMTIME now;
    GetLocalTime(&now);

    // An empty path is never opened: older C runtimes treat an empty file
    // name as an invalid parameter instead of a failed open. The file is
    // shared for reading and writing: fopen_s would open it exclusively, and
    // a line written while another run (or a log viewer) holds the file
    // would be dropped.
    FILE* file = NULL;
    if (toFile && !logFilePath.empty()) {
        file = _fsopen(logFilePath.c_str(), "a+", _SH_DENYNO);
    }
    if (file != NULL || toStandardError) {
        // The whole line goes out in one unbuffered write. A process that
        // ends while another thread is inside this block flushes every open
        // stream: with a buffered stream, half a line would be written.
        char line[64 + 512] = {0};
        _snprintf_s(line, sizeof(line), _TRUNCATE,
                    "[%d] [%d] %02d-%02d %02d:%02d:%02d:%03d : ", static_cast<int>(GetCurrentProcessId()),
                    static_cast<int>(GetCurrentThreadId()), now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                    now.wMilliseconds);

        // Longer messages are cut at 511 characters (_TRUNCATE); the text is
        // written as it is, never used as a format again.
        char message[512] = {0};
        _vsnprintf_s(message, sizeof(message), _TRUNCATE, format, args);
        strcat_s(line, message);
        strcat_s(line, "\n");

        if (file != NULL) {
            setvbuf(file, NULL, _IONBF, 0);
            fputs(line, file);
            fclose(file);
        }
        if (toStandardError) {
            fputs(line, stderr);
            fflush(stderr);
        }
    }

    LeaveCriticalSection(&logLock);
}

}  // namespace LogWriter

#endif  // TOOLS_LOG_LOGWRITER_H
