// Helpers for the conformance tables of the core platform families, beside
// the row checks of tests/support/conformance.h: scratch folders, files and
// paths in Windows form, and the environment. Written
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
#include "conformance.h"

namespace coretest {

// The tables use the kit's checks and marks unqualified.
using namespace ::conformance;

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
