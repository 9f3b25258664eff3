// Security descriptors for the POSIX build, declared as sddl.h and winbase.h
// declare them. POSIX files have no access lists: a descriptor made here is
// accepted wherever the system passes one (CreateDirectoryA) and has no
// effect there; new folders get the creator's mode bits (0777 & ~umask).
// Implements: ConvertStringSecurityDescriptorToSecurityDescriptorA, LocalFree.
// Not implemented: reading or applying access lists, every other security
//   function (see docs/platform-coverage.md).
#ifndef PLATFORM_POSIX_SECURITY_H
#define PLATFORM_POSIX_SECURITY_H

#include "platform/posix/base.h"

typedef void* PSECURITY_DESCRIPTOR;
typedef void* HLOCAL;

#define SDDL_REVISION_1 1
#define ERROR_UNKNOWN_REVISION 1305L

extern "C" {

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

}  // extern "C"

#endif  // PLATFORM_POSIX_SECURITY_H
