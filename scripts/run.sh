#!/usr/bin/env bash
# Runs the real program: Morex.exe under Wine, against the demo service MorexDemo of a demo
# Windows computer (a Wine prefix in build/demo-prefix that stays up between invocations),
# and prints the event-log entries that the run wrote.
#   scripts/run.sh /command start /service MorexDemo
#   scripts/run.sh --shutdown        stops the demo computer
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
if [ "${1:-}" != "--shutdown" ]; then
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw -j "$(nproc)" >/dev/null
fi
exec /usr/bin/python3 scripts/morex_demo.py build/mingw build/demo-prefix "$@"
