// UTF-16 text (WCHAR, 16-bit on every build) to UTF-8, for the names and
// text this layer hands to the POSIX side.
#ifndef PLATFORM_SRC_UTF16_H
#define PLATFORM_SRC_UTF16_H

#include <cstddef>
#include <string>

#include "platform/winapi.h"

namespace pal {

// The length units of text; an unpaired surrogate becomes U+FFFD.
inline std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned long code = static_cast<unsigned short>(text[i]);
        const unsigned long next = i + 1 < length ? static_cast<unsigned short>(text[i + 1]) : 0;
        if (code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// The same for a NUL-terminated text.
inline std::string Utf16ToUtf8(const WCHAR* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return Utf16ToUtf8(text, length);
}

}  // namespace pal

#endif  // PLATFORM_SRC_UTF16_H
