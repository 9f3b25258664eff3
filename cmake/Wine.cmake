# Running the Windows build's tests under Wine.
#
# Test programs run through scripts/wine.sh in a private prefix inside the
# build folder (created on first use, one wineboot). Tests that cannot run
# under Wine are listed by name with the reason in tests/wine/Excluded.cmake:
# they are left out of discovery and each shows in CTest as a disabled test
# whose name says it is excluded, so none is dropped silently.

set(GLOBALTOOLS_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
  "Wine prefix that the Windows tests run in")
# The 64-bit build runs on the host's Wine. The 32-bit build's tests run only
# when asked, on i386 Wine inside a scripts/wine32.sh stage (an i386 tree with
# its own Wine, which needs root); scripts/test.sh does that.
option(GLOBALTOOLS_WINE_I386 "Run the 32-bit build's tests under i386 Wine (inside scripts/wine32.sh stage)" OFF)
set(GLOBALTOOLS_WINE "${PROJECT_SOURCE_DIR}/scripts/wine.sh")
set(GLOBALTOOLS_WINE_RUNS NO)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(GLOBALTOOLS_WINE_RUNS YES)
elseif(GLOBALTOOLS_WINE_I386)
  set(GLOBALTOOLS_WINE "${PROJECT_SOURCE_DIR}/scripts/wine32.sh")
  set(GLOBALTOOLS_WINE_RUNS YES)
endif()

# The serial tests find the host's pty modems (tests/wine/modems.sh) as these
# COM ports of the prefix, and a port that names no device as the third.
set(GLOBALTOOLS_WINE_TEST_COM 5)
set(GLOBALTOOLS_WINE_TEST_COM2 6)
set(GLOBALTOOLS_WINE_MISSING_COM 199)
if(GLOBALTOOLS_WINE_RUNS AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    env
    GLOBALTOOLS_TEST_COM=${GLOBALTOOLS_WINE_TEST_COM}
    GLOBALTOOLS_TEST_COM2=${GLOBALTOOLS_WINE_TEST_COM2}
    GLOBALTOOLS_TEST_MISSING_COM=${GLOBALTOOLS_WINE_MISSING_COM}
    "${GLOBALTOOLS_WINE}" run "${GLOBALTOOLS_WINE_PREFIX}")
endif()

# globaltools_wine_exclude(<program> <test name or gtest pattern> <reason>)
# A pattern of "*" stands for a whole program that the Windows build leaves
# out. Reasons are plain text without ";" or "|".
function(globaltools_wine_exclude program pattern reason)
  if(reason MATCHES "[;|]" OR pattern MATCHES "[;|:]")
    message(FATAL_ERROR "globaltools_wine_exclude(${program} ${pattern}): no ';' or '|' in the reason, no ':' in the pattern")
  endif()
  set_property(GLOBAL APPEND PROPERTY GLOBALTOOLS_WINE_EXCLUDED_${program} "${pattern}")
  set_property(GLOBAL APPEND PROPERTY GLOBALTOOLS_WINE_EXCLUDED_REASONS
    "${program}|${pattern}|${reason}")
endfunction()

# The gtest filter that leaves out <program>'s excluded tests ("" if none).
function(globaltools_wine_filter program out)
  get_property(patterns GLOBAL PROPERTY GLOBALTOOLS_WINE_EXCLUDED_${program})
  if(patterns)
    list(JOIN patterns ":" joined)
    set(${out} "-${joined}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# One disabled CTest entry per exclusion, carrying the reason: `ctest` lists
# them under "did not run", `ctest -N -V -L wine-excluded` shows the reasons.
function(globaltools_wine_list_excluded)
  get_property(entries GLOBAL PROPERTY GLOBALTOOLS_WINE_EXCLUDED_REASONS)
  foreach(entry IN LISTS entries)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 program)
    list(GET fields 1 pattern)
    list(GET fields 2 reason)
    set(name "${program}.${pattern} (excluded on Wine)")
    add_test(NAME "${name}" COMMAND ${CMAKE_COMMAND} -E echo "excluded on Wine: ${reason}")
    set_tests_properties("${name}" PROPERTIES DISABLED TRUE LABELS "wine-excluded")
  endforeach()
endfunction()
