#!/usr/bin/env bash
# Every test: installs what is missing; builds the Windows tree (MinGW-w64), the fuzzer
# (clang, libFuzzer), the native tree and the sanitizer tree (both on the in-memory
# platform); runs the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the whole suite (unit, PE check, end to end under Wine, a bounded fuzz run) through CTest.
# Ends with one line that sums up both runs: "N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."

# Two test runs in one checkout share their build trees and Wine prefixes: they take turns.
source scripts/take-turns.sh
take_turns build/.test.lock "Another test run in this checkout is going on; waiting for it..."

scripts/install-deps.sh --test-tools
scripts/build.sh mingw fuzz asan native

passed=0
failed=0
# Runs one CTest preset, shows its output and adds its counts to the totals.
run_stage() {
  local log status counts
  log=$(mktemp)
  set +e
  ctest --preset "$1" -j "$(nproc)" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log")
  rm -f "$log"
  if [ -z "$counts" ]; then
    echo "ctest --preset $1 ended ($status) without a summary" >&2
    failed=$((failed + 1))
    return
  fi
  local stage_failed stage_total
  read -r stage_failed stage_total <<<"$counts"
  failed=$((failed + stage_failed))
  passed=$((passed + stage_total - stage_failed))
  [ "$status" -eq 0 ] || [ "$stage_failed" -gt 0 ] || failed=$((failed + 1))
}

run_stage asan
run_stage native
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
