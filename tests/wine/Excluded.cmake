# Tests that the Windows build does not run under Wine, each with its reason.
# globaltools_wine_exclude(<program> <test name or gtest pattern> <reason>)

globaltools_wine_exclude(simulator "*"
  "tests of the simulated service's POSIX side (threads and fault hooks over our platform layer), the Windows build tests the service through the mbnsim COM server instead")
