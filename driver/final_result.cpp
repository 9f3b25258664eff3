// The final result code of an AT answer (see final_result.h).
#include "final_result.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

FinalResult ClassifyAnswer(const std::string& answer) {
    // The prompt is the one final answer not followed by a line end.
    const size_t size = answer.size();
    if (size >= 2 && answer.compare(size - 2, 2, "> ") == 0 && (size == 2 || IsLineEnd(answer[size - 3])))
        return FinalResult::Success;

    size_t end = size;
    while (end > 0 && IsLineEnd(answer[end - 1])) --end;
    size_t begin = end;
    while (begin > 0 && !IsLineEnd(answer[begin - 1])) --begin;
    const std::string line = answer.substr(begin, end - begin);

    if (line == "OK" || line == "CONNECT" || StartsWith(line, "CONNECT ")) return FinalResult::Success;
    if (line == "ERROR" || StartsWith(line, "+CME ERROR:") || StartsWith(line, "+CMS ERROR:") || line == "NO CARRIER" ||
        line == "BUSY" || line == "NO ANSWER" || line == "NO DIALTONE")
        return FinalResult::Error;
    return FinalResult::None;
}
