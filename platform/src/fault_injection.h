// Fault injection for the robustness tests: makes one chosen call of the
// platform functions fail, the way Windows documents that function failing,
// so a test can walk "fail the 1st call, the 2nd, ..." over a whole request.
// Each function that can fail checks PAL_FAULT_POINT("<its name>") first
// (platform/posix/fault.h; PalFaultInjected is the switch).
//
// The switch is off unless set, either from the environment when the first
// point is reached (so a whole program can be run against a fault), in a
// build with the GLOBALTOOLS_TEST_HOOKS option only (what ships is built
// without it and reads no such variable):
//   GLOBALTOOLS_FAULT=<k>         the k-th call of any point fails
//   GLOBALTOOLS_FAULT=<name>:<k>  the k-th call of that point fails
// or by a test in its own process with pal::SetFault. The call that fails
// writes "fault injected: <name> #<k>" to standard error, so the test knows
// what it hit; a run that writes no such line met no fault.
#ifndef PLATFORM_SRC_FAULT_INJECTION_H
#define PLATFORM_SRC_FAULT_INJECTION_H

#include "platform/winapi.h"

namespace pal {

// For tests in the same process: fails the k-th call from now of point
// (NULL: of any point); k 0 turns injection off. The count starts again at
// every call. C++ names, so they stay out of the C names the platform exports.
void SetFault(const char* point, unsigned long k);
// The point whose call failed since the last SetFault, or NULL.
const char* FailedPoint();

}  // namespace pal

#endif  // PLATFORM_SRC_FAULT_INJECTION_H
