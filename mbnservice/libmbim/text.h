// MBIM strings as the interface objects hand them out. MBIM carries UTF-16LE;
// libmbim gives it to us as UTF-8, and a BSTR wants UTF-16 again.
#ifndef MBNSERVICE_LIBMBIM_TEXT_H
#define MBNSERVICE_LIBMBIM_TEXT_H

#include <string>

namespace mbnmbim {

// UTF-8 as UTF-16, characters beyond U+FFFF as surrogate pairs. Each byte
// that is no part of valid UTF-8 (a device may send any 16-bit units, lone
// surrogates included) becomes U+FFFD, and the text after it is kept.
std::u16string Utf16FromUtf8(const std::string& text);

}  // namespace mbnmbim

#endif
