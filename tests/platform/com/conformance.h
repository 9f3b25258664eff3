// Helpers for the conformance tables of the COM and OLE Automation tests:
// failures name the function, the table row, what came back and what was
// expected, and point at the line of the check, not at this header. Built
// against Windows names only, so the same tables run on Windows and Wine.
#ifndef TESTS_PLATFORM_COM_CONFORMANCE_H
#define TESTS_PLATFORM_COM_CONFORMANCE_H

#include <gtest/gtest.h>

#include "platform/winapi.h"

namespace comtest {

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
        ADD_FAILURE_AT(file, line) << function << ", row " << row << ": " << what << " is " << got
                                   << ", expected " << expected;
    }
}

}  // namespace comtest

#define CHECK_HR(function, row, got, expected) comtest::CheckHr(__FILE__, __LINE__, function, row, got, expected)
#define CHECK_VALUE(function, row, what, got, expected) \
    comtest::CheckValue(__FILE__, __LINE__, function, row, what, got, expected)

#endif  // TESTS_PLATFORM_COM_CONFORMANCE_H
