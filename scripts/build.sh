#!/usr/bin/env bash
# Configures and builds the given presets, one command at a time per checkout: two commands
# started at once (run.sh, test.sh, bench/run.sh) would otherwise build in the same tree
# together. Says what it does when a tree is built for the first time; quiet otherwise.
#   scripts/build.sh PRESET...
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/take-turns.sh
log=
# Ctrl-C reaches the build too: end with its status, without printing the build's log.
trap 'rm -f "$log"; exit 130' INT
take_turns build/.build.lock "Another build in this checkout is running; waiting for it..."
# What a first build took on fresh clones on an idle 2-core machine (see docs/demo.md).
declare -A took=([mingw]="about 15 s" [native]="about 30 s")
# Configures only a tree that has no Makefile yet (the presets name make's generator), which
# cmake writes as its configure's last step: an interrupted one runs again. From then on make
# decides, and reruns cmake itself when a CMakeLists.txt changed; a warm run does not pay for
# a configure each time.
# A tree built before says so once make starts on something: nothing is said when nothing
# changed.
say_when_building() {
  awk -v note="$1" 'note != "" && /^\[ *[0-9]+%\] (Building|Linking)/ {
    print note > "/dev/stderr"; fflush("/dev/stderr"); note = "" } { print }'
}
for preset in "$@"; do
  configure=:
  building="Building the $preset tree (a source changed since its last build)..."
  if [ ! -f "build/$preset/Makefile" ]; then
    note=${took[$preset]:+, ${took[$preset]} on 2 cores}
    echo "Building the $preset tree (first time only$note)..." >&2
    configure=cmake
    building=
  fi
  log=$(mktemp)
  if ! { $configure --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } 2>&1 |
    say_when_building "$building" >"$log"; then
    cat "$log" >&2
    rm -f "$log"
    echo "Building the $preset tree failed." >&2
    exit 1
  fi
  rm -f "$log"
done
