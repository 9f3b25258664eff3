// Kernel events, waits, critical sections and interlocked counters.
// Events are objects in the handle table, so a handle closed while a thread
// waits leaves that thread a live object; waits measure time on the
// monotonic clock, so a change of the wall clock never stretches a time-out.
// Implements: CreateEventW, SetEvent, ResetEvent, WaitForSingleObject (events,
//   and the current-process pseudo-handle), InitializeCriticalSection,
//   EnterCriticalSection, LeaveCriticalSection, DeleteCriticalSection,
//   InterlockedIncrement, InterlockedDecrement, Sleep.
// Not implemented: named events, waits on other kinds of handle (they fail as
//   an invalid handle), WAIT_ABANDONED (no mutexes), alertable waits.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "handle.h"

namespace {

class Event final : public pal::KernelObject {
public:
    Event(bool manualReset, bool initialState) : manualReset_(manualReset), signaled_(initialState) {}

    void Set() {
        std::lock_guard<std::mutex> guard(lock_);
        signaled_ = true;
        // Every waiter re-checks under the lock; on an auto-reset event the
        // first one through takes the signal and the others go back to sleep.
        changed_.notify_all();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        signaled_ = false;
    }

    DWORD Wait(DWORD milliseconds) {
        std::unique_lock<std::mutex> guard(lock_);
        auto isSignaled = [this] { return signaled_; };
        if (milliseconds == INFINITE) {
            changed_.wait(guard, isSignaled);
        } else {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            if (!changed_.wait_until(guard, deadline, isSignaled)) return WAIT_TIMEOUT;
        }
        if (!manualReset_) signaled_ = false;
        return WAIT_OBJECT_0;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signaled_;
};

// The pseudo-handle of the current process (INVALID_HANDLE_VALUE) names an
// object that is never signalled while the process runs.
DWORD WaitForCurrentProcess(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) Sleep(INFINITE - 1);
    }
    Sleep(milliseconds);
    return WAIT_TIMEOUT;
}

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->Opaque); }

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Opaque),
              "CRITICAL_SECTION storage too small for a pthread mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION alignment");

}  // namespace

/***********************************************************************
 *           CreateEventW
 *
 * PARAMS
 *  lpEventAttributes [I] ignored (handles are never inherited here)
 *  bManualReset      [I] TRUE: stays signalled until ResetEvent and releases
 *                        every waiter; FALSE: one released wait resets it
 *  bInitialState     [I] TRUE: created signalled
 *  lpName            [I] must be NULL
 *
 * RETURNS
 *  A handle for CloseHandle with the last error set to ERROR_SUCCESS (so a
 *  caller can tell it from ERROR_ALREADY_EXISTS, as on Windows), or NULL
 *  with the last error set.
 *
 * NOTES
 *  Named events are not supported: a non-NULL lpName fails with
 *  ERROR_NOT_SUPPORTED (Windows would create or open a shared event).
 */
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    (void)lpEventAttributes;
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<Event> event;
    if (!PAL_FAULT_POINT("CreateEventW"))
        event.reset(new (std::nothrow) Event(bManualReset != FALSE, bInitialState != FALSE));
    if (!event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = pal::InsertHandle(std::move(event));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

/***********************************************************************
 *           SetEvent
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE when hEvent is not an open event.
 *
 * NOTES
 *  Safe to call from any thread, while others wait on or reset the event.
 */
BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<Event> event = pal::ReferenceHandleAs<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

/***********************************************************************
 *           ResetEvent
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE when hEvent is not an open event.
 */
BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<Event> event = pal::ReferenceHandleAs<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

/***********************************************************************
 *           WaitForSingleObject
 *
 * PARAMS
 *  hHandle        [I] an event, or INVALID_HANDLE_VALUE (current process)
 *  dwMilliseconds [I] time-out; 0 polls, INFINITE never times out
 *
 * RETURNS
 *  WAIT_OBJECT_0 when the event is signalled in time (an auto-reset event is
 *  reset by this wait), WAIT_TIMEOUT, or WAIT_FAILED with
 *  ERROR_INVALID_HANDLE for NULL, closed and non-event handles.
 *
 * NOTES
 *  If the handle is closed during the wait, the wait goes on on the object
 *  until it times out (Windows leaves this undefined). Waiting on a comm
 *  handle is not supported.
 */
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (hHandle == INVALID_HANDLE_VALUE) return WaitForCurrentProcess(dwMilliseconds);
    std::shared_ptr<Event> event = pal::ReferenceHandleAs<Event>(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return event->Wait(dwMilliseconds);
}

/***********************************************************************
 *           InitializeCriticalSection
 *
 * NOTES
 *  A recursive pthread mutex is built inside the structure: the owner may
 *  enter again and must leave once per entry, as on Windows.
 */
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attr);
    pthread_mutexattr_destroy(&attr);
}

/***********************************************************************
 *           EnterCriticalSection
 *
 * NOTES
 *  Waits without a time-out (Windows raises a possible-deadlock exception
 *  after a very long wait; this never does).
 */
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

/***********************************************************************
 *           LeaveCriticalSection
 *
 * NOTES
 *  Leaving a section the thread does not own is ignored (undefined on
 *  Windows, where it can hang later entries).
 */
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

/***********************************************************************
 *           DeleteCriticalSection
 *
 * NOTES
 *  The section must not be owned or waited on, as on Windows.
 */
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

/***********************************************************************
 *           InterlockedIncrement / InterlockedDecrement
 *
 * RETURNS
 *  The new value. Atomic with a full barrier; LONG_MAX + 1 wraps to
 *  LONG_MIN, as on Windows.
 */
LONG WINAPI InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG WINAPI InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

/***********************************************************************
 *           Sleep
 *
 * NOTES
 *  Sleep(0) gives up the rest of the time slice; INFINITE never returns.
 *  Interrupting signals do not shorten the sleep.
 */
void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) Sleep(INFINITE - 1);
    }
    struct timespec remaining;
    remaining.tv_sec = dwMilliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {}
}
