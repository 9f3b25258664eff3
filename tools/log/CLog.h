// CLog, the shared file logger: one reference-counted object per process,
// handed out by GetSharedLog to every component that logs. Its lines go to
// "KavoConnectMonitor.log"; without an INI threshold it writes nothing at the
// levels the components use.
#ifndef TOOLS_LOG_CLOG_H
#define TOOLS_LOG_CLOG_H

#include <atomic>
#include <string>

#include "tools/interfaces.h"

class CLog : public IGlobalTools::ILog2 {
public:
    CLog();
    ~CLog() override;

    // Replaces the log file's full path. Takes no lock: not to be called while
    // another thread may be logging through this logger.
    void SetLogPath(const char* path) override;
    void Log(int level, const char* format, ...) override;
    // Gives back one reference; the object is destroyed when none is left.
    void Release() override;
    // Takes one more reference and returns the new count.
    int AddRef() override;
    void SetStandardErrorLevel(int level) override;

private:
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    CRITICAL_SECTION logLock;
    std::string logFilePath;
    std::string iniFilePath;
    LONG refCount;
    // Set by the program, read by every Log call.
    std::atomic<int> standardErrorLevel;
};

#endif  // TOOLS_LOG_CLOG_H
