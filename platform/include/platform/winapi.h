// The one door to the platform: system code includes this header and calls
// Windows by its own names. On Windows it brings the SDK headers; elsewhere it
// brings our declarations of the subset the system uses (see
// docs/platform-coverage.md). The Mobile Broadband declarations are ours on
// both, since the toolchain ships no mbnapi.h.
#ifndef PLATFORM_WINAPI_H
#define PLATFORM_WINAPI_H

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#include <sddl.h>
#include <share.h>
#include <shlobj.h>
#include <shlwapi.h>
// Without this, strsafe.h poisons the CRT's unbounded string functions,
// which standard C++ headers included later still name.
#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <strsafe.h>
// Fault injection is the POSIX layer's (platform/posix/fault.h).
#define PAL_FAULT_POINT(name) false
#else
#include "platform/posix/base.h"
#include "platform/posix/synch.h"
#include "platform/posix/files.h"
#include "platform/posix/crt.h"
#include "platform/posix/com.h"
#include "platform/posix/oleauto.h"
#include "platform/posix/comm.h"
#include "platform/posix/security.h"
#include "platform/posix/fault.h"
#endif

#include "platform/mbnapi.h"

#endif  // PLATFORM_WINAPI_H
