// Fault injection for the robustness tests: a platform function that can
// fail checks PAL_FAULT_POINT("<its name>") first and, when this call is the
// one chosen, fails the way Windows documents it failing. The switch and its
// settings (GLOBALTOOLS_FAULT) are described in platform/src/fault_injection.h.
// A C name, so that an in-process server module loaded by the program shares
// the program's switch. On Windows the macro is false.
#ifndef PLATFORM_POSIX_FAULT_H
#define PLATFORM_POSIX_FAULT_H

#include "platform/posix/base.h"

extern "C" BOOL WINAPI PalFaultInjected(const char* point);

#define PAL_FAULT_POINT(name) (PalFaultInjected(name) != FALSE)

#endif  // PLATFORM_POSIX_FAULT_H
