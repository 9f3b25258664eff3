// UTF-16 text kept for the Windows API's WCHAR strings. std::wstring is not
// used: the POSIX build makes wchar_t 16-bit while the C++ library assumes
// 32, so its lengths and copies would be wrong.
#ifndef TOOLS_WIDETEXT_H
#define TOOLS_WIDETEXT_H

#include <string>

#include "platform/winapi.h"

using WideText = std::u16string;

inline const WCHAR* WidePtr(const WideText& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

// Each byte as one unit: for ASCII text.
inline WideText Widened(const std::string& ascii) { return WideText(ascii.begin(), ascii.end()); }

// A NUL-terminated WCHAR string, or empty for NULL.
inline WideText WideCopy(const WCHAR* text) {
    WideText copy;
    for (size_t i = 0; text && text[i] != 0; ++i) copy.push_back(static_cast<char16_t>(text[i]));
    return copy;
}

#endif  // TOOLS_WIDETEXT_H
