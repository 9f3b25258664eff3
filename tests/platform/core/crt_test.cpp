// Conformance tables for the C runtime pieces: fopen_s and its text mode,
// the sharing of fopen_s, _fsopen and CreateFileW on files,
// the secure formatting and concatenation functions (cut, never overflow),
// and the wide formatting of StringCchPrintfW and wprintf.
#include <cerrno>
#include <cfloat>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_test_support.h"

using namespace coretest;
namespace fs = std::filesystem;

namespace {

// A stream from fopen_s, closed on scope exit; empty is NULL.
struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

ScopedFile OpenOrFail(const fs::path& path, const char* mode) {
    FILE* f = nullptr;
    errno_t err = fopen_s(&f, WinPath(path).c_str(), mode);
    EXPECT_EQ(err, 0) << "fopen_s " << mode << " " << path;
    return ScopedFile(f);
}

void AppendLine(const fs::path& path, const char* text) {
    ScopedFile f = OpenOrFail(path, "a+");
    if (!f) return;
    fprintf(f.get(), "%s\n", text);
    fflush(f.get());
}

int CallVsnprintfS(char* buffer, size_t size, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnprintf_s(buffer, size, count, format, args);
    va_end(args);
    return result;
}

int CallVsprintfS(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vsprintf_s(buffer, size, format, args);
    va_end(args);
    return result;
}

// WCHAR text as ASCII with \uXXXX for the rest, for comparing and printing.
std::string Show(const WCHAR* text) {
    std::string out;
    for (; *text; ++text) {
        unsigned unit = static_cast<unsigned>(*text);
        if (unit >= 0x20 && unit < 0x7F) {
            out.push_back(static_cast<char>(unit));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
            out += escaped;
        }
    }
    return out;
}

}  // namespace

TEST(FopenS, text_mode_writes_cr_lf_for_every_lf_binary_mode_writes_bytes) {
    ScratchFolder scratch;
    struct Row {
        int line;
        const char* mode;
        const char* expected;
    };
    // clang-format off
    const Row rows[] = {
        {__LINE__, "w", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "wt", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "w+", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "a", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "a+", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "a+t", "one\r\ntwo\r\n\r\nend\r\r\n"},
        {__LINE__, "wb", "one\ntwo\n\nend\r\n"},
        {__LINE__, "w+b", "one\ntwo\n\nend\r\n"},
        {__LINE__, "ab", "one\ntwo\n\nend\r\n"},
        {__LINE__, "a+b", "one\ntwo\n\nend\r\n"},
    };
    // clang-format on
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        const fs::path file = scratch / ("text" + std::to_string(row) + ".log");
        FILE* f = reinterpret_cast<FILE*>(0x1);
        errno_t err = fopen_s(&f, WinPath(file).c_str(), r.mode);
        CheckRow(ROW_AT(r.line), "fopen_s", row, "result", err, 0);
        if (err != 0) continue;
        fprintf(f, "one\n%s\n", "two");
        fputs("\nend\r\n", f);
        fclose(f);
        CheckRow(ROW_AT(r.line), "fopen_s", row, "bytes on disk", ReadFileBytes(file), std::string(r.expected));
    }
}

TEST(FopenS, text_mode_reads_cr_lf_as_lf_across_buffer_borders) {
    ScratchFolder scratch;
    std::string onDisk;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        std::string text(static_cast<size_t>(i % 7), 'x');
        onDisk += text + (i % 5 == 0 ? "\r" : "") + "\r\n";  // some lines carry a lone CR too
        expected += text + (i % 5 == 0 ? "\r" : "") + "\n";
    }
    WriteFileBytes(scratch / "crlf.txt", onDisk);
    for (const char* mode : {"r", "rt", "r+"}) {
        ScopedFile f = OpenOrFail(scratch / "crlf.txt", mode);
        ASSERT_TRUE(f);
        std::string got;
        char chunk[333];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0) got.append(chunk, n);
        EXPECT_EQ(got.size(), expected.size()) << mode;
        EXPECT_TRUE(got == expected) << mode;
    }
    ScopedFile binary = OpenOrFail(scratch / "crlf.txt", "rb");
    ASSERT_TRUE(binary);
    std::vector<char> raw(onDisk.size() + 16);
    EXPECT_EQ(fread(raw.data(), 1, raw.size(), binary.get()), onDisk.size());
}

TEST(FopenS, append_plus_writes_at_the_end_even_after_a_seek) {
    ScratchFolder scratch;
    const fs::path file = scratch / "append.log";
    {
        ScopedFile f = OpenOrFail(file, "a+");
        ASSERT_TRUE(f);
        fputs("1\n", f.get());
        ASSERT_EQ(fseek(f.get(), 0, SEEK_SET), 0);
        EXPECT_EQ(fgetc(f.get()), '1');  // "a+" reads too
        ASSERT_EQ(fseek(f.get(), 0, SEEK_SET), 0);
        fputs("2\n", f.get());
    }
    AppendLine(file, "3");
    EXPECT_EQ(ReadFileBytes(file), "1\r\n2\r\n3\r\n");
}

TEST(FopenS, append_recreates_a_deleted_file_and_follows_a_replaced_one) {
    ScratchFolder scratch;
    const fs::path file = scratch / "moving.log";
    AppendLine(file, "first");
    fs::rename(file, scratch / "moved-away.log");
    AppendLine(file, "second");
    EXPECT_EQ(ReadFileBytes(file), "second\r\n");
    EXPECT_EQ(ReadFileBytes(scratch / "moved-away.log"), "first\r\n");
    fs::remove(file);
    WriteFileBytes(file, "other\r\n");
    AppendLine(file, "third");
    EXPECT_EQ(ReadFileBytes(file), "other\r\nthird\r\n");
}

TEST(FopenS, failures_return_the_error_and_clear_the_stream) {
    ScratchFolder scratch;
    WriteFileBytes(scratch / "exists.txt", "x");
    const std::string exists = WinPath(scratch / "exists.txt");
    const std::string missing = WinPath(scratch / "missing.txt");
    const std::string inMissingFolder = WinPath(scratch / "no-folder" / "file.txt");
    struct Row {
        int line;
        const char* filename;
        const char* mode;
        errno_t expected;
        bool cleared;  // *pFile set to NULL; false: left as it was
    };
    const Row rows[] = {
        {__LINE__, missing.c_str(), "r", ENOENT, true},
        {__LINE__, missing.c_str(), "r+", ENOENT, true},
        {__LINE__, inMissingFolder.c_str(), "a+", ENOENT, true},
        {__LINE__, exists.c_str(), "z", EINVAL, true},
        {__LINE__, exists.c_str(), "", EINVAL, true},
        {__LINE__, exists.c_str(), nullptr, EINVAL, false},
        {__LINE__, nullptr, "r", EINVAL, false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        FILE* f = reinterpret_cast<FILE*>(0x1);
        errno_t err = fopen_s(&f, r.filename, r.mode);
        CheckRow(ROW_AT(r.line), "fopen_s", row, "result", err, r.expected);
        CheckRow(ROW_AT(r.line), "fopen_s", row, "stream", reinterpret_cast<uintptr_t>(f),
                 r.cleared ? uintptr_t{0} : uintptr_t{1});
        if (f && f != reinterpret_cast<FILE*>(0x1)) fclose(f);
    }
    EXPECT_EQ(fopen_s(nullptr, exists.c_str(), "r"), EINVAL);
}

// Sharing: a second open of a file still open elsewhere succeeds only when
// each allows the other's access. fopen_s shares nothing (documented as "not
// sharable"); _fsopen shares as its flag says (_SH_SECURE: "shared read,
// exclusive write"). Each row also checks that the second open succeeds once the
// first is closed, and that a refused "w" leaves the file's bytes alone.
TEST(Fsopen, second_open_follows_both_sharing_modes) {
    ScratchFolder scratch;
    const int kFopenS = -1;  // shflag column: open with fopen_s instead
    struct Row {
        int line;
        const char* firstMode;
        int firstShare;
        const char* secondMode;
        int secondShare;
        int expected;      // errno of the second open; 0 = it succeeds
        bool wineDiffers;  // Wine's fopen_s shares everything
    };
    const Row rows[] = {
        {__LINE__, "a+", kFopenS, "a+", kFopenS, EACCES, true},
        {__LINE__, "a+", kFopenS, "a+", _SH_DENYNO, EACCES, true},
        {__LINE__, "a+", _SH_DENYNO, "a+", kFopenS, EACCES, true},
        {__LINE__, "r", kFopenS, "r", kFopenS, EACCES, true},
        {__LINE__, "r", kFopenS, "a", _SH_DENYNO, EACCES, true},
        {__LINE__, "a+", _SH_DENYNO, "a+", _SH_DENYNO, 0, false},
        {__LINE__, "r", _SH_DENYNO, "w", kFopenS, EACCES, true},
        {__LINE__, "r", _SH_DENYWR, "r", _SH_DENYNO, 0, false},
        {__LINE__, "r", _SH_DENYWR, "a", _SH_DENYNO, EACCES, false},
        {__LINE__, "a", _SH_DENYRD, "r", _SH_DENYNO, EACCES, false},
        {__LINE__, "a", _SH_DENYRD, "a", _SH_DENYNO, 0, false},
        {__LINE__, "r", _SH_DENYRW, "r", _SH_DENYNO, EACCES, false},
        {__LINE__, "r", _SH_DENYRW, "w", _SH_DENYNO, EACCES, false},
        {__LINE__, "r", _SH_SECURE, "r", _SH_DENYNO, 0, false},
    };
    auto open = [](const std::string& path, const char* mode, int share, int& err) {
        FILE* f = nullptr;
        if (share == kFopenS) {
            err = fopen_s(&f, path.c_str(), mode);
        } else {
            errno = 0;
            f = _fsopen(path.c_str(), mode, share);
            err = f ? 0 : errno;
        }
        return ScopedFile(f);
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        TodoWine todo(ROW_AT(r.line), r.wineDiffers);
        const std::string file = WinPath(scratch / ("shared" + std::to_string(row) + ".txt"));
        WriteFileBytes(FromWinPath(file), "keep");
        int err = 0;
        ScopedFile first = open(file, r.firstMode, r.firstShare, err);
        CheckRow(ROW_AT(r.line), "first open", row, "result", err, 0);
        ScopedFile second = open(file, r.secondMode, r.secondShare, err);
        CheckRow(ROW_AT(r.line), "second open", row, "result", err, r.expected);
        if (r.expected == 0) continue;
        CheckRow(ROW_AT(r.line), "second open", row, "stream", second.get() == nullptr, true);
        first.reset();
        CheckRow(ROW_AT(r.line), "refused open", row, "bytes on disk", ReadFileBytes(FromWinPath(file)),
                 std::string("keep"));
        second = open(file, r.secondMode, r.secondShare, err);
        CheckRow(ROW_AT(r.line), "open after close", row, "result", err, 0);
    }
    // The layer's answer to a flag the CRT does not define (Wine opens the
    // file anyway).
    if (IsPosixLayer()) {
        errno = 0;
        EXPECT_EQ(_fsopen(WinPath(scratch / "x.txt").c_str(), "a", 0x50), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

// CreateFileW on files keeps the same sharing rules as the C runtime's opens
// and meets them: the refused side fails with ERROR_SHARING_VIOLATION
// (CreateFileW) or EACCES (C runtime). Also the dispositions, and data
// written through the handle.
TEST(CreateFileW, files_share_by_the_rules_of_the_crt_opens) {
    ScratchFolder scratch;
    enum Kind { kCrt, kWin32 };
    struct Opener {
        Kind kind;
        const char* mode;  // kCrt: _fsopen mode
        int shflag;        // kCrt
        DWORD access;      // kWin32
        DWORD share;       // kWin32
    };
    const DWORD kRw = GENERIC_READ | GENERIC_WRITE;
    const DWORD kShareRw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Row {
        int line;
        Opener first;
        Opener second;
        bool shares;
    };
    const Row rows[] = {
        {__LINE__, {kWin32, "", 0, kRw, 0}, {kCrt, "a+", _SH_DENYNO, 0, 0}, false},
        {__LINE__, {kWin32, "", 0, GENERIC_READ, kShareRw}, {kCrt, "a+", _SH_DENYNO, 0, 0}, true},
        {__LINE__, {kCrt, "a+", _SH_DENYNO, 0, 0}, {kWin32, "", 0, GENERIC_READ, FILE_SHARE_READ}, false},
        {__LINE__, {kCrt, "r", _SH_DENYWR, 0, 0}, {kWin32, "", 0, GENERIC_WRITE, kShareRw}, false},
        {__LINE__, {kCrt, "r", _SH_DENYWR, 0, 0}, {kWin32, "", 0, GENERIC_READ, kShareRw}, true},
        {__LINE__, {kWin32, "", 0, GENERIC_WRITE, FILE_SHARE_READ}, {kWin32, "", 0, GENERIC_READ, kShareRw}, true},
        {__LINE__, {kWin32, "", 0, GENERIC_WRITE, FILE_SHARE_READ}, {kWin32, "", 0, GENERIC_WRITE, kShareRw}, false},
        // No data access: neither meets nor stops the others.
        {__LINE__, {kCrt, "a+", _SH_DENYRW, 0, 0}, {kWin32, "", 0, 0, 0}, true},
    };
    struct Opened {
        FILE* stream = nullptr;
        HANDLE handle = INVALID_HANDLE_VALUE;
        bool ok() const { return stream != nullptr || handle != INVALID_HANDLE_VALUE; }
        ~Opened() {
            if (stream) fclose(stream);
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
    };
    auto open = [](const std::string& path, const Opener& how, Opened& out) -> unsigned long {
        if (how.kind == kCrt) {
            errno = 0;
            out.stream = _fsopen(path.c_str(), how.mode, how.shflag);
            return out.stream ? 0 : static_cast<unsigned long>(errno);
        }
        std::vector<WCHAR> name(path.begin(), path.end());
        name.push_back(0);
        SetLastError(kSentinel);
        out.handle = CreateFileW(name.data(), how.access, how.share, NULL, OPEN_ALWAYS, 0, NULL);
        return out.handle != INVALID_HANDLE_VALUE ? 0 : GetLastError();
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        const std::string file = WinPath(scratch / ("win32-" + std::to_string(row) + ".txt"));
        WriteFileBytes(FromWinPath(file), "x");
        Opened first;
        Opened second;
        CheckRow(ROW_AT(r.line), "first open", row, "error", open(file, r.first, first), 0ul);
        const unsigned long refused = r.second.kind == kCrt ? static_cast<unsigned long>(EACCES)
                                                            : static_cast<unsigned long>(ERROR_SHARING_VIOLATION);
        CheckRow(ROW_AT(r.line), "second open", row, "error", open(file, r.second, second), r.shares ? 0ul : refused);
    }

    // Dispositions, and bytes through the handle.
    const std::string path = WinPath(scratch / "dispositions.txt");
    std::vector<WCHAR> name(path.begin(), path.end());
    name.push_back(0);
    HANDLE h = CreateFileW(name.data(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "abc", 3, &written, NULL));
    EXPECT_EQ(3u, written);
    // A handle reads and writes only as its access allows; the count is
    // zeroed before any check.
    char back[8] = {0};
    DWORD read = 5;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, back, sizeof back, &read, NULL));
    CheckLastError(HERE, "ReadFile on a write-only handle", 0, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0u, read);
    CloseHandle(h);
    SetLastError(kSentinel);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(name.data(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
    CheckLastError(HERE, "CreateFileW CREATE_NEW on an existing file", 0, ERROR_FILE_EXISTS);
    SetLastError(kSentinel);
    h = CreateFileW(name.data(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CheckLastError(HERE, "CreateFileW OPEN_ALWAYS on an existing file", 0, ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(ReadFile(h, back, sizeof back, &read, NULL));
    EXPECT_EQ(std::string("abc"), std::string(back, read));
    written = 5;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "d", 1, &written, NULL));
    CheckLastError(HERE, "WriteFile on a read-only handle", 0, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0u, written);
    CloseHandle(h);
    h = CreateFileW(name.data(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_EQ(std::string(), ReadFileBytes(FromWinPath(path)));
}

TEST(VsnprintfS, truncate_cuts_a_long_message_at_511_without_overflow) {
    const std::string huge(100 * 1024, 'x');
    // Exactly 512 bytes on the heap, so a sanitizer sees any overflow.
    std::unique_ptr<char[]> heap(new char[512]);
    int got = CallVsnprintfS(heap.get(), 512, _TRUNCATE, "%s", huge.c_str());
    EXPECT_EQ(got, -1);
    EXPECT_EQ(std::strlen(heap.get()), 511u);
    EXPECT_EQ(std::string(heap.get()), huge.substr(0, 511));

    struct Row {
        int line;
        size_t size;
        size_t count;
        size_t textLength;
        int result;
        size_t writtenLength;  // strlen afterwards
        bool wineDiffers;
    };
    const Row rows[] = {
        {__LINE__, 512, _TRUNCATE, 100 * 1024, -1, 511, false},
        {__LINE__, 512, _TRUNCATE, 512, -1, 511, false},
        {__LINE__, 512, _TRUNCATE, 511, 511, 511, false},
        {__LINE__, 512, _TRUNCATE, 0, 0, 0, false},
        {__LINE__, 512, 5, 8, -1, 5, false},  // cut at count
        {__LINE__, 512, 8, 8, 8, 8, false},
        {__LINE__, 8, 20, 7, 7, 7, false},  // count beyond the buffer, text fits
        {__LINE__, 8, 8, 8, -1, 0, true},   // text and NUL exceed the buffer: emptied (Wine cuts at 7)
        {__LINE__, 8, 20, 30, -1, 0, false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        TodoWine todo(ROW_AT(r.line), r.wineDiffers);
        const std::string text(r.textLength, 'y');
        for (int fill : {0x00, 0xFF}) {
            std::vector<char> area(r.size + 64, static_cast<char>(fill));
            int result = CallVsnprintfS(area.data(), r.size, r.count, "%s", text.c_str());
            CheckRow(ROW_AT(r.line), "_vsnprintf_s", row, "result", result, r.result);
            CheckRow(ROW_AT(r.line), "_vsnprintf_s", row, "length", strnlen(area.data(), r.size), r.writtenLength);
            CheckRow(ROW_AT(r.line), "_vsnprintf_s", row, "text",
                     std::string(area.data(), strnlen(area.data(), r.size)), text.substr(0, r.writtenLength));
            bool guardIntact = true;
            for (size_t b = r.size; b < area.size(); ++b)
                guardIntact = guardIntact && area[b] == static_cast<char>(fill);
            CheckRow(ROW_AT(r.line), "_vsnprintf_s", row, "nothing written past the buffer", guardIntact, true);
        }
    }
}

TEST(VsnprintfS, message_text_with_percent_signs_is_not_formatted_twice) {
    char buffer[64];
    EXPECT_EQ(CallVsnprintfS(buffer, sizeof buffer, _TRUNCATE, "%s", "100% %d %s %x"), 13);
    EXPECT_STREQ(buffer, "100% %d %s %x");
    char sized[16];
    EXPECT_EQ(_snprintf_s(sized, _TRUNCATE, "%d-%s", 42, "abcdefghijklmnop"), -1);  // array overload
    EXPECT_STREQ(sized, "42-abcdefghijkl");
}

TEST(VsprintfS, overflow_empties_the_buffer_and_fails) {
    struct Row {
        int line;
        const char* text;
        int result;
        const char* expected;
        bool mingwDiffers;  // mingw-w64's vsprintf_s for msvcrt fills the buffer unterminated
    };
    const Row rows[] = {
        {__LINE__, "1234567", 7, "1234567", false},
        {__LINE__, "12345678", -1, "", true},
        {__LINE__, "", 0, "", false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        if (r.mingwDiffers && !IsPosixLayer()) continue;
        for (int fill : {0x00, 0xFF}) {
            char area[8 + 16];
            std::memset(area, fill, sizeof area);
            int result = CallVsprintfS(area, 8, "%s", r.text);
            CheckRow(ROW_AT(r.line), "vsprintf_s", row, "result", result, r.result);
            CheckRow(ROW_AT(r.line), "vsprintf_s", row, "text", std::string(area, strnlen(area, 8)),
                     std::string(r.expected));
            CheckRow(ROW_AT(r.line), "vsprintf_s", row, "byte past the buffer",
                     static_cast<int>(static_cast<unsigned char>(area[8])), fill);
        }
    }
    char sized[8];
    EXPECT_EQ(sprintf_s(sized, "%d", 1234567), 7);  // array overload
    EXPECT_STREQ(sized, "1234567");
}

TEST(StrcatS, appends_or_fails_with_the_documented_codes) {
    struct Row {
        int line;
        const char* initial;  // nullptr: an unterminated buffer of 'a'
        size_t size;
        const char* source;
        errno_t result;
        const char* expected;  // nullptr: only the first byte is checked, as 0
        bool posixOnly;
        bool wineDiffers;
    };
    // clang-format off
    const Row rows[] = {
        {__LINE__, "abc", 8, "defg", 0, "abcdefg", false, false},
        {__LINE__, "abc", 8, "defgh", ERANGE, nullptr, false, false},
        {__LINE__, "", 1, "", 0, "", false, false},
        {__LINE__, "", 1, "a", ERANGE, nullptr, false, false},
        {__LINE__, "abc", 8, nullptr, EINVAL, nullptr, false, false},
        {__LINE__, nullptr, 8, "b", EINVAL, "aaaaaaaa", false, true},  // unterminated: left alone (Wine: ERANGE, emptied)
        {__LINE__, "abc", 0, "d", EINVAL, "abc", true, false},  // size 0: documented ERANGE cannot be written
    };
    // clang-format on
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        if (r.posixOnly && !IsPosixLayer()) continue;
        TodoWine todo(ROW_AT(r.line), r.wineDiffers);
        char area[8 + 8];
        std::memset(area, 0x7F, sizeof area);
        if (r.initial)
            std::memcpy(area, r.initial, std::strlen(r.initial) + 1);
        else
            std::memset(area, 'a', 8);
        errno_t result = strcat_s(area, r.size, r.source);
        CheckRow(ROW_AT(r.line), "strcat_s", row, "result", result, r.result);
        if (r.expected)
            CheckRow(ROW_AT(r.line), "strcat_s", row, "text", std::string(area, strnlen(area, 8)),
                     std::string(r.expected));
        else
            CheckRow(ROW_AT(r.line), "strcat_s", row, "first byte", static_cast<int>(area[0]), 0);
        CheckRow(ROW_AT(r.line), "strcat_s", row, "byte past the buffer", static_cast<int>(area[8]), 0x7F);
    }
    EXPECT_EQ(strcat_s(nullptr, 8, "x"), EINVAL);
    char path[MAX_PATH] = "C:\\ProgramData\\";
    EXPECT_EQ(strcat_s(path, "Quendra Driver Package\\"), 0);  // array overload
    EXPECT_STREQ(path, "C:\\ProgramData\\Quendra Driver Package\\");
}

TEST(StringCchPrintfW, formats_port_names_and_cuts_what_does_not_fit) {
    struct Row {
        int line;
        size_t cch;
        std::function<HRESULT(WCHAR*, size_t)> call;
        HRESULT result;
        const char* expected;  // as Show() prints it; nullptr: nothing written
    };
    // clang-format off
    const Row rows[] = {
        {__LINE__, 15, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"\\\\.\\COM%d", 3); }, S_OK, "\\\\.\\COM3"},
        {__LINE__, 15, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"\\\\.\\COM%d", 1234567); }, S_OK,
         "\\\\.\\COM1234567"},  // 14 units: the most that fit
        {__LINE__, 15, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"\\\\.\\COM%d", 12345678); },
         STRSAFE_E_INSUFFICIENT_BUFFER, "\\\\.\\COM1234567"},
        {__LINE__, 50, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"baud=%d parity=N data=8 stop=1", 115200); },
         S_OK, "baud=115200 parity=N data=8 stop=1"},
        {__LINE__, 10, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"baud=%d parity=N data=8 stop=1", 115200); },
         STRSAFE_E_INSUFFICIENT_BUFFER, "baud=1152"},
        {__LINE__, 50, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"%ls|%hs|%S|%s", L"wide", "narrow", "upper", L"plain"); },
         S_OK, "wide|narrow|upper|plain"},  // Microsoft's wide rules: %s is WCHAR text
        {__LINE__, 50, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"%5d|%-5d|%05d|%x|%X|%u|%%", 42, 42, 42, 255, 255, 4294967295u); },
         S_OK, "   42|42   |00042|ff|FF|4294967295|%"},
        {__LINE__, 50, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"%d|%ld|%c|%.2ls", -2147483647 - 1, static_cast<LONG>(-5), L'Z', L"abc"); },
         S_OK, "-2147483648|-5|Z|ab"},
        {__LINE__, 4, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"abc"); }, S_OK, "abc"},
        {__LINE__, 4, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L""); }, S_OK, ""},
        {__LINE__, 3, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"abc"); }, STRSAFE_E_INSUFFICIENT_BUFFER, "ab"},
        {__LINE__, 1, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"abc"); }, STRSAFE_E_INSUFFICIENT_BUFFER, ""},
        {__LINE__, 0, [](WCHAR* d, size_t n) { return StringCchPrintfW(d, n, L"abc"); }, STRSAFE_E_INVALID_PARAMETER, nullptr},
    };
    // clang-format on
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        const int row = static_cast<int>(i) + 1;
        for (int fill : {0x00, 0xFF}) {
            WCHAR area[64];
            std::memset(area, fill, sizeof area);
            const WCHAR filler = area[0];
            HRESULT hr = r.call(area, r.cch);
            CheckRow(ROW_AT(r.line), "StringCchPrintfW", row, "result", static_cast<DWORD>(hr),
                     static_cast<DWORD>(r.result));
            if (!r.expected) {
                CheckRow(ROW_AT(r.line), "StringCchPrintfW", row, "untouched", area[0] == filler, true);
                continue;
            }
            size_t length = 0;
            while (length < r.cch && area[length]) ++length;
            CheckRow(ROW_AT(r.line), "StringCchPrintfW", row, "terminated within cchDest", length < r.cch, true);
            if (length >= r.cch) continue;
            CheckRow(ROW_AT(r.line), "StringCchPrintfW", row, "text", Show(area), std::string(r.expected));
            CheckRow(ROW_AT(r.line), "StringCchPrintfW", row, "unit past cchDest untouched", area[r.cch] == filler,
                     true);
        }
    }
}

TEST(Wprintf, writes_the_wide_message_as_bytes_between_narrow_output) {
    ::testing::internal::CaptureStdout();
    int narrowFirst = printf("a");
    int wide = wprintf(L"SetCommState()");
    int formatted = wprintf(L"[%d|%ls]", 5, L"x");
    int narrowAfter = printf("z");
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(narrowFirst, 1);
    EXPECT_EQ(wide, 14);
    EXPECT_EQ(formatted, 5);
    EXPECT_EQ(narrowAfter, 1);
    EXPECT_EQ(out, "aSetCommState()[5|x]z");
}

TEST(Wprintf, non_ascii_text_becomes_utf8) {
    if (!IsPosixLayer()) GTEST_SKIP() << "Windows converts to the console code page instead";
    ::testing::internal::CaptureStdout();
    int count = wprintf(L"caf\u00e9 \u20ac \U0001F600");
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(count, 9);  // UTF-16 units: the last character is a surrogate pair
    EXPECT_EQ(out, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
}

// Formats Windows would hand to its invalid-parameter handler, and numbers
// longer than any fixed reserve: each an input the fuzzing corpus keeps.
TEST(StringCchPrintfW, refuses_counts_past_an_int_and_never_cuts_a_long_number) {
    if (!IsPosixLayer()) GTEST_SKIP() << "Windows calls the invalid-parameter handler for these formats";
    WCHAR small[8];
    const struct {
        int line;
        std::function<HRESULT()> call;
        HRESULT result;
    } refused[] = {
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%"); }, S_OK},
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%9999999999d", 1); }, STRSAFE_E_INVALID_PARAMETER},
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%.9999999999d", 1); }, STRSAFE_E_INVALID_PARAMETER},
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%*d", -2147483647 - 1, 1); }, STRSAFE_E_INVALID_PARAMETER},
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%2147483647s", L"x"); }, STRSAFE_E_INSUFFICIENT_BUFFER},
        {__LINE__, [&] { return StringCchPrintfW(small, 8, L"%2000000000s", L"x"); }, STRSAFE_E_INSUFFICIENT_BUFFER},
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        std::memset(small, 0xFF, sizeof small);
        HRESULT hr = refused[i].call();
        const int row = static_cast<int>(i) + 1;
        CheckRow(ROW_AT(refused[i].line), "StringCchPrintfW", row, "result", static_cast<DWORD>(hr),
                 static_cast<DWORD>(refused[i].result));
        const std::string expected = hr == STRSAFE_E_INSUFFICIENT_BUFFER ? "       " : "";
        CheckRow(ROW_AT(refused[i].line), "StringCchPrintfW", row, "text", Show(small), expected);
    }
    // The largest long double is 4933 digits: all of them, and the count.
    std::vector<WCHAR> wide(6000);
    char narrow[6000];
    int narrowLength = std::snprintf(narrow, sizeof narrow, "%.0Lf|", LDBL_MAX);
    EXPECT_EQ(StringCchPrintfW(wide.data(), wide.size(), L"%.0Lf|", LDBL_MAX), S_OK);
    EXPECT_EQ(Show(wide.data()), std::string(narrow));
    ::testing::internal::CaptureStdout();
    int count = wprintf(L"%.0Lf|", LDBL_MAX);
    fflush(stdout);
    EXPECT_EQ(count, narrowLength);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(narrow));
}
