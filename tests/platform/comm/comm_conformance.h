// Helpers for the serial conformance tables, beside the row checks of
// tests/support/conformance.h: a wide-name builder, a port opened on the test
// modem and a bounded wait for bytes to arrive. Windows names only, so the
// tables also run on Windows and Wine.
#ifndef TESTS_PLATFORM_COMM_COMM_CONFORMANCE_H
#define TESTS_PLATFORM_COMM_COMM_CONFORMANCE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/winapi.h"
#include "conformance.h"
#include "queued_bytes.h"

namespace commtest {

// NUL-terminated UTF-16 text. Not std::wstring: with a 16-bit wchar_t on
// POSIX its traits would call the C library's 32-bit wide functions.
class WideString {
public:
    explicit WideString(const std::string& text) : units_(text.begin(), text.end()) { units_.push_back(0); }
    const WCHAR* c_str() const { return units_.data(); }

private:
    std::vector<WCHAR> units_;
};

inline WideString Wide(const std::string& text) { return WideString(text); }

inline WideString PortName(int port) { return Wide("\\\\.\\COM" + std::to_string(port)); }

inline HANDLE OpenPort(int port) {
    return CreateFileW(PortName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
}

// Writes text and waits (at most timeoutMs) until at least want bytes are
// queued for reading. Returns the count queued at the end.
inline DWORD WriteAndAwaitInput(HANDLE port, const std::string& text, DWORD want, DWORD timeoutMs = 3000) {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD written = 0;
    if (!WriteFile(port, text.data(), static_cast<DWORD>(text.size()), NULL, &ov) &&
        GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(ov.hEvent, 2000);
    }
    GetOverlappedResult(port, &ov, &written, TRUE);
    CloseHandle(ov.hEvent);
    return testsupport::WaitForQueuedBytes(port, want, timeoutMs);
}

}  // namespace commtest

#endif  // TESTS_PLATFORM_COMM_COMM_CONFORMANCE_H
