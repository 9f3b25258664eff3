// Conformance table for GetPrivateProfileIntA: how names are matched, how the
// value text becomes a number, and when the default comes back. The result
// is a UINT; callers that store a signed threshold compare it as INT.
#include <cstdio>
#include <filesystem>
#include <string>

#include "core_test_support.h"

using namespace coretest;

namespace {

struct ProfileRow {
    int line;
    const char* contents;  // nullptr: no file at all
    const char* section;
    const char* key;
    INT defaultValue;
    UINT expected;
};

// clang-format off
const ProfileRow kProfileRows[] = {
    // Names
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=2\n", "BASE_CONFIG", "LOG_LV", -1, 2},
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=2\n", "base_config", "log_lv", -1, 2},  // case-insensitive
    {__LINE__, "[Base_Config]\nLog_Lv=3\n", "BASE_CONFIG", "LOG_LV", -1, 3},
    {__LINE__, "[BASE_CONFIG]\r\nLOG_LV=4\r\n", "BASE_CONFIG", "LOG_LV", -1, 4},  // CR LF lines
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=5", "BASE_CONFIG", "LOG_LV", -1, 5},         // no final newline
    {__LINE__, "  [BASE_CONFIG]  \n\t LOG_LV \t=\t 6 \t\n", "BASE_CONFIG", "LOG_LV", -1, 6},  // blanks trimmed
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=7\nLOG_LV=8\n", "BASE_CONFIG", "LOG_LV", -1, 7},        // first wins
    {__LINE__, "[BASE_CONFIG]\n;LOG_LV=3\nLOG_LV=4\n", "BASE_CONFIG", "LOG_LV", -1, 4},      // ';' comment
    {__LINE__, "[OTHER]\nLOG_LV=9\n[BASE_CONFIG]\nLOG_LV=1\n", "BASE_CONFIG", "LOG_LV", -1, 1},
    {__LINE__, "[BASE_CONFIG]\nLOG_LVX=9\nXLOG_LV=9\n", "BASE_CONFIG", "LOG_LV", 11, 11},      // whole names only
    // Missing pieces give the default, as a UINT
    {__LINE__, "[BASE_CONFIG]\nOTHER=1\n", "BASE_CONFIG", "LOG_LV", -1, 0xFFFFFFFFu},
    {__LINE__, "[OTHER]\nLOG_LV=1\n", "BASE_CONFIG", "LOG_LV", 5, 5},
    {__LINE__, nullptr, "BASE_CONFIG", "LOG_LV", 5, 5},
    {__LINE__, "", "BASE_CONFIG", "LOG_LV", -7, static_cast<UINT>(-7)},
    {__LINE__, "LOG_LV=3\n", "BASE_CONFIG", "LOG_LV", 9, 9},  // key outside any section
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=\n", "BASE_CONFIG", "LOG_LV", 9, 9},  // empty value
    {__LINE__, nullptr, nullptr, "LOG_LV", 9, 9},
    {__LINE__, nullptr, "BASE_CONFIG", nullptr, 9, 9},
    // A NULL name reads the list of names, as GetPrivateProfileString does
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=2\n", nullptr, "LOG_LV", 9, 0},   // "BASE_CONFIG": no digits
    {__LINE__, "[7up]\nLOG_LV=2\n", nullptr, "LOG_LV", 9, 7},
    {__LINE__, "[BASE_CONFIG]\nLOG_LV=2\n", "BASE_CONFIG", nullptr, 9, 0},  // "LOG_LV"
    {__LINE__, "[BASE_CONFIG]\n", "BASE_CONFIG", nullptr, 9, 9},  // no keys
    // Value text
    {__LINE__, "[S]\nK=+5\n", "S", "K", -1, 5},
    {__LINE__, "[S]\nK=-1\n", "S", "K", 0, 0xFFFFFFFFu},  // two's complement, not 0
    {__LINE__, "[S]\nK=-2147483648\n", "S", "K", 0, 0x80000000u},
    {__LINE__, "[S]\nK=4294967295\n", "S", "K", 0, 0xFFFFFFFFu},
    {__LINE__, "[S]\nK=4294967296\n", "S", "K", 9, 0},  // wraps modulo 2^32
    {__LINE__, "[S]\nK=4294967297\n", "S", "K", 0, 1},
    {__LINE__, "[S]\nK=-4294967297\n", "S", "K", 0, 0xFFFFFFFFu},
    {__LINE__, "[S]\nK=B4294967297\n", "S", "K", 9, 0},
    {__LINE__, "[S]\nK=12abc\n", "S", "K", 0, 12},
    {__LINE__, "[S]\nK=42A94967297\n", "S", "K", 0, 42},
    {__LINE__, "[S]\nK=abc\n", "S", "K", 9, 0},  // no digits: 0, not the default
    {__LINE__, "[S]\nK=- 4\n", "S", "K", 9, 0},
    {__LINE__, "[S]\nK=7 ; note\n", "S", "K", 9, 7},
    {__LINE__, "[S]\nK=\"12\"\n", "S", "K", 9, 12},  // quotes removed
    {__LINE__, "[S]\nK=010\n", "S", "K", 9, 10},     // no octal
    {__LINE__, "[S]\nK=0x1F\n", "S", "K", 9, 31},    // seen under Wine
};
// clang-format on

}  // namespace

TEST(GetPrivateProfileIntA, table_of_names_values_and_defaults) {
    ScratchFolder scratch;
    for (size_t i = 0; i < sizeof kProfileRows / sizeof kProfileRows[0]; ++i) {
        const ProfileRow& r = kProfileRows[i];
        const int row = static_cast<int>(i) + 1;
        const std::filesystem::path file = scratch / ("row" + std::to_string(row) + ".ini");
        if (r.contents) WriteFileBytes(file, r.contents);
        SetLastError(kSentinel);
        UINT got = GetPrivateProfileIntA(r.section, r.key, r.defaultValue, WinPath(file).c_str());
        CheckRow(ROW_AT(r.line), "GetPrivateProfileIntA", row, "value", got, r.expected);
    }
}

TEST(GetPrivateProfileIntA, negative_value_compares_as_signed_threshold) {
    ScratchFolder scratch;
    WriteFileBytes(scratch / "kvconfig.ini", "[BASE_CONFIG]\nLOG_LV=-1\n");
    INT threshold =
        static_cast<INT>(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", 5, WinPath(scratch / "kvconfig.ini").c_str()));
    EXPECT_EQ(threshold, -1);
    EXPECT_TRUE(threshold < 0);
}

TEST(GetPrivateProfileIntA, reads_the_file_afresh_on_every_call) {
    ScratchFolder scratch;
    const std::string path = WinPath(scratch / "kvconfig.ini");
    WriteFileBytes(scratch / "kvconfig.ini", "[BASE_CONFIG]\nLOG_LV=0\n");
    EXPECT_EQ(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", -1, path.c_str()), 0u);
    WriteFileBytes(scratch / "kvconfig.ini", "[BASE_CONFIG]\nLOG_LV=2\n");
    EXPECT_EQ(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", -1, path.c_str()), 2u);
    std::filesystem::remove(scratch / "kvconfig.ini");
    EXPECT_EQ(GetPrivateProfileIntA("BASE_CONFIG", "LOG_LV", -1, path.c_str()), 0xFFFFFFFFu);
}

TEST(GetPrivateProfileIntA, bare_file_name_is_not_looked_up_in_the_current_folder) {
    // Windows looks for a bare name in the Windows folder, never beside the
    // process; a file of that name in the current folder must not be read.
    const std::string name = "core-profile-" + std::to_string(GetCurrentProcessId()) + ".ini";
    WriteFileBytes(std::filesystem::current_path() / name, "[S]\nK=3\n");
    SetLastError(kSentinel);
    UINT got = GetPrivateProfileIntA("S", "K", 77, name.c_str());
    std::filesystem::remove(std::filesystem::current_path() / name);
    EXPECT_EQ(got, 77u);
}

TEST(GetPrivateProfileIntA, reads_the_whole_of_a_long_file_and_only_files) {
    ScratchFolder scratch;
    // A value that straddles the 4096-byte mark, behind a long first section:
    // what is read in pieces must come together again.
    const std::string head = "[PAD]\nX=";
    const std::string tail = "\n[S]\nK=";
    const size_t valueAt = 4095;
    std::string contents = head + std::string(valueAt - head.size() - tail.size(), 'y') + tail + "42\n";
    ASSERT_EQ(contents.find("42"), valueAt);
    WriteFileBytes(scratch / "long.ini", contents);
    EXPECT_EQ(GetPrivateProfileIntA("S", "K", 9, WinPath(scratch / "long.ini").c_str()), 42u);
    // A folder where the file should be holds no value.
    std::filesystem::create_directory(scratch / "folder.ini");
    EXPECT_EQ(GetPrivateProfileIntA("S", "K", 9, WinPath(scratch / "folder.ini").c_str()), 9u);
}
