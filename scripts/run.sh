#!/usr/bin/env bash
# Runs the real program: Morex.exe under Wine, against the demo service MorexDemo of a demo
# Windows computer (a Wine prefix in build/demo-prefix that stays up between invocations),
# and prints the event-log entries that the run wrote.
#   scripts/run.sh /command start /service MorexDemo
#   scripts/run.sh --shutdown        stops the demo computer
#   scripts/run.sh --new             stops and deletes it; the next run prepares a new one
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
case "${1:-}" in
--shutdown | --new) ;;
*) scripts/build.sh mingw ;;
esac
exec /usr/bin/python3 scripts/morex_demo.py build/mingw build/demo-prefix "$@"
