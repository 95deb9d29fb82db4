#!/usr/bin/env bash
# Every test: installs what is missing, builds the native tree (in-memory platform) and the
# Windows tree (MinGW-w64), and runs the whole suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"
cmake --preset native
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"
