// A bounded wait for bytes to reach a serial port's input queue, for tests
// that want answers to have arrived before their next step. It watches the
// queue until a deadline instead of sleeping a guessed time.
#ifndef TESTS_SUPPORT_QUEUED_BYTES_H
#define TESTS_SUPPORT_QUEUED_BYTES_H

#include <chrono>

#include "platform/winapi.h"

namespace testsupport {

// Until port holds at least n unread bytes, or timeoutMs has passed, or the
// port cannot be asked. Returns the bytes queued when it stopped.
inline DWORD WaitForQueuedBytes(HANDLE port, DWORD n, DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    COMSTAT stat = {};
    for (;;) {
        DWORD errors = 0;
        if (!ClearCommError(port, &errors, &stat) || stat.cbInQue >= n ||
            std::chrono::steady_clock::now() >= deadline) {
            return stat.cbInQue;
        }
        Sleep(1);  // a poll interval, not a guess at when the bytes come
    }
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_QUEUED_BYTES_H
