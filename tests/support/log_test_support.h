// Helpers for the logger tests: a private common application-data folder per
// test, the INI file beside the test program, and reading back the log
// files. Paths are kept in Windows form, as the loggers see them, and turned
// to forward slashes for the C++ file functions, which accept those on both
// systems.
#ifndef TESTS_SUPPORT_LOG_TEST_SUPPORT_H
#define TESTS_SUPPORT_LOG_TEST_SUPPORT_H

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace logtest {

inline std::string Slashed(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

inline std::string WithBackslash(std::string path) {
    if (path.empty() || path.back() != '\\') {
        path += '\\';
    }
    return path;
}

// The folder the loggers use as the common application-data folder.
inline std::string CommonAppData() {
    char path[MAX_PATH] = {0};
    if (!SHGetSpecialFolderPathA(NULL, path, CSIDL_COMMON_APPDATA, FALSE)) {
        return std::string();
    }
    return path;
}

inline std::string LogFolder() { return WithBackslash(CommonAppData()) + "Quendra Driver Package\\logs\\"; }

inline std::string ExeFolder() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\') + 1);
}

inline bool Exists(const std::string& windowsPath) {
    std::error_code ignored;
    return std::filesystem::exists(Slashed(windowsPath), ignored);
}

inline std::string ReadAll(const std::string& windowsPath) {
    std::ifstream in(Slashed(windowsPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void RemoveAll(const std::string& windowsPath) {
    std::error_code ignored;
    std::filesystem::remove_all(Slashed(windowsPath), ignored);
}

// Splits at "\r\n"; a trailing piece without one is returned as its own line
// so that a missing line end shows in the comparison.
inline std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Points the common application-data folder at a fresh temporary folder
// (through PROGRAMDATA, which the POSIX platform reads; Windows keeps its own
// folder and the tests then work there) and removes the folder afterwards.
class AppDataFolder {
public:
    AppDataFolder() {
        static int serial = 0;
        std::filesystem::path base = std::filesystem::temp_directory_path();
        native_ = (base / ("globaltools-log-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial)))
                      .generic_string();
        std::filesystem::create_directories(native_);
        SetProgramData(native_);
    }
    // A folder with a path of exactly `length` characters, built from nested
    // folders so that no single name is too long for the file system.
    explicit AppDataFolder(size_t length) : AppDataFolder() {
        std::string path = native_;
        while (path.size() + 1 < length) {
            size_t room = length - path.size();
            // Each piece is "/" and a name; never leave room for "/" alone.
            size_t name = room - 1 > 100 ? std::min<size_t>(100, room - 3) : room - 1;
            path += "/" + std::string(name, 'd');
        }
        std::filesystem::create_directories(path);
        SetProgramData(path);
        longPath_ = path;
    }
    ~AppDataFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(native_, ignored);
    }
    AppDataFolder(const AppDataFolder&) = delete;
    AppDataFolder& operator=(const AppDataFolder&) = delete;

    // True when the platform reads the folder from PROGRAMDATA, so that the
    // loggers of this test really use it.
    bool Redirected() const {
        std::string expected = longPath_.empty() ? native_ : longPath_;
        return Slashed(CommonAppData()) == expected;
    }

private:
    static void SetProgramData(const std::string& value) {
        // putenv keeps the pointer it is given: the texts live until exit.
        static std::deque<std::string> settings;
        settings.push_back("PROGRAMDATA=" + value);
        putenv(&settings.back()[0]);
    }

    std::string native_;
    std::string longPath_;
};

// The INI file beside the test program, absent at construction and
// destruction. Every test of a program sees the same file, so a program whose
// tests use it runs them one at a time (RESOURCE_LOCK in its CMakeLists.txt).
class IniFile {
public:
    IniFile() : path_(ExeFolder() + "kvconfig.ini") { Remove(); }
    ~IniFile() { Remove(); }
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    void Write(const std::string& contents) {
        std::ofstream out(Slashed(path_), std::ios::binary | std::ios::trunc);
        out << contents;
    }
    void SetLevel(const std::string& value) { Write("[BASE_CONFIG]\r\nLOG_LV=" + value + "\r\n"); }
    void Remove() {
        std::error_code ignored;
        std::filesystem::remove(Slashed(path_), ignored);
    }

private:
    std::string path_;
};

}  // namespace logtest

#endif  // TESTS_SUPPORT_LOG_TEST_SUPPORT_H
