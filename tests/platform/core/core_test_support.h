// Helpers for the conformance tables of the core platform families: row
// checks that report the row's own line, the last-error sentinel, scratch
// folders, and the few facts a row needs about where it runs. Written
// against Windows names only, so the tables build for Windows and run there
// (or under Wine) unchanged.
#ifndef TESTS_PLATFORM_CORE_CORE_TEST_SUPPORT_H
#define TESTS_PLATFORM_CORE_CORE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

// Last: on Windows it brings strsafe.h, which renames CRT functions that the
// standard headers above still use.
#include "platform/winapi.h"

namespace coretest {

// Written to the last error before each call, to see whether the call sets it.
constexpr DWORD kSentinel = 0xdeadbeef;

// The source line a check belongs to (a table row, or the caller of a helper).
struct Where {
    const char* file;
    int line;
};
#define HERE ::coretest::Where{__FILE__, __LINE__}
#define ROW_AT(line) ::coretest::Where{__FILE__, (line)}

template <class Got, class Expected>
void CheckRow(Where at, const char* function, int row, const char* what, const Got& got, const Expected& expected) {
    if (!(got == static_cast<Got>(expected))) {
        ADD_FAILURE_AT(at.file, at.line) << function << " row " << row << ": " << what << " got "
                                         << ::testing::PrintToString(got) << ", expected "
                                         << ::testing::PrintToString(static_cast<Got>(expected));
    }
}

// Checks GetLastError(); pass kSentinel for "the call left it alone".
void CheckLastError(Where at, const char* function, int row, DWORD expected);

// True in the POSIX platform layer, false on Windows and Wine. Decided at run
// time from what the layer returns (its paths have no drive letter), so rows
// about POSIX-only behaviour are skipped there without an #ifdef.
bool IsPosixLayer();

// True when running under Wine; used only to mark rows where Wine is known to
// differ from the documented behaviour.
bool UnderWine();

// Sets (or, with an empty value, clears) an environment variable.
void SetEnvironment(const char* name, const std::string& value);

// The Windows form of a path (backslashes), as the system passes paths.
std::string WinPath(const std::filesystem::path& path);

// The path named by a Windows-form string, for the checks done with
// std::filesystem (a slash is a separator on both systems).
std::filesystem::path FromWinPath(const std::string& windowsPath);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// A new empty folder under the temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& leaf) const { return path_ / leaf; }

private:
    std::filesystem::path path_;
};

}  // namespace coretest

#endif  // TESTS_PLATFORM_CORE_CORE_TEST_SUPPORT_H
