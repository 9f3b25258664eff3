// CLogEx: a private logger that lives until its owner releases it. Every
// instance appends to the same file, each under its own lock.
#include "tools/log/CLogEx.h"

#include <cstdarg>

#include "tools/log/LogWriter.h"

namespace {

const char kLogFileName[] = "KavoConnectMonitorEx.log";
// Without an INI threshold every level up to 5 is written.
const int kDefaultLevel = 5;

}  // namespace

CLogEx::CLogEx() : logFilePath(), iniFilePath() {
    InitializeCriticalSection(&logLock);
    LogWriter::BuildPaths(kLogFileName, logFilePath, iniFilePath);
}

CLogEx::~CLogEx() { DeleteCriticalSection(&logLock); }

void CLogEx::SetLogPath(const char* path) {
    // A null path is taken as empty: the logger then writes nothing.
    logFilePath = path != NULL ? path : "";
}

void CLogEx::Log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogWriter::WriteLine(logLock, logFilePath, iniFilePath, kDefaultLevel, level, format, args);
    va_end(args);
}

void CLogEx::Release() { delete this; }
