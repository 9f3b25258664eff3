// Fuzzes the formatting functions against the C library's own output. The
// input describes one conversion (flags, a width and a precision written out
// or taken through '*', a size prefix, the conversion and its value) between
// literal text. The same conversion, in the C library's spelling, goes to
// snprintf; then
//   StringCchPrintfW  gives that text, cut to cchDest - 1, with S_OK exactly
//                     when it fits, and writes nothing past cchDest;
//   wprintf           writes that text and returns its length;
//   sprintf_s, _snprintf_s (and so _vsnprintf_s) keep or cut or refuse it as
//                     documented for the buffer size and count given.
// A width or precision past INT_MAX, or a '*' width of INT_MIN, must be
// refused by the wide functions with nothing written.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

struct FormatCase {
    std::string wide;    // the Microsoft spelling, ASCII
    std::string narrow;  // the C library's spelling of the same conversion
    bool widthStar = false;
    bool precisionStar = false;
    int widthArg = 0;
    int precisionArg = 0;
    bool refused = false;  // a count the wide functions must refuse
};

// A width or precision count: small, or (rarely) one past INT_MAX.
std::string Count(FuzzedDataProvider& in, bool& refused, unsigned largest) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        refused = true;
        return std::to_string(in.ConsumeIntegralInRange<uint64_t>(uint64_t{INT_MAX} + 1, 99999999999999ull));
    }
    return std::to_string(in.ConsumeIntegralInRange<unsigned>(0, largest));
}

int StarValue(FuzzedDataProvider& in, bool& refused, int largest) {
    if (in.ConsumeIntegralInRange<int>(0, 31) == 0) {
        refused = true;
        return INT_MIN;
    }
    return in.ConsumeIntegralInRange<int>(-largest, largest);
}

// Flags, width and precision; the same in both spellings.
void Field(FuzzedDataProvider& in, FormatCase& formatCase, const char* allowedFlags, unsigned largest) {
    std::string field;
    const size_t flagCount = in.ConsumeIntegralInRange<size_t>(0, 3);
    for (size_t i = 0; i < flagCount && *allowedFlags; ++i)
        field += allowedFlags[in.ConsumeIntegralInRange<size_t>(0, std::strlen(allowedFlags) - 1)];
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 1: field += Count(in, formatCase.refused, largest); break;
    case 2:
        field += '*';
        formatCase.widthStar = true;
        formatCase.widthArg = StarValue(in, formatCase.refused, static_cast<int>(largest));
        break;
    default: break;
    }
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1: field += "." + Count(in, formatCase.refused, largest); break;
    case 2:
        field += ".*";
        formatCase.precisionStar = true;
        formatCase.precisionArg = in.ConsumeIntegralInRange<int>(-static_cast<int>(largest), static_cast<int>(largest));
        break;
    case 3: field += "."; break;
    default: break;
    }
    formatCase.wide += field;
    formatCase.narrow += field;
}

std::vector<WCHAR> Widen(const std::string& text) {
    std::vector<WCHAR> wide;
    for (char c : text) wide.push_back(static_cast<unsigned char>(c));
    wide.push_back(0);
    return wide;
}

// Standard output into a memory file for the time of one wprintf.
template <typename... Args>
std::string CaptureWprintf(const std::vector<WCHAR>& format, int& result, Args... args) {
    static const int sink = memfd_create("fuzz_formatting", 0);
    Require(sink >= 0);
    std::fflush(stdout);
    const int saved = dup(1);
    Require(ftruncate(sink, 0) == 0 && lseek(sink, 0, SEEK_SET) == 0);
    dup2(sink, 1);
    result = wprintf(format.data(), args...);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    const off_t length = lseek(sink, 0, SEEK_END);
    std::string bytes(static_cast<size_t>(length), '\0');
    Require(pread(sink, bytes.data(), bytes.size(), 0) == length);
    return bytes;
}

struct Buffers {
    size_t cch;    // StringCchPrintfW's cchDest
    size_t size;   // sprintf_s's and _snprintf_s's buffer size
    size_t count;  // _snprintf_s's count
};

template <typename... Args>
void Check(const FormatCase& formatCase, const Buffers& buffers, std::string prefix, Args... args) {
    const std::vector<WCHAR> wideFormat = Widen(prefix + formatCase.wide);
    const std::string narrowFormat = prefix + formatCase.narrow;
    std::vector<WCHAR> dest(buffers.cch + 1, 0xABCD);
    const HRESULT hr = StringCchPrintfW(dest.data(), buffers.cch, wideFormat.data(), args.wide...);
    Require(dest[buffers.cch] == 0xABCD);
    int printed = 0;
    const std::string written = CaptureWprintf(wideFormat, printed, args.wide...);
    if (formatCase.refused) {
        Require(hr == STRSAFE_E_INVALID_PARAMETER && dest[0] == 0);
        Require(printed == -1 && written.empty());
        return;
    }

    const int length = std::snprintf(nullptr, 0, narrowFormat.c_str(), args.narrow...);
    Require(length >= 0);
    std::string expected(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(expected.data(), expected.size(), narrowFormat.c_str(), args.narrow...);
    expected.pop_back();

    const size_t kept = std::min(expected.size(), buffers.cch - 1);
    Require(hr == (expected.size() < buffers.cch ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER));
    for (size_t i = 0; i < kept; ++i) Require(dest[i] == static_cast<unsigned char>(expected[i]));
    Require(dest[kept] == 0);
    Require(printed == length && written == expected);

    std::vector<char> narrow(buffers.size + 1, '\x5A');
    const int secure = sprintf_s(narrow.data(), buffers.size, narrowFormat.c_str(), args.narrow...);
    if (expected.size() < buffers.size) {
        Require(secure == length && std::memcmp(narrow.data(), expected.c_str(), expected.size() + 1) == 0);
    } else {
        Require(secure == -1 && narrow[0] == 0);
    }
    Require(narrow[buffers.size] == '\x5A');

    std::fill(narrow.begin(), narrow.end(), '\x5A');
    const int cut = _snprintf_s(narrow.data(), buffers.size, buffers.count, narrowFormat.c_str(), args.narrow...);
    const size_t limit = buffers.count == _TRUNCATE ? buffers.size - 1 : buffers.count;
    if (limit < buffers.size) {
        const size_t stored = std::min(expected.size(), limit);
        Require(cut == (expected.size() <= limit ? length : -1));
        Require(std::memcmp(narrow.data(), expected.data(), stored) == 0 && narrow[stored] == 0);
    } else if (expected.size() < buffers.size) {
        Require(cut == length && std::memcmp(narrow.data(), expected.c_str(), expected.size() + 1) == 0);
    } else {
        Require(cut == -1 && narrow[0] == 0);
    }
    Require(narrow[buffers.size] == '\x5A');
}

// One argument in both spellings.
template <typename W, typename N>
struct Arg {
    W wide;
    N narrow;
};

template <typename W, typename N>
Arg<W, N> Same(W wide, N narrow) {
    return {wide, narrow};
}

// The value after any '*' arguments the field takes.
template <typename W, typename N>
void CheckValue(const FormatCase& formatCase, const Buffers& buffers, const std::string& prefix, Arg<W, N> value) {
    const Arg<int, int> width = {formatCase.widthArg, formatCase.widthArg};
    const Arg<int, int> precision = {formatCase.precisionArg, formatCase.precisionArg};
    if (formatCase.widthStar && formatCase.precisionStar)
        Check(formatCase, buffers, prefix, width, precision, value);
    else if (formatCase.widthStar)
        Check(formatCase, buffers, prefix, width, value);
    else if (formatCase.precisionStar)
        Check(formatCase, buffers, prefix, precision, value);
    else
        Check(formatCase, buffers, prefix, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Buffers buffers;
    buffers.cch = in.ConsumeIntegralInRange<size_t>(1, 600);
    buffers.size = in.ConsumeIntegralInRange<size_t>(1, 600);
    buffers.count = in.ConsumeBool() ? _TRUNCATE : in.ConsumeIntegralInRange<size_t>(0, 700);
    std::string prefix;
    for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 24))) {
        const char printable = static_cast<char>(0x20 + (c & 0x7F) % 0x5F);
        prefix += printable == '%' ? std::string("%%") : std::string(1, printable);
    }

    FormatCase formatCase;
    formatCase.wide = formatCase.narrow = "%";
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: {  // integers: Microsoft's I64 and 32-bit 'l' against the C library's ll and none
        Field(in, formatCase, "-+ #0", 2000);
        static const char* const sizes[][2] = {{"", ""}, {"h", "h"}, {"hh", "hh"}, {"l", ""}, {"I32", ""}};
        const auto& chosen = sizes[in.ConsumeIntegralInRange<size_t>(0, 4)];
        const char conversion = "diuxXo"[in.ConsumeIntegralInRange<int>(0, 5)];
        if (in.ConsumeBool()) {
            formatCase.wide += std::string(in.ConsumeBool() ? "ll" : "I64") + conversion;
            formatCase.narrow += std::string("ll") + conversion;
            const long long value = in.ConsumeIntegral<long long>();
            CheckValue(formatCase, buffers, prefix, Same(value, value));
        } else {
            formatCase.wide += std::string(chosen[0]) + conversion;
            formatCase.narrow += std::string(chosen[1]) + conversion;
            const int value = in.ConsumeIntegral<int>();
            CheckValue(formatCase, buffers, prefix, Same(value, value));
        }
        break;
    }
    case 1: {  // floating point, any bit pattern
        Field(in, formatCase, "-+ #0", 2000);
        const char conversion = "eEfFgGaA"[in.ConsumeIntegralInRange<int>(0, 7)];
        if (in.ConsumeBool()) {
            formatCase.wide += std::string("L") + conversion;
            formatCase.narrow += std::string("L") + conversion;
            long double value = 0;
            const std::vector<uint8_t> bits = in.ConsumeBytes<uint8_t>(10);
            if (!bits.empty()) std::memcpy(&value, bits.data(), bits.size());
            if (in.ConsumeBool()) value = in.ConsumeBool() ? LDBL_MAX : -LDBL_MAX;
            CheckValue(formatCase, buffers, prefix, Same(value, value));
        } else {
            formatCase.wide += conversion;
            formatCase.narrow += conversion;
            const double value = in.ConsumeFloatingPoint<double>();
            CheckValue(formatCase, buffers, prefix, Same(value, value));
        }
        break;
    }
    case 2: {  // text: %s and %ls are WCHAR text, %hs and %S narrow
        Field(in, formatCase, "-", 300);
        static std::string text;
        static std::vector<WCHAR> wideText;
        text.clear();
        for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)))
            text += static_cast<char>(0x20 + (c & 0x7F) % 0x5F);
        wideText = Widen(text);
        formatCase.narrow += "s";
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            formatCase.wide += "s";
            CheckValue(formatCase, buffers, prefix, Same(wideText.data(), text.c_str()));
            break;
        case 1:
            formatCase.wide += "ls";
            CheckValue(formatCase, buffers, prefix, Same(wideText.data(), text.c_str()));
            break;
        case 2:
            formatCase.wide += "hs";
            CheckValue(formatCase, buffers, prefix, Same(text.c_str(), text.c_str()));
            break;
        default:
            formatCase.wide += "S";
            CheckValue(formatCase, buffers, prefix, Same(text.c_str(), text.c_str()));
            break;
        }
        break;
    }
    case 3: {  // one character, ASCII, NUL included
        Field(in, formatCase, "-", 300);
        formatCase.wide += in.PickValueInArray({"c", "lc", "hc", "C"});
        formatCase.narrow += "c";
        const int value = in.ConsumeIntegralInRange<int>(0, 127);
        CheckValue(formatCase, buffers, prefix, Same(value, value));
        break;
    }
    default: {  // literal text only, with "%%"
        formatCase.wide = formatCase.narrow = "";
        CheckValue(formatCase, buffers, prefix, Same(0, 0));
        break;
    }
    }
    return 0;
}
