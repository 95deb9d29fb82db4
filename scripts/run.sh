#!/usr/bin/env bash
# Runs the real program: Morex.exe under Wine, against the demo service MorexDemo of a demo
# Windows computer (a Wine prefix in build/demo-prefix that stays up between invocations),
# and prints the event-log entries that the run wrote: scripts/run.sh --help tells how. The
# demo (scripts/morex_demo.py) reads the options and builds what is needed; this installs
# what is missing, takes its turn on the demo computer and hands over.
set -euo pipefail
cd "$(dirname "$0")/.."
# Ctrl-C reaches the whole process group: this says so once.
trap 'echo "scripts/run.sh: interrupted" >&2; exit 130' INT

scripts/install-deps.sh >&2
source scripts/take-turns.sh
take_turns build/demo-prefix.lock \
  "Another run is using the demo computer (build/demo-prefix); waiting for it to finish..."

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
