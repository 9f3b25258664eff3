#!/usr/bin/env bash
# Builds and runs the whole test suite: native, both sanitizer builds, the
# Windows cross-builds (the 64-bit one's tests run under Wine; the 32-bit
# release program is built, inspected and run under i386 Wine with the 32-bit
# MBIM tests) and the release packages. Run scripts/setup.sh first (the
# README's command does).
set -euo pipefail
cd "$(dirname "$0")/.."

export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-2}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

step() { printf '\n=== %s ===\n' "$*"; }

step "source format (.clang-format)"
scripts/check-format.sh

step "native build and tests"
cmake --workflow --preset default

step "address and undefined-behaviour sanitizers"
cmake --workflow --preset asan

step "thread sanitizer"
cmake --workflow --preset tsan

step "fuzz targets, 25 s each from the seed corpus (scripts/fuzz.sh 300 for five minutes each)"
scripts/fuzz.sh 25

step "Windows x86 release build: atcmd.exe and mbnsim.dll, manifest, imports, exports"
cmake --workflow --preset windows-x86
scripts/check-pe.sh build/windows-x86/driver/atcmd.exe i386 --manifest
scripts/check-pe.sh build/windows-x86/mbnservice/sim/mbnsim.dll i386 --com-server

step "Windows x86 under i386 Wine: the release atcmd.exe end to end, the 32-bit MBIM tests"
# The test programs come from a build of their own; the end-to-end runs take
# the release atcmd.exe and mbnsim.dll built and checked above.
cmake --preset windows-x86-wine -DGLOBALTOOLS_NATIVE_ATCMD="$PWD/build/default/driver/atcmd"
cmake --build --preset windows-x86-wine
scripts/wine32.sh stage build/wine-i386 ctest --preset windows-x86-wine

step "release packages: Debian packages installed, used and removed; Windows zip"
scripts/package-test.sh

step "Windows x64 build, tests under Wine"
prefix=build/windows-x64/wineprefix
# The prefix's wineserver (and anything a failed test left running in it) and
# the serial tests' pty modems end with this script, whatever its outcome.
trap 'tests/wine/modems.sh stop build/windows-x64/tests/wine/modems; scripts/wine.sh stop "$prefix"' EXIT
# The Linux atcmd of the first step is the reference for atcmd.exe's log lines.
cmake --preset windows-x64 -DGLOBALTOOLS_NATIVE_ATCMD="$PWD/build/default/driver/atcmd"
cmake --build --preset windows-x64
scripts/wine.sh init "$prefix"
scripts/wine.sh start "$prefix"
ctest --preset windows-x64

step "all test runs passed"
