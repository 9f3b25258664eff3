#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for the given number
# of seconds each (default 25), starting from the seed corpus in
# fuzz/corpus/<target>/. New inputs a run finds go to build/fuzz/corpus/, a
# failing input to build/fuzz/artifacts/. Prints, per target, the executions
# and the coverage (edges) reached; exits non-zero if any target failed.
#   scripts/fuzz.sh            the brief run CI does
#   scripts/fuzz.sh 300        five minutes per target
#   scripts/fuzz.sh 60 fuzz_modem   one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-25}"
shift || true
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_answer_parser fuzz_ini_reader fuzz_comm_dcb fuzz_modem fuzz_formatting fuzz_safearray
           fuzz_emulator_function)
fi

failed=0
for target in "${targets[@]}"; do
  seeds="fuzz/corpus/${target#fuzz_}"
  found="build/fuzz/corpus/${target#fuzz_}"
  artifacts="build/fuzz/artifacts/$target/"
  log="build/fuzz/$target.log"
  mkdir -p "$found" "$artifacts"
  if build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts" "$found" "$seeds" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  printf '%-20s %-6s %10s executions  %6s edges covered  (%s s, log %s)\n' \
    "$target" "$status" "${runs:-?}" "${cov:-?}" "$seconds" "$log"
done
exit $failed
