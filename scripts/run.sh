#!/usr/bin/env bash
# Runs the real program: Morex.exe under Wine, against the demo service MorexDemo of a demo
# Windows computer (a Wine prefix in build/demo-prefix that stays up between invocations),
# and prints the event-log entries that the run wrote.
#   scripts/run.sh /command start /service MorexDemo
#   scripts/run.sh -- TEXT...        the same for a text that begins with --
#   scripts/run.sh --shutdown        stops the demo computer
#   scripts/run.sh --new             stops and deletes it; the next run prepares a new one
#   scripts/run.sh --help, -h        shows the usage
set -euo pipefail
cd "$(dirname "$0")/.."
# Ctrl-C reaches the whole process group: build.sh stops its build and ends quietly, and this
# says so once.
trap 'echo "scripts/run.sh: interrupted" >&2; exit 130' INT

scripts/install-deps.sh >&2
# The demo's own options need no build, and a word it does not know is refused without one.
if [ $# -gt 0 ] && [[ $1 != --?* && $1 != -h ]]; then
  # Built only when a file is newer than the last build: a warm run costs what Morex costs.
  stamp=build/mingw/.run-built
  if [ ! -f "$stamp" ] || [ -n "$(find src tests/e2e/windows tests/CMakeLists.txt bench cmake \
    CMakeLists.txt CMakePresets.json -newer "$stamp" -print -quit)" ]; then
    # build.sh announces a tree it configures; a configured tree is built again quietly.
    if [ -f build/mingw/CMakeFiles/cmake.check_cache ]; then
      echo "Building the mingw tree (a source is newer than its last build here)..." >&2
    fi
    mkdir -p build
    started=$(mktemp build/.run-build.XXXXXX) # files changed during the build count next time
    trap 'rm -f "$started"' EXIT # a failed or interrupted build leaves no stamp behind
    scripts/build.sh mingw
    mv "$started" "$stamp"
  fi
fi

# Python is started with Ctrl-C ignored and blocked, so that none lands in its start-up (a
# traceback, or a silent end); the demo takes it once its own handler is in place. One
# that came before could not be held back: the run then ends and this says so.
interrupted=
trap 'interrupted=yes' INT
status=0
(trap '' INT && exec env --block-signal=INT /usr/bin/python3 -m scripts.morex_demo \
  build/mingw build/demo-prefix "$@") || status=$?
# 130 is the demo's own interrupted end, said by the demo itself.
if [ -n "$interrupted" ] && [ "$status" -ne 130 ]; then
  echo "scripts/run.sh: interrupted" >&2
  exit 130
fi
exit "$status"
