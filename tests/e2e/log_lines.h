// The shape of the shared log's lines, for tests that check a log written by
// many runs at once: "[pid] [tid] MM-DD hh:mm:ss:mmm : message", ended by
// CR LF. A message that itself ended in "\r\n" leaves an empty line after it.
#ifndef TESTS_E2E_LOG_LINES_H
#define TESTS_E2E_LOG_LINES_H

#include <regex>
#include <string>
#include <vector>

namespace e2e {

struct LogLine {
    std::string pid;
    std::string message;
};

// Splits text into lines; false when a line is neither a whole log line nor
// the empty line a message ending in a line break leaves, or when the text
// does not end with a line end (a torn last line).
inline bool ParseLogLines(const std::string& text, std::vector<LogLine>& lines, std::string& bad) {
    static const std::regex kLine(
        R"(\[([0-9]+)\] \[[0-9]+\] [01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]:[0-9]{3} : (.*))");
    if (!text.empty() && text.back() != '\n') {
        bad = "no line end at the end of the file";
        return false;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::smatch match;
        if (!std::regex_match(line, match, kLine)) {
            bad = line;
            return false;
        }
        lines.push_back({match[1].str(), match[2].str()});
    }
    return true;
}

}  // namespace e2e

#endif  // TESTS_E2E_LOG_LINES_H
