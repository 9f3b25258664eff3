// Kernel synchronisation, threads and time for the POSIX build, declared as
// the Windows SDK declares them (synchapi.h, processthreadsapi.h,
// sysinfoapi.h, interlockedapi.h).
// Implements: CreateEventW, SetEvent, ResetEvent, WaitForSingleObject,
//   InitializeCriticalSection, EnterCriticalSection, LeaveCriticalSection,
//   DeleteCriticalSection, InterlockedIncrement, InterlockedDecrement, Sleep,
//   GetCurrentProcessId, GetCurrentThreadId, GetLocalTime,
//   SetEnvironmentVariableA.
// Not implemented: named events, mutexes, semaphores, WaitForMultipleObjects,
//   TryEnterCriticalSection, alertable waits (see docs/platform-coverage.md).
#ifndef PLATFORM_POSIX_SYNCH_H
#define PLATFORM_POSIX_SYNCH_H

#include "platform/posix/base.h"

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define WAIT_OBJECT_0 ((DWORD)0x00000000L)
#define WAIT_ABANDONED ((DWORD)0x00000080L)
#define WAIT_TIMEOUT ((DWORD)258L)
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

// The lock lives inside the structure, as on Windows, so initialisation never
// allocates. The bytes hold a recursive pthread mutex (size checked in
// sync.cpp); nothing outside the platform layer looks at them.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(16) unsigned char Opaque[64];
} RTL_CRITICAL_SECTION, CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

// wDayOfWeek comes before wDay, as in the SDK.
typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is eight WORDs");

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
LONG WINAPI InterlockedDecrement(LONG volatile* Addend);

void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);

}  // extern "C"

#endif  // PLATFORM_POSIX_SYNCH_H
