#!/usr/bin/env bash
# Builds and runs the whole test suite: native, both sanitizer builds, and the
# Windows cross-build. Run scripts/setup.sh first (the README's command does).
set -euo pipefail
cd "$(dirname "$0")/.."

export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-2}"

step() { printf '\n=== %s ===\n' "$*"; }

step "native build and tests"
cmake --workflow --preset default

step "address and undefined-behaviour sanitizers"
cmake --workflow --preset asan

step "thread sanitizer"
cmake --workflow --preset tsan

step "Windows x86 cross-build"
cmake --workflow --preset windows-x86

step "all test runs passed"
