#!/usr/bin/env bash
# Every test: installs what is missing; builds the Windows tree (MinGW-w64), the fuzzer
# (clang, libFuzzer), the native tree and the sanitizer tree (both on the in-memory
# platform); runs the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the whole suite (unit, PE check, end to end under Wine, a bounded fuzz run) through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
cmake --preset native
cmake --build --preset native -j "$jobs"

ctest --preset asan -j "$jobs"
ctest --preset native -j "$jobs"
