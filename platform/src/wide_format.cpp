// Wide formatting for PAL_wprintf and StringCchVPrintfW (see wide_format.h).
// Numbers go through the C library's snprintf and are widened; text,
// padding and the Microsoft size prefixes are handled here.
#include "wide_format.h"

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pal {

namespace {

void AppendAscii(WideText& out, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
}

// Narrow text is UTF-8 (the POSIX build's ANSI code page); a byte that does
// not start a valid sequence is taken as Latin-1.
void AppendNarrow(WideText& out, const char* text, size_t maxChars) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t produced = 0;
    while (*p && produced < maxChars) {
        uint32_t code = *p;
        size_t extra = 0;
        if (code >= 0xC2 && code <= 0xDF)
            extra = 1, code &= 0x1F;
        else if (code >= 0xE0 && code <= 0xEF)
            extra = 2, code &= 0x0F;
        else if (code >= 0xF0 && code <= 0xF4)
            extra = 3, code &= 0x07;
        size_t i = 1;
        for (; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) break;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (i <= extra || (extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            code = *p;
            extra = 0;
        }
        p += extra + 1;
        if (code >= 0x10000) {
            if (produced + 2 > maxChars) break;
            code -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (code >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (code & 0x3FF)));
            produced += 2;
        } else {
            out.push_back(static_cast<WCHAR>(code));
            ++produced;
        }
    }
}

// A field padded to width, on the side the '-' flag names.
void AppendPadded(WideOutput& out, const WideText& piece, int width, bool left) {
    size_t padding =
        width > 0 && static_cast<size_t>(width) > piece.size() ? static_cast<size_t>(width) - piece.size() : 0;
    if (!left) out.Repeat(L' ', padding);
    out.Append(piece);
    if (left) out.Repeat(L' ', padding);
}

// One conversion through the C library, widened. The text is measured first
// and only the part out still keeps is produced, so neither a long number
// nor a wide field is cut or held whole.
template <typename Format>
bool AppendFormatted(WideOutput& out, Format format) {
    int length = format(nullptr, 0);
    if (length < 0) return false;
    size_t kept = std::min(static_cast<size_t>(length), out.Room());
    std::vector<char> text(kept + 1);
    format(text.data(), text.size());
    WideText piece;
    AppendAscii(piece, text.data(), kept);
    out.Append(piece);
    out.CountOnly(static_cast<size_t>(length) - kept);
    return true;
}

bool AppendInteger(WideOutput& out, const char* narrowFormat, int width, int precision, bool isSigned,
                   long long value) {
    return AppendFormatted(out, [&](char* buffer, size_t size) {
        unsigned long long bits = static_cast<unsigned long long>(value);
        if (precision < 0)
            return isSigned ? std::snprintf(buffer, size, narrowFormat, width, value)
                            : std::snprintf(buffer, size, narrowFormat, width, bits);
        return isSigned ? std::snprintf(buffer, size, narrowFormat, width, precision, value)
                        : std::snprintf(buffer, size, narrowFormat, width, precision, bits);
    });
}

// Reads a decimal width or precision; false when it does not fit in an int
// (the CRT refuses such a format rather than wrap).
bool ReadCount(const WCHAR*& p, int& value) {
    value = 0;
    while (*p >= L'0' && *p <= L'9') {
        int digit = *p++ - L'0';
        if (value > (INT_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// One conversion's flags, width and precision, as read from the format.
struct Conversion {
    bool left = false;
    std::string flags;  // as written, for numeric conversions
    int width = 0;
    int precision = -1;
};

}  // namespace

bool FormatWide(const WCHAR* format, va_list args, WideOutput& out) {
    const WCHAR* p = format;
    while (*p) {
        if (*p != L'%') {
            out.Push(*p++);
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.Push(L'%');
            ++p;
            continue;
        }
        Conversion field;
        for (;; ++p) {
            if (*p == L'-')
                field.left = true;
            else if (*p != L'+' && *p != L' ' && *p != L'#' && *p != L'0')
                break;
            field.flags.push_back(static_cast<char>(*p));
        }
        if (*p == L'*') {
            field.width = va_arg(args, int);
            if (field.width == INT_MIN) return false;
            if (field.width < 0) {
                field.left = true;
                field.flags.push_back('-');
                field.width = -field.width;
            }
            ++p;
        } else if (!ReadCount(p, field.width)) {
            return false;
        }
        if (*p == L'.') {
            ++p;
            field.precision = 0;
            if (*p == L'*') {
                field.precision = va_arg(args, int);
                if (field.precision < 0) field.precision = -1;
                ++p;
            } else if (!ReadCount(p, field.precision)) {
                return false;
            }
        }
        // Size: 0 = int, 'h' short, 'c' char, 'q' 64-bit, 'z' pointer-sized,
        // 'L' long double; 'n' narrow text, 'w' wide text.
        char size = 0;
        char textWidth = 0;
        if (*p == L'h') {
            ++p;
            textWidth = 'n';
            size = 'h';
            if (*p == L'h') size = 'c', ++p;
        } else if (*p == L'l') {
            ++p;
            textWidth = 'w';
            if (*p == L'l') size = 'q', ++p;
        } else if (*p == L'w') {
            ++p;
            textWidth = 'w';
        } else if (*p == L'L') {
            ++p;
            size = 'L';
        } else if (*p == L'I') {
            if (p[1] == L'6' && p[2] == L'4')
                size = 'q', p += 3;
            else if (p[1] == L'3' && p[2] == L'2')
                p += 3;
            else
                size = 'z', ++p;
        } else if (*p == L'z' || *p == L't') {
            ++p;
            size = 'z';
        } else if (*p == L'j') {
            ++p;
            size = 'q';
        }
        WCHAR conversion = *p;
        if (!conversion) break;  // a lone '%' at the end prints nothing
        ++p;
        switch (conversion) {
        case L'd':
        case L'i':
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            bool isSigned = conversion == L'd' || conversion == L'i';
            long long value;
            if (size == 'q')
                value = va_arg(args, long long);
            else if (size == 'z')
                value = isSigned ? static_cast<long long>(va_arg(args, intptr_t))
                                 : static_cast<long long>(va_arg(args, uintptr_t));
            else if (isSigned)
                value = va_arg(args, int);
            else
                value = static_cast<long long>(va_arg(args, unsigned int));
            if (size == 'h') value = isSigned ? static_cast<short>(value) : static_cast<unsigned short>(value);
            if (size == 'c') value = isSigned ? static_cast<signed char>(value) : static_cast<unsigned char>(value);
            // The '0' flag is honoured only without a precision, as in C.
            std::string narrowFormat =
                "%" + field.flags + (field.precision < 0 ? "*" : "*.*") + "ll" + static_cast<char>(conversion);
            if (!AppendInteger(out, narrowFormat.c_str(), field.width, field.precision, isSigned, value)) return false;
            break;
        }
        case L'e':
        case L'E':
        case L'f':
        case L'F':
        case L'g':
        case L'G':
        case L'a':
        case L'A': {
            std::string narrowFormat =
                "%" + field.flags + "*.*" + (size == 'L' ? "L" : "") + static_cast<char>(conversion);
            // A negative precision through '*' counts as none.
            int precision = field.precision;
            const int width = field.width;
            bool ok;
            if (size == 'L') {
                long double value = va_arg(args, long double);
                ok = AppendFormatted(out, [&](char* buffer, size_t bufferSize) {
                    return std::snprintf(buffer, bufferSize, narrowFormat.c_str(), width, precision, value);
                });
            } else {
                double value = va_arg(args, double);
                ok = AppendFormatted(out, [&](char* buffer, size_t bufferSize) {
                    return std::snprintf(buffer, bufferSize, narrowFormat.c_str(), width, precision, value);
                });
            }
            if (!ok) return false;
            break;
        }
        case L'p': {
            char text[32];
            int n = std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                                  reinterpret_cast<uintptr_t>(va_arg(args, void*)));
            WideText piece;
            AppendAscii(piece, text, static_cast<size_t>(n));
            AppendPadded(out, piece, field.width, field.left);
            break;
        }
        case L'c':
        case L'C':
        case L's':
        case L'S': {
            bool upper = conversion == L'C' || conversion == L'S';
            bool narrow = textWidth ? textWidth == 'n' : upper;
            WideText piece;
            if (conversion == L'c' || conversion == L'C') {
                int c = va_arg(args, int);
                if (narrow) {
                    char one[2] = {static_cast<char>(c), 0};
                    AppendNarrow(piece, one, 1);
                    if (piece.empty()) piece.push_back(0);
                } else {
                    piece.push_back(static_cast<WCHAR>(c));
                }
            } else {
                size_t maxChars = field.precision < 0 ? SIZE_MAX : static_cast<size_t>(field.precision);
                if (narrow) {
                    const char* text = va_arg(args, const char*);
                    AppendNarrow(piece, text ? text : "(null)", maxChars);
                } else {
                    const WCHAR* text = va_arg(args, const WCHAR*);
                    if (!text) text = L"(null)";
                    for (size_t i = 0; text[i] && i < maxChars; ++i) piece.push_back(text[i]);
                }
            }
            AppendPadded(out, piece, field.width, field.left);
            break;
        }
        case L'n': return false;
        default:
            // An unknown conversion prints the character itself.
            out.Push(conversion);
            break;
        }
    }
    return true;
}

}  // namespace pal
