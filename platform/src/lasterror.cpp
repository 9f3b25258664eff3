// The calling thread's last-error value.
// Implements: SetLastError, GetLastError.
#include "platform/winapi.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD WINAPI GetLastError(void) { return lastError; }
