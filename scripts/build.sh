#!/usr/bin/env bash
# Configures and builds the given presets, one command at a time per checkout: two commands
# started at once (run.sh, test.sh, bench/run.sh) would otherwise build in the same tree
# together. Says what it does when a tree is built for the first time; quiet otherwise.
#   scripts/build.sh PRESET...
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/take-turns.sh
mkdir -p build
take_turns build/.build.lock "Another build in this checkout is running; waiting for it..."
# Configures only a tree that has never been configured: a build reconfigures by itself when
# a CMakeLists.txt changed, and a warm run must not pay for a configure each time.
for preset in "$@"; do
  configure=:
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    echo "Building the $preset tree (first time only, up to a few minutes)..." >&2
    configure=cmake
  fi
  log=$(mktemp)
  if ! { $configure --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "Building the $preset tree failed." >&2
    exit 1
  fi
  rm -f "$log"
done
