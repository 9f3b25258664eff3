// Fuzzes GetPrivateProfileIntA over arbitrary file contents. For ASCII files
// (bytes with the top bit set are folded into ASCII) the result must equal a
// plain reading written here from the documented rules: lines split at LF and
// trimmed of blanks, the first section of the name (case-insensitive) and the
// first key in it win, matching quotes are dropped, an empty value gives the
// default, and the number is read with an optional sign, a 0x/0o/0b prefix and
// wraps modulo 2^32. Any other content must simply come back (no crash, no
// leak).
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/winapi.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

const char* const kBlanks = " \t\r\v\f";

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

uint32_t ReadNumber(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) negative = text[i++] == '-';
    unsigned base = 10;
    if (text.size() > i + 1 && text[i] == '0') {
        const std::string prefix = text.substr(i, 2);
        base = prefix == "0x" ? 16 : prefix == "0o" ? 8 : prefix == "0b" ? 2 : 10;
        if (base != 10) i += 2;
    }
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        const std::string digits = std::string("0123456789abcdefghijklmnopqrstuvwxyz").substr(0, base);
        const size_t digit = digits.find(c);
        if (c == '\0' || digit == std::string::npos) break;
        value = (value * base + digit) & 0xFFFFFFFFu;
    }
    return negative ? static_cast<uint32_t>(0u - value) : static_cast<uint32_t>(value);
}

// The value text for section/key (NULL: the first section's or key's name).
bool ReferenceText(const std::string& contents, const char* section, const char* key, std::string& text) {
    std::istringstream lines(contents.compare(0, 3, "\xEF\xBB\xBF") == 0 ? contents.substr(3) : contents);
    std::string line;
    bool inWanted = false;
    bool seenWanted = false;
    while (std::getline(lines, line)) {
        line = Trimmed(line);
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (seenWanted) return false;
            const std::string name =
                Trimmed(line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1));
            if (!section) {
                text = name;
                return true;
            }
            inWanted = seenWanted = Lower(name) == Lower(section);
            continue;
        }
        const size_t equals = line.find('=');
        if (!inWanted || equals == std::string::npos) continue;
        const std::string name = Trimmed(line.substr(0, equals));
        if (!key) {
            if (name.empty() || name[0] != ';') {
                text = name;
                return true;
            }
            continue;
        }
        if (Lower(name) != Lower(key)) continue;
        text = Trimmed(line.substr(equals + 1));
        if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0])
            text = text.substr(1, text.size() - 2);
        return true;
    }
    return false;
}

// In memory where the system has a tmpfs, so the run is not bound by a disk.
std::string FilePath() {
    static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                    "/fuzz_ini_reader." + std::to_string(getpid()) + ".ini";
    static const int removedAtExit = std::atexit([] { unlink(path.c_str()); });
    (void)removedAtExit;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string contents(reinterpret_cast<const char*>(data), size);
    const bool ascii = size == 0 || (data[0] & 0x80) == 0;
    if (ascii) {
        for (char& c : contents) c = static_cast<char>(c & 0x7F);
    }
    FILE* file = std::fopen(FilePath().c_str(), "wb");
    Require(file != nullptr);
    Require(std::fwrite(contents.data(), 1, contents.size(), file) == contents.size());
    std::fclose(file);

    const INT fallback = -7;
    const struct {
        const char* section;
        const char* key;
    } queries[] = {{"BASE_CONFIG", "LOG_LV"}, {nullptr, "LOG_LV"}, {"base_config", nullptr}};
    for (const auto& query : queries) {
        const UINT got = GetPrivateProfileIntA(query.section, query.key, fallback, FilePath().c_str());
        if (!ascii) continue;
        std::string text;
        const UINT expected = ReferenceText(contents, query.section, query.key, text) && !text.empty()
                                  ? ReadNumber(text)
                                  : static_cast<UINT>(fallback);
        Require(got == expected);
    }
    return 0;
}
