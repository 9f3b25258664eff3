// Wide formatting for PAL_wprintf and StringCchVPrintfW (see wide_format.h).
// Each conversion is read whole first (ReadConversion: flags, width,
// precision, size, type, and any '*' counts), then its text is produced
// (Convert): numbers through the C library's snprintf, widened; text,
// pointers and padding here.
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

// The variable arguments, taken in the order the format names them, by the
// reading of '*' counts and by the conversions alike. One object holds the
// list because a va_list handed on by value is not advanced for its caller
// on every ABI.
class Arguments {
public:
    explicit Arguments(va_list args) { va_copy(args_, args); }
    ~Arguments() { va_end(args_); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    template <typename T>
    T Next() {
        return va_arg(args_, T);
    }

private:
    va_list args_;
};

// One conversion as read from the format: %[flags][width][.precision][size]type.
struct Conversion {
    bool left = false;
    std::string flags;  // as written, for numeric conversions
    int width = 0;
    int precision = -1;  // none
    // Size: 0 = int, 'h' short, 'c' char, 'q' 64-bit, 'z' pointer-sized,
    // 'L' long double.
    char size = 0;
    // Text a size asks %c and %s for: 'n' narrow, 'w' wide; 0 leaves it to
    // the conversion's case.
    char textWidth = 0;
    WCHAR type = 0;  // 0 when the format ends after the '%'
};

// ---------------------------------------------------------------------------
// Reading a conversion
// ---------------------------------------------------------------------------

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

void ReadFlags(const WCHAR*& p, Conversion& field) {
    for (;; ++p) {
        if (*p == L'-')
            field.left = true;
        else if (*p != L'+' && *p != L' ' && *p != L'#' && *p != L'0')
            break;
        field.flags.push_back(static_cast<char>(*p));
    }
}

// A '*' width is taken from the arguments; a negative one means '-' and its
// magnitude, which INT_MIN does not have, so that one is refused.
bool ReadWidth(const WCHAR*& p, Arguments& args, Conversion& field) {
    if (*p != L'*') return ReadCount(p, field.width);
    field.width = args.Next<int>();
    if (field.width == INT_MIN) return false;
    if (field.width < 0) {
        field.left = true;
        field.flags.push_back('-');
        field.width = -field.width;
    }
    ++p;
    return true;
}

// A '.' without digits is a precision of 0; a negative one through '*'
// counts as none.
bool ReadPrecision(const WCHAR*& p, Arguments& args, Conversion& field) {
    if (*p != L'.') return true;
    ++p;
    if (*p != L'*') return ReadCount(p, field.precision);
    field.precision = args.Next<int>();
    if (field.precision < 0) field.precision = -1;
    ++p;
    return true;
}

// Microsoft's size prefixes: 'l' is 32 bits and, like 'w', asks for wide
// text; 'h' asks for narrow text; I64, I32 and I (pointer-sized).
void ReadSize(const WCHAR*& p, Conversion& field) {
    if (*p == L'h') {
        ++p;
        field.textWidth = 'n';
        field.size = 'h';
        if (*p == L'h') field.size = 'c', ++p;
    } else if (*p == L'l') {
        ++p;
        field.textWidth = 'w';
        if (*p == L'l') field.size = 'q', ++p;
    } else if (*p == L'w') {
        ++p;
        field.textWidth = 'w';
    } else if (*p == L'L') {
        ++p;
        field.size = 'L';
    } else if (*p == L'I') {
        if (p[1] == L'6' && p[2] == L'4')
            field.size = 'q', p += 3;
        else if (p[1] == L'3' && p[2] == L'2')
            p += 3;
        else
            field.size = 'z', ++p;
    } else if (*p == L'z' || *p == L't') {
        ++p;
        field.size = 'z';
    } else if (*p == L'j') {
        ++p;
        field.size = 'q';
    }
}

// Reads the conversion that follows a '%', taking any '*' counts from args,
// and leaves p after it; false for a count the CRT refuses.
bool ReadConversion(const WCHAR*& p, Arguments& args, Conversion& field) {
    ReadFlags(p, field);
    if (!ReadWidth(p, args, field) || !ReadPrecision(p, args, field)) return false;
    ReadSize(p, field);
    field.type = *p;
    if (field.type) ++p;
    return true;
}

// ---------------------------------------------------------------------------
// Producing a conversion's text
// ---------------------------------------------------------------------------

bool ConvertInteger(const Conversion& field, Arguments& args, WideOutput& out) {
    const bool isSigned = field.type == L'd' || field.type == L'i';
    long long value;
    if (field.size == 'q')
        value = args.Next<long long>();
    else if (field.size == 'z')
        value =
            isSigned ? static_cast<long long>(args.Next<intptr_t>()) : static_cast<long long>(args.Next<uintptr_t>());
    else if (isSigned)
        value = args.Next<int>();
    else
        value = static_cast<long long>(args.Next<unsigned int>());
    if (field.size == 'h') value = isSigned ? static_cast<short>(value) : static_cast<unsigned short>(value);
    if (field.size == 'c') value = isSigned ? static_cast<signed char>(value) : static_cast<unsigned char>(value);
    // The '0' flag is honoured only without a precision, as in C.
    std::string narrowFormat =
        "%" + field.flags + (field.precision < 0 ? "*" : "*.*") + "ll" + static_cast<char>(field.type);
    return AppendInteger(out, narrowFormat.c_str(), field.width, field.precision, isSigned, value);
}

bool ConvertFloating(const Conversion& field, Arguments& args, WideOutput& out) {
    // A precision of -1 reaches snprintf's ".*" as none.
    std::string narrowFormat =
        "%" + field.flags + "*.*" + (field.size == 'L' ? "L" : "") + static_cast<char>(field.type);
    if (field.size == 'L') {
        long double value = args.Next<long double>();
        return AppendFormatted(out, [&](char* buffer, size_t bufferSize) {
            return std::snprintf(buffer, bufferSize, narrowFormat.c_str(), field.width, field.precision, value);
        });
    }
    double value = args.Next<double>();
    return AppendFormatted(out, [&](char* buffer, size_t bufferSize) {
        return std::snprintf(buffer, bufferSize, narrowFormat.c_str(), field.width, field.precision, value);
    });
}

void ConvertPointer(const Conversion& field, Arguments& args, WideOutput& out) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                          reinterpret_cast<uintptr_t>(args.Next<void*>()));
    WideText piece;
    AppendAscii(piece, text, static_cast<size_t>(n));
    AppendPadded(out, piece, field.width, field.left);
}

// Without a size, %C and %S take narrow text and %c and %s wide text.
bool TakesNarrowText(const Conversion& field) {
    if (field.textWidth) return field.textWidth == 'n';
    return field.type == L'C' || field.type == L'S';
}

void ConvertCharacter(const Conversion& field, Arguments& args, WideOutput& out) {
    int c = args.Next<int>();
    WideText piece;
    if (TakesNarrowText(field)) {
        char one[2] = {static_cast<char>(c), 0};
        AppendNarrow(piece, one, 1);
        if (piece.empty()) piece.push_back(0);  // a NUL character is still printed
    } else {
        piece.push_back(static_cast<WCHAR>(c));
    }
    AppendPadded(out, piece, field.width, field.left);
}

void ConvertString(const Conversion& field, Arguments& args, WideOutput& out) {
    size_t maxChars = field.precision < 0 ? SIZE_MAX : static_cast<size_t>(field.precision);
    WideText piece;
    if (TakesNarrowText(field)) {
        const char* text = args.Next<const char*>();
        AppendNarrow(piece, text ? text : "(null)", maxChars);
    } else {
        const WCHAR* text = args.Next<const WCHAR*>();
        if (!text) text = L"(null)";
        for (size_t i = 0; text[i] && i < maxChars; ++i) piece.push_back(text[i]);
    }
    AppendPadded(out, piece, field.width, field.left);
}

// Appends the text of one conversion, taking its argument; false for %n,
// which the CRT refuses, or a number the C library cannot format.
bool Convert(const Conversion& field, Arguments& args, WideOutput& out) {
    switch (field.type) {
    case L'd':
    case L'i':
    case L'u':
    case L'x':
    case L'X':
    case L'o': return ConvertInteger(field, args, out);
    case L'e':
    case L'E':
    case L'f':
    case L'F':
    case L'g':
    case L'G':
    case L'a':
    case L'A': return ConvertFloating(field, args, out);
    case L'p': ConvertPointer(field, args, out); return true;
    case L'c':
    case L'C': ConvertCharacter(field, args, out); return true;
    case L's':
    case L'S': ConvertString(field, args, out); return true;
    case L'n': return false;
    default:
        // An unknown conversion prints the character itself.
        out.Push(field.type);
        return true;
    }
}

}  // namespace

bool FormatWide(const WCHAR* format, va_list args, WideOutput& out) {
    Arguments arguments(args);
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
        if (!ReadConversion(p, arguments, field)) return false;
        if (!field.type) break;  // a lone '%' at the end prints nothing
        if (!Convert(field, arguments, out)) return false;
    }
    return true;
}

}  // namespace pal
