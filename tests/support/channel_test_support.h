// Helpers for the MBIM channel and sink tests: byte arrays as the platform
// delivers them, a reader of the shared log that sees only the lines written
// since it was made, and the shared logger's reference count, which tells
// whether every channel and sink gave back its reference.
//
// The log lines are only written when the program has a kvconfig.ini with
// LOG_LV=2 beside it and a common application-data folder of its own; the
// test folder's CMakeLists.txt sees to both (PROGRAMDATA in the tests'
// environment).
#ifndef TESTS_SUPPORT_CHANNEL_TEST_SUPPORT_H
#define TESTS_SUPPORT_CHANNEL_TEST_SUPPORT_H

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "tools/interfaces.h"

namespace mbimtest {

// A one-dimensional VT_UI1 array from index 0 holding bytes; destroyed with
// the object, as the platform frees its arrays after the callback returns.
class ByteArray {
public:
    explicit ByteArray(const std::string& bytes) {
        SAFEARRAYBOUND bound;
        bound.cElements = static_cast<ULONG>(bytes.size());
        bound.lLbound = 0;
        array = SafeArrayCreate(VT_UI1, 1, &bound);
        if (array && !bytes.empty()) {
            void* data = nullptr;
            if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
                std::memcpy(data, bytes.data(), bytes.size());
                SafeArrayUnaccessData(array);
            }
        }
    }
    ~ByteArray() {
        if (array) SafeArrayDestroy(array);
    }
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;
    SAFEARRAY* get() const { return array; }

private:
    SAFEARRAY* array = nullptr;
};

// References held on the shared logger right now (one per live channel or
// sink, one per factory caller, and the two the logger keeps for itself).
inline int SharedLogRefs() {
    IGlobalTools::ILog* log = GetSharedLog();
    int count = log->AddRef();
    log->Release();
    log->Release();
    return count - 2;
}

inline std::string Slashed(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

// The shared log file, as the logger builds its path.
inline std::string SharedLogPath() {
    char folder[MAX_PATH] = {0};
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) return std::string();
    std::string path(folder);
    if (path.empty() || path.back() != '\\') path += '\\';
    return Slashed(path + "Quendra Driver Package\\logs\\KavoConnectMonitor.log");
}

// The messages of a log text: for each line "[pid] [tid] MM-DD hh:mm:ss:mmm :
// message", the text after the time stamp, without the line ending.
inline std::vector<std::string> LogMessages(const std::string& text) {
    std::vector<std::string> messages;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        size_t mark = line.find(" : ");
        if (!line.empty() && line[0] == '[' && mark != std::string::npos) {
            messages.push_back(line.substr(mark + 3));
        } else if (!line.empty() && !messages.empty()) {
            // A message that held a line break of its own; one that ended in
            // "\r\n" leaves only an empty line, which is dropped.
            messages.back() += "\n" + line;
        }
        pos = end + 1;
    }
    return messages;
}

// The messages written to the shared log after this object was made.
class LogWatch {
public:
    LogWatch() : path(SharedLogPath()), start(FileSize()) {}

    std::vector<std::string> Messages() const {
        std::ifstream in(path, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (all.size() <= start) return std::vector<std::string>();
        return LogMessages(all.substr(start));
    }

    bool Has(const std::string& message) const {
        for (const std::string& m : Messages()) {
            if (m == message) return true;
        }
        return false;
    }

    // Index of the first message equal to message at or after from, or -1.
    int Find(const std::string& message, int from = 0) const {
        std::vector<std::string> all = Messages();
        for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < all.size(); ++i) {
            if (all[i] == message) return static_cast<int>(i);
        }
        return -1;
    }

    // Polls for a message written from another thread; bounded.
    bool WaitFor(const std::string& message, int timeoutMs = 5000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!Has(message)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // For failure messages: everything seen, one message a line.
    std::string Dump() const {
        std::string out;
        for (const std::string& m : Messages()) out += "  | " + m + "\n";
        return out;
    }

private:
    size_t FileSize() const {
        std::error_code ignored;
        auto size = std::filesystem::file_size(path, ignored);
        return ignored ? 0 : static_cast<size_t>(size);
    }

    std::string path;
    size_t start;
};

}  // namespace mbimtest

#endif  // TESTS_SUPPORT_CHANNEL_TEST_SUPPORT_H
