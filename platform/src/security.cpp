// Security descriptors: the system builds one from its text form to give new
// folders an access entry. POSIX has no access lists to apply it to, so the
// descriptor keeps its text (for its size and for LocalFree) and nothing
// reads it; folders get the creator's mode bits.
// Implements: ConvertStringSecurityDescriptorToSecurityDescriptorA, LocalFree.
// Not implemented: parsing the access entries, applying a descriptor.
#include <cstdlib>
#include <cstring>

#include "platform/winapi.h"

/***********************************************************************
 *           ConvertStringSecurityDescriptorToSecurityDescriptorA
 *
 * PARAMS
 *  StringSecurityDescriptor [I] SDDL text, e.g. "D:(A;OICI;0x1301bf;;;BU)"
 *  StringSDRevision         [I] SDDL_REVISION_1
 *  SecurityDescriptor       [O] the descriptor, freed with LocalFree
 *  SecurityDescriptorSize   [O] optional: its size in bytes
 *
 * RETURNS
 *  TRUE, or FALSE with ERROR_INVALID_PARAMETER (NULL text or output, text
 *  not starting with an O:, G:, D: or S: part), ERROR_UNKNOWN_REVISION or
 *  ERROR_NOT_ENOUGH_MEMORY.
 *
 * NOTES
 *  The entries are not parsed: a text Windows would refuse further on may
 *  be accepted. The descriptor is opaque and has no effect on POSIX.
 */
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize) {
    if (!StringSecurityDescriptor || !SecurityDescriptor || !std::strchr("OGDS", StringSecurityDescriptor[0]) ||
        StringSecurityDescriptor[0] == '\0' || StringSecurityDescriptor[1] != ':') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (StringSDRevision != SDDL_REVISION_1) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    size_t size = std::strlen(StringSecurityDescriptor) + 1;
    void* block = std::malloc(size);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(block, StringSecurityDescriptor, size);
    *SecurityDescriptor = block;
    if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(size);
    return TRUE;
}

/***********************************************************************
 *           LocalFree
 *
 * RETURNS
 *  NULL. Only blocks handed out by this layer's functions may be passed.
 */
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
