// The kit for the platform's conformance tables, in Wine's manner: the
// last-error sentinel, row checks whose failures name the function, the row,
// what came back and what was expected at the row's own line, the few facts
// a row needs about where it runs, and TodoWine, the one mark for a row where
// Wine is known to differ from Windows. Written against Windows names only,
// so the same tables build for Windows and run there or under Wine.
#ifndef TESTS_SUPPORT_CONFORMANCE_H
#define TESTS_SUPPORT_CONFORMANCE_H

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>

// Last: on Windows it brings strsafe.h, which renames CRT functions that the
// standard headers above still use.
#include "platform/winapi.h"

namespace conformance {

// Written to the last error before each call, to see whether the call sets it.
constexpr DWORD kSentinel = 0xdeadbeef;

// The source line a check belongs to (a table row, or the caller of a helper).
struct Where {
    const char* file;
    int line;
};
#define HERE \
    ::conformance::Where { __FILE__, __LINE__ }
#define ROW_AT(line) \
    ::conformance::Where { __FILE__, (line) }

// A value of a row: got is compared with expected converted to got's type.
template <class Got, class Expected>
void CheckRow(Where at, const char* function, int row, const char* what, const Got& got, const Expected& expected) {
    if (!(got == static_cast<Got>(expected))) {
        ADD_FAILURE_AT(at.file, at.line) << function << " row " << row << ": " << what << " got "
                                         << ::testing::PrintToString(got) << ", expected "
                                         << ::testing::PrintToString(static_cast<Got>(expected));
    }
}

// GetLastError() of a row; pass kSentinel for "the call left it alone".
inline void CheckLastError(Where at, const char* function, int row, DWORD expected) {
    DWORD got = GetLastError();
    if (got != expected) {
        ADD_FAILURE_AT(at.file, at.line) << function << " row " << row << ": last error got " << got << " (0x"
                                         << std::hex << got << "), expected " << std::dec << expected << " (0x"
                                         << std::hex << expected << ")";
    }
}

inline void CheckHr(const char* file, int line, const char* function, int row, HRESULT got, HRESULT expected) {
    if (got != expected) {
        ADD_FAILURE_AT(file, line) << function << ", row " << row << ": got 0x" << std::hex
                                   << static_cast<unsigned long>(static_cast<ULONG>(got)) << ", expected 0x"
                                   << static_cast<unsigned long>(static_cast<ULONG>(expected));
    }
}

template <typename T, typename U>
void CheckValue(const char* file, int line, const char* function, int row, const char* what, const T& got,
                const U& expected) {
    if (!(got == expected)) {
        ADD_FAILURE_AT(file, line) << function << ", row " << row << ": " << what << " is " << got << ", expected "
                                   << expected;
    }
}

// A BOOL result and the last error after it (kSentinel: untouched).
inline void CheckCall(const char* file, int line, const char* function, int row, BOOL got, BOOL expected, DWORD error,
                      DWORD expectedError) {
    if (!got != !expected) {
        ADD_FAILURE_AT(file, line) << function << ", row " << row << ": returned " << got << ", expected " << expected;
    }
    if (error != expectedError) {
        ADD_FAILURE_AT(file, line) << function << ", row " << row << ": last error " << error << ", expected "
                                   << expectedError;
    }
}

// True when running under Wine.
inline bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// True in the POSIX platform layer, false on Windows and Wine. Decided at run
// time from what the layer returns (its paths have no drive letter), so rows
// about POSIX-only behaviour are left out there without an #ifdef.
inline bool IsPosixLayer() {
    static const bool posix = [] {
        char path[MAX_PATH] = {};
        return GetModuleFileNameA(nullptr, path, MAX_PATH) > 0 && path[0] == '\\';
    }();
    return posix;
}

// The mark for a row where Wine is known to differ, after Wine's own
// todo_wine. Held for the row's checks: under Wine the row still runs, its
// failures are expected and kept out of the result, and a row that no longer
// fails fails the test, so the mark goes as soon as Wine agrees. Elsewhere
// the row is checked like any other.
//
//   TodoWine todo(ROW_AT(r.line), r.wineDiffers);
class TodoWine {
public:
    TodoWine(Where at, bool wineDiffers) : at_(at) {
        if (wineDiffers && UnderWine()) {
            interceptor_ = std::make_unique<::testing::ScopedFakeTestPartResultReporter>(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &expected_);
        }
    }
    ~TodoWine() {
        if (!interceptor_) return;
        interceptor_.reset();  // from here on, failures count again
        for (int i = 0; i < expected_.size(); ++i) {
            if (expected_.GetTestPartResult(i).failed()) return;
        }
        ADD_FAILURE_AT(at_.file, at_.line) << "marked as a Wine difference, but passes under Wine: remove the mark";
    }
    TodoWine(const TodoWine&) = delete;
    TodoWine& operator=(const TodoWine&) = delete;

private:
    Where at_;
    ::testing::TestPartResultArray expected_;
    std::unique_ptr<::testing::ScopedFakeTestPartResultReporter> interceptor_;
};

}  // namespace conformance

#define CHECK_HR(function, row, got, expected) ::conformance::CheckHr(__FILE__, __LINE__, function, row, got, expected)
#define CHECK_VALUE(function, row, what, got, expected) \
    ::conformance::CheckValue(__FILE__, __LINE__, function, row, what, got, expected)
// The call runs before GetLastError is read.
#define CHECK_CALL(function, row, call, expected, expectedError)                                               \
    do {                                                                                                       \
        const BOOL checkCallResult = (call);                                                                   \
        const DWORD checkCallError = GetLastError();                                                           \
        ::conformance::CheckCall(__FILE__, __LINE__, function, row, checkCallResult, expected, checkCallError, \
                                 expectedError);                                                               \
    } while (0)

#endif  // TESTS_SUPPORT_CONFORMANCE_H
