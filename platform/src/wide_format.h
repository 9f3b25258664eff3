// The formatter behind PAL_wprintf and StringCchVPrintfW (crt.cpp): Microsoft's
// rules for the wide functions over 16-bit WCHAR text, which glibc's wide
// functions (4-byte wchar_t) cannot handle. %s and %c take WCHAR text,
// %S/%hs and %C/%hc narrow text; 'l' means 32 bits.
#ifndef PLATFORM_SRC_WIDE_FORMAT_H
#define PLATFORM_SRC_WIDE_FORMAT_H

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <vector>

#include "platform/winapi.h"

namespace pal {

using WideText = std::vector<WCHAR>;

// Formatted text kept up to a limit while all of it is counted, so that a
// caller keeping cchDest units never holds a field of two billion blanks.
class WideOutput {
public:
    explicit WideOutput(size_t keep) : keep_(keep) {}
    void Push(WCHAR c) { Repeat(c, 1); }
    void Repeat(WCHAR c, size_t count) {
        text_.insert(text_.end(), std::min(count, Room()), c);
        total_ += count;
    }
    void Append(const WideText& piece) {
        text_.insert(text_.end(), piece.begin(),
                     piece.begin() + static_cast<ptrdiff_t>(std::min(piece.size(), Room())));
        total_ += piece.size();
    }
    // Units still kept; whatever goes past them is only counted.
    size_t Room() const { return keep_ - text_.size(); }
    void CountOnly(size_t count) { total_ += count; }
    const WideText& Kept() const { return text_; }
    size_t Total() const { return total_; }

private:
    size_t keep_;
    size_t total_ = 0;
    WideText text_;
};

// Formats format into out; false for a format the CRT refuses: %n, or a
// width or precision that does not fit in an int (a '*' width of INT_MIN
// included, whose magnitude does not).
bool FormatWide(const WCHAR* format, va_list args, WideOutput& out);

}  // namespace pal

#endif  // PLATFORM_SRC_WIDE_FORMAT_H
