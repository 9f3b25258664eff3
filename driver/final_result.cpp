// The final result code of an AT answer (see final_result.h).
#include "final_result.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

FinalResult OutcomeOf(const std::string& line) {
    if (line == "OK" || line == "CONNECT" || StartsWith(line, "CONNECT ")) return FinalResult::Success;
    if (line == "ERROR" || StartsWith(line, "+CME ERROR:") || StartsWith(line, "+CMS ERROR:") || line == "NO CARRIER" ||
        line == "BUSY" || line == "NO ANSWER" || line == "NO DIALTONE")
        return FinalResult::Error;
    return FinalResult::None;
}

}  // namespace

FinalResult FindFinalResult(const std::string& text, bool whole, size_t* end) {
    size_t begin = 0;
    while (begin < text.size()) {
        if (IsLineEnd(text[begin])) {
            ++begin;
            continue;
        }
        if (text.compare(begin, 2, "> ") == 0) {
            if (end) *end = begin + 2;
            return FinalResult::Success;
        }
        size_t stop = begin;
        while (stop < text.size() && !IsLineEnd(text[stop])) ++stop;
        if (stop == text.size() && !whole) return FinalResult::None;
        const FinalResult outcome = OutcomeOf(text.substr(begin, stop - begin));
        if (outcome != FinalResult::None) {
            if (stop < text.size() && text[stop] == '\r') ++stop;
            if (stop < text.size() && text[stop] == '\n') ++stop;
            if (end) *end = stop;
            return outcome;
        }
        begin = stop;
    }
    return FinalResult::None;
}
