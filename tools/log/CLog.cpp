// CLog and GetSharedLog: the process's one shared logger. The two references
// counted when it is created are never given back, so it outlives every
// holder and a later GetSharedLog always returns the same object.
#include "tools/log/CLog.h"

#include <cstdarg>

#include "tools/log/LogWriter.h"

namespace {

const char kLogFileName[] = "KavoConnectMonitor.log";
// Without an INI threshold the components' levels (0 and 2) are not written.
const int kDefaultLevel = -1;

}  // namespace

CLog::CLog() : logFilePath(), iniFilePath(), refCount(1), standardErrorLevel(-1) {
    InitializeCriticalSection(&logLock);
    LogWriter::BuildPaths(kLogFileName, logFilePath, iniFilePath);
}

CLog::~CLog() { DeleteCriticalSection(&logLock); }

void CLog::SetLogPath(const char* path) {
    // A null path is taken as empty: the logger then writes nothing.
    logFilePath = path != NULL ? path : "";
}

void CLog::Log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogWriter::WriteLine(logLock, logFilePath, iniFilePath, kDefaultLevel, level, format, args,
                         standardErrorLevel.load());
    va_end(args);
}

void CLog::Release() {
    if (InterlockedDecrement(&refCount) == 0) {
        delete this;
    }
}

int CLog::AddRef() { return InterlockedIncrement(&refCount); }

void CLog::SetStandardErrorLevel(int level) { standardErrorLevel.store(level); }

IGlobalTools::ILog* GetSharedLog() {
    // Created with one reference, plus one for the creation step itself:
    // neither is ever given back. The function-local static makes two
    // concurrent first calls safe; the first caller leaves with the count 3.
    static CLog* const sharedLog = [] {
        CLog* created = new CLog();
        created->AddRef();
        return created;
    }();
    sharedLog->AddRef();
    return sharedLog;
}
