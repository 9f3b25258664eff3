// Conformance tables for paths and folders: the application-data folder,
// PathAddBackslashA, CreateDirectoryA and GetModuleFileNameA, and the rule
// that paths cross the platform boundary in Windows form.
#include <cstring>
#include <filesystem>
#include <string>

#include "core_test_support.h"

using namespace coretest;
namespace fs = std::filesystem;

namespace {

// Restores PROGRAMDATA when a test that changed it ends.
class ProgramDataGuard {
public:
    ProgramDataGuard() {
        const char* value = std::getenv("PROGRAMDATA");
        had_ = value != nullptr;
        if (had_) saved_ = value;
    }
    ~ProgramDataGuard() { SetEnvironment("PROGRAMDATA", had_ ? saved_ : std::string()); }

private:
    bool had_ = false;
    std::string saved_;
};

}  // namespace

TEST(CommonAppData, is_an_existing_folder_in_windows_form_without_trailing_backslash) {
    for (int fill : {0x00, 0xFF}) {
        char path[MAX_PATH + 8];
        std::memset(path, fill, sizeof path);
        SetLastError(kSentinel);
        BOOL ok = SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE);
        ASSERT_TRUE(ok) << "fill " << fill;
        size_t length = strnlen(path, MAX_PATH);
        ASSERT_LT(length, static_cast<size_t>(MAX_PATH)) << "not NUL-terminated, fill " << fill;
        ASSERT_GT(length, 0u);
        EXPECT_NE(path[length - 1], '\\') << path;
        EXPECT_EQ(std::strchr(path, '/'), nullptr) << path;
        EXPECT_TRUE(fs::is_directory(FromWinPath(path))) << path;
    }
}

TEST(CommonAppData, other_folders_are_not_provided) {
    char path[MAX_PATH];
    std::memset(path, 0xFF, sizeof path);
    // 0x7E is no CSIDL; Windows fails it too.
    EXPECT_FALSE(SHGetSpecialFolderPathA(nullptr, path, 0x7E, FALSE));
}

TEST(CommonAppData, comes_from_program_data_or_var_lib) {
    if (!IsPosixLayer()) GTEST_SKIP() << "PROGRAMDATA and /var/lib are how the POSIX layer finds the folder";
    ProgramDataGuard guard;
    ScratchFolder scratch;
    const std::string base = scratch.path().string();
    struct Row {
        int line;
        std::string programData;  // empty: unset
        BOOL create;
        BOOL result;
        std::string expected;  // Windows form
        bool existsAfter;
    };
    const Row rows[] = {
        {__LINE__, base, FALSE, TRUE, WinPath(base), true},
        {__LINE__, base + "/", FALSE, TRUE, WinPath(base), true},  // trailing separator dropped
        {__LINE__, base + "/made/here", FALSE, TRUE, WinPath(base + "/made/here"), false},  // not checked, not made
        {__LINE__, base + "/made/here", TRUE, TRUE, WinPath(base + "/made/here"), true},    // fCreate makes it
        {__LINE__, "", FALSE, TRUE, "\\var\\lib", true},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        SetEnvironment("PROGRAMDATA", r.programData);
        char path[MAX_PATH];
        std::memset(path, 0xFF, sizeof path);
        SetLastError(kSentinel);
        BOOL got = SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, r.create);
        CheckRow(ROW_AT(r.line), "SHGetSpecialFolderPathA", row, "result", got, r.result);
        if (got) CheckRow(ROW_AT(r.line), "SHGetSpecialFolderPathA", row, "path", std::string(path), r.expected);
        CheckRow(ROW_AT(r.line), "SHGetSpecialFolderPathA", row, "folder exists",
                 fs::is_directory(FromWinPath(r.expected)), r.existsAfter);
    }
    SetEnvironment("PROGRAMDATA", "");
    SetLastError(kSentinel);
    char path[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));
    EXPECT_STREQ(path, "\\var\\lib");
}

TEST(PathAddBackslashA, adds_only_a_missing_backslash_within_max_path) {
    const std::string longest(MAX_PATH - 2, 'a');  // 258 chars + '\' + NUL = MAX_PATH
    const std::string tooLong(MAX_PATH - 1, 'a');  // 259 chars: no room for the backslash
    struct Row {
        int line;
        std::string input;
        const char* expected;  // nullptr: NULL result, input unchanged
        bool wineDiffers;
    };
    const std::string longestExpected = longest + "\\";
    // clang-format off
    const Row rows[] = {
        {__LINE__, "C:\\dir", "C:\\dir\\", false},
        {__LINE__, "C:\\dir\\", "C:\\dir\\", false},
        {__LINE__, "C:/dir/", "C:/dir/\\", false},  // a slash is not a separator here
        {__LINE__, "C:", "C:\\", false},
        {__LINE__, "", "", false},  // empty stays empty
        {__LINE__, "dir", "dir\\", false},
        {__LINE__, longest, longestExpected.c_str(), false},
        {__LINE__, tooLong, nullptr, true},  // Wine appends past MAX_PATH
    };
    // clang-format on
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        TodoWine todo(ROW_AT(r.line), r.wineDiffers);
        for (int fill : {0x00, 0xFF}) {
            char buffer[MAX_PATH + 8];
            std::memset(buffer, fill, sizeof buffer);
            std::memcpy(buffer, r.input.c_str(), r.input.size() + 1);
            SetLastError(kSentinel);
            char* end = PathAddBackslashA(buffer);
            if (!r.expected) {
                CheckRow(ROW_AT(r.line), "PathAddBackslashA", row, "result is NULL", end == nullptr, true);
                CheckRow(ROW_AT(r.line), "PathAddBackslashA", row, "text", std::string(buffer), r.input);
                continue;
            }
            const size_t length = std::strlen(r.expected);
            CheckRow(ROW_AT(r.line), "PathAddBackslashA", row, "text", std::string(buffer), std::string(r.expected));
            CheckRow(ROW_AT(r.line), "PathAddBackslashA", row, "result offset", end ? end - buffer : -1,
                     static_cast<long>(length));
            // Nothing is written past the new terminator.
            CheckRow(ROW_AT(r.line), "PathAddBackslashA", row, "byte after NUL",
                     static_cast<int>(static_cast<unsigned char>(buffer[length + 1])), fill);
        }
    }
    SetLastError(kSentinel);
    EXPECT_EQ(PathAddBackslashA(nullptr), nullptr);
}

TEST(CreateDirectoryA, creates_the_last_level_and_reports_why_not) {
    ScratchFolder scratch;
    WriteFileBytes(scratch / "plain-file", "x");
    const std::string base = WinPath(scratch.path());
    struct Row {
        int line;
        std::string path;  // Windows form
        BOOL result;
        DWORD lastError;
        bool isDirectoryAfter;
    };
    const Row rows[] = {
        {__LINE__, base + "\\new", TRUE, kSentinel, true},
        {__LINE__, base + "\\new", FALSE, ERROR_ALREADY_EXISTS, true},
        {__LINE__, base + "\\plain-file", FALSE, ERROR_ALREADY_EXISTS, false},  // a file holds the name
        {__LINE__, base + "\\missing\\child", FALSE, ERROR_PATH_NOT_FOUND, false},
        {__LINE__, base + "\\with-backslash\\", TRUE, kSentinel, true},  // trailing separator allowed
        {__LINE__, base + "\\new\\nested", TRUE, kSentinel, true},
        {__LINE__, "", FALSE, ERROR_PATH_NOT_FOUND, false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        SetLastError(kSentinel);
        BOOL got = CreateDirectoryA(r.path.c_str(), nullptr);
        CheckRow(ROW_AT(r.line), "CreateDirectoryA", row, "result", got, r.result);
        CheckLastError(ROW_AT(r.line), "CreateDirectoryA", row, r.lastError);
        if (!r.path.empty()) {
            CheckRow(ROW_AT(r.line), "CreateDirectoryA", row, "is a directory after",
                     fs::is_directory(FromWinPath(r.path)), r.isDirectoryAfter);
        }
    }
}

TEST(CreateDirectoryA, refused_creation_is_access_denied) {
    if (!IsPosixLayer()) GTEST_SKIP() << "needs a folder the kernel refuses to extend (/sys)";
    SetLastError(kSentinel);
    EXPECT_FALSE(CreateDirectoryA("\\sys\\core-test-refused", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(GetModuleFileNameA, is_the_executables_full_path_in_windows_form) {
    char path[MAX_PATH];
    std::memset(path, 0xFF, sizeof path);
    SetLastError(kSentinel);
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // reset on success
    EXPECT_EQ(std::strlen(path), length);
    EXPECT_EQ(std::strchr(path, '/'), nullptr) << path;
    fs::path file = FromWinPath(path);
    EXPECT_TRUE(file.is_absolute()) << path;
    EXPECT_TRUE(fs::is_regular_file(file)) << path;
    EXPECT_EQ(file.stem().string(), "platform_core_tests");
}

TEST(GetModuleFileNameA, truncates_to_the_buffer_including_the_terminator) {
    char full[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, full, MAX_PATH);
    ASSERT_GT(length, 2u);
    struct Row {
        int line;
        DWORD size;
        DWORD result;
        DWORD lastError;
        size_t copied;     // characters before the NUL
        bool written;      // false: the buffer is left as it was
        bool wineDiffers;  // Wine 8 truncates without a NUL, as XP did
    };
    const Row rows[] = {
        {__LINE__, length + 1, length, ERROR_SUCCESS, length, true, false},  // exactly fits
        {__LINE__, length, length, ERROR_INSUFFICIENT_BUFFER, length - 1, true, true},
        {__LINE__, length - 1, length - 1, ERROR_INSUFFICIENT_BUFFER, length - 2, true, true},
        {__LINE__, 1, 1, ERROR_INSUFFICIENT_BUFFER, 0, true, true},
        {__LINE__, 0, 0, ERROR_INSUFFICIENT_BUFFER, 0, false, false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        for (int fill : {0x00, 0xFF}) {
            char buffer[MAX_PATH + 8];
            std::memset(buffer, fill, sizeof buffer);
            SetLastError(kSentinel);
            DWORD got = GetModuleFileNameA(nullptr, buffer, r.size);
            CheckRow(ROW_AT(r.line), "GetModuleFileNameA", row, "result", got, r.result);
            CheckLastError(ROW_AT(r.line), "GetModuleFileNameA", row, r.lastError);
            if (!r.written) {
                CheckRow(ROW_AT(r.line), "GetModuleFileNameA", row, "first byte untouched",
                         static_cast<int>(static_cast<unsigned char>(buffer[0])), fill);
                continue;
            }
            TodoWine todo(ROW_AT(r.line), r.wineDiffers);
            CheckRow(ROW_AT(r.line), "GetModuleFileNameA", row, "text", std::string(buffer, strnlen(buffer, r.size)),
                     std::string(full, r.copied));
            CheckRow(ROW_AT(r.line), "GetModuleFileNameA", row, "byte after the buffer untouched",
                     static_cast<int>(static_cast<unsigned char>(buffer[r.size])), fill);
        }
    }
}
