// CLogEx, the private file logger: a new object for every request, owned by
// whoever asked for it. All private loggers append to
// "KavoConnectMonitorEx.log"; without an INI threshold they write every level
// up to 5.
#ifndef TOOLS_LOG_CLOGEX_H
#define TOOLS_LOG_CLOGEX_H

#include <string>

#include "tools/interfaces.h"

class CLogEx : public IGlobalTools::ILogEx {
public:
    CLogEx();
    ~CLogEx() override;

    // Replaces the log file's full path. Takes no lock: not to be called while
    // another thread may be logging through this logger.
    void SetLogPath(const char* path) override;
    void Log(int level, const char* format, ...) override;
    // Destroys the logger.
    void Release() override;

private:
    CLogEx(const CLogEx&) = delete;
    CLogEx& operator=(const CLogEx&) = delete;

    CRITICAL_SECTION logLock;
    std::string logFilePath;
    std::string iniFilePath;
};

#endif  // TOOLS_LOG_CLOGEX_H
