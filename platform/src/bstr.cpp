// BSTR strings for the POSIX build: length-prefixed, NUL-terminated UTF-16
// strings that callers free with SysFreeString.
// Implements: SysAllocString, SysAllocStringLen, SysAllocStringByteLen,
//   SysFreeString, SysStringLen, SysStringByteLen.
// Not implemented: the BSTR cache of oleaut32 (every string is a fresh heap
//   block, which is what OANOCACHE=1 gives on Windows), SysReAllocString.
//
// Memory layout of one BSTR of n bytes (n = 2 * characters):
//
//   block (malloc)
//   |
//   v
//   +--------------+---------------------------+-----------+
//   | DWORD n      | n bytes of characters     | WCHAR 0   |
//   +--------------+---------------------------+-----------+
//                  ^
//                  BSTR (what callers hold)
//
// The prefix counts bytes, not characters, and excludes the terminator, so
// a BSTR may hold embedded NULs and even an odd number of bytes
// (SysAllocStringByteLen). An odd-sized string gets a whole WCHAR of zero
// after its last byte, so the terminator is always there.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/winapi.h"

namespace {

const size_t kPrefix = sizeof(DWORD);

// Worker for the three allocators: n bytes copied from src (or zeroed when
// src is null), then the terminator. NULL when n cannot be described by the
// prefix or memory runs out.
BSTR AllocateBytes(const void* src, size_t n) {
    if (n > UINT_MAX - kPrefix - 2 * sizeof(WCHAR) || PAL_FAULT_POINT("SysAllocString")) {
        return nullptr;
    }
    // Two terminator bytes plus one for an odd length, as WCHAR alignment
    // needs.
    size_t total = kPrefix + n + sizeof(WCHAR) + (n & 1);
    unsigned char* block = static_cast<unsigned char*>(std::malloc(total));
    if (block == nullptr) {
        return nullptr;
    }
    DWORD prefix = static_cast<DWORD>(n);
    std::memcpy(block, &prefix, kPrefix);
    unsigned char* text = block + kPrefix;
    if (src != nullptr) {
        std::memcpy(text, src, n);
    } else {
        std::memset(text, 0, n);
    }
    std::memset(text + n, 0, total - kPrefix - n);
    return reinterpret_cast<BSTR>(text);
}

DWORD StoredByteLength(BSTR bstr) {
    DWORD n;
    std::memcpy(&n, reinterpret_cast<const unsigned char*>(bstr) - kPrefix, kPrefix);
    return n;
}

}  // namespace

/******************************************************************************
 *  SysAllocString
 *
 *  PARAMS
 *   psz [I] NUL-terminated string to copy, or NULL.
 *
 *  RETURNS
 *   A new BSTR holding psz without its terminator; NULL when psz is NULL or
 *   memory runs out. L"" gives a valid zero-length BSTR, not NULL.
 *
 *  NOTES
 *   Counts UTF-16 units itself: the C library's wide functions assume a
 *   4-byte wchar_t.
 */
BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    size_t len = 0;
    while (psz[len] != 0) {
        ++len;
    }
    return SysAllocStringLen(psz, static_cast<UINT>(len));
}

/******************************************************************************
 *  SysAllocStringLen
 *
 *  PARAMS
 *   strIn [I] ui characters to copy (NULs included), or NULL.
 *   ui    [I] length in characters.
 *
 *  RETURNS
 *   A new BSTR of ui characters; NULL when memory runs out or ui is too large
 *   for the length prefix.
 *
 *  NOTES
 *   With strIn NULL, Windows leaves the characters uninitialised; here they
 *   are zero.
 */
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > (UINT_MAX - kPrefix) / sizeof(OLECHAR)) {
        return nullptr;
    }
    return AllocateBytes(strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
}

/******************************************************************************
 *  SysAllocStringByteLen
 *
 *  PARAMS
 *   psz [I] len bytes to copy, or NULL.
 *   len [I] length in bytes.
 *
 *  RETURNS
 *   A new BSTR of len bytes (used to copy BSTRs exactly, embedded NULs and
 *   odd lengths included); NULL when memory runs out.
 *
 *  NOTES
 *   With psz NULL the bytes are zero (uninitialised on Windows).
 */
BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

/******************************************************************************
 *  SysFreeString
 *
 *  PARAMS
 *   bstrString [I] BSTR to free, or NULL (then nothing happens).
 *
 *  NOTES
 *   Freeing anything that did not come from the Sys*Alloc* functions is
 *   undefined, as on Windows.
 */
void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString == nullptr) {
        return;
    }
    std::free(reinterpret_cast<unsigned char*>(bstrString) - kPrefix);
}

/******************************************************************************
 *  SysStringLen
 *
 *  PARAMS
 *   pbstr [I] BSTR, or NULL.
 *
 *  RETURNS
 *   Length in characters, from the prefix (embedded NULs count; an odd byte
 *   length is rounded down); 0 for NULL.
 */
UINT WINAPI SysStringLen(BSTR pbstr) { return pbstr == nullptr ? 0 : StoredByteLength(pbstr) / sizeof(OLECHAR); }

/******************************************************************************
 *  SysStringByteLen
 *
 *  PARAMS
 *   bstr [I] BSTR, or NULL.
 *
 *  RETURNS
 *   Length in bytes, without the terminator; 0 for NULL.
 */
UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : StoredByteLength(bstr); }
