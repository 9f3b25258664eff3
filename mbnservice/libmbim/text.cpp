// MBIM strings as UTF-16 (see text.h).
#include "text.h"

#include <glib.h>

namespace mbnmbim {

std::u16string Utf16FromUtf8(const std::string& text) {
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    glong length = 0;
    gunichar2* wide = g_utf8_to_utf16(valid, -1, nullptr, &length, nullptr);
    std::u16string result;
    if (wide != nullptr) result.assign(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(length));
    g_free(wide);
    g_free(valid);
    return result;
}

}  // namespace mbnmbim
