# Tests that the Windows build does not run under Wine, each with its reason.
# globaltools_wine_exclude(<program> <test name or gtest pattern> <reason>)
# A pattern of "*" names a whole program the Windows build leaves out; the
# others name tests inside a program that is built and run.

# Programs (or parts) that exist only in the POSIX build.
globaltools_wine_exclude(mbnsim_service_test "*"
  "the simulated service's own tests are built for POSIX only, and recording_sink.h does not compile against the SDK's IUnknown (-Wnon-virtual-dtor). Under Wine the service is tested through mbnsim.dll by the wine.atcmd_* runs")
globaltools_wine_exclude(mbnservice_contract_test "*"
  "built for POSIX only: its back ends are the simulated service linked in and the libmbim module, which exists only on POSIX. Under Wine the service is tested through mbnsim.dll by the wine.atcmd_* runs")
globaltools_wine_exclude(atcmd_e2e_test "*"
  "runs the POSIX atcmd, which links the simulated service in. Under Wine the same runs are the wine.atcmd_* tests against mbnsim.dll")
globaltools_wine_exclude(platform_com_tests "InprocServerTable.*"
  "a table of our POSIX class registry (the in-process server the POSIX build registers), which the Windows build does not have")
globaltools_wine_exclude(platform_comm_tests "DcbTermiosMapping.*"
  "checks how our POSIX layer maps a DCB onto termios. Windows has no termios")
globaltools_wine_exclude(platform_comm_tests "TermiosTest.*"
  "reads the termios settings of the pty back. Windows has no termios")
globaltools_wine_exclude(platform_com_tests "SafeArrayGetBounds.upper_bound_outside_a_long_is_an_overflow"
  "Wine wraps the upper bound instead of answering DISP_E_OVERFLOW (docs/platform-coverage.md)")
