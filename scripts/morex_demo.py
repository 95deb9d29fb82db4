#!/usr/bin/python3
"""Runs Morex.exe under Wine against a demo service and prints the event-log entries the run
wrote. The demo prefix stays alive between invocations, as a computer would: a service started
by one run is still running for the next. `--shutdown` stops it.

    morex_demo.py BUILD_DIR PREFIX [--shutdown | ARGUMENT TEXT...]
"""

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from winebox import WineBox  # noqa: E402

DEMO_SERVICE = "MorexDemo"


def alive(pid_file):
    try:
        os.kill(int(pid_file.read_text()), 0)
        return True
    except (OSError, ValueError):
        return False


def main(build_dir, prefix, arguments):
    box = WineBox(prefix, build_dir)
    pid_file = Path(prefix) / "morex-demo.pid"
    if arguments == ["--shutdown"]:
        box.shutdown()
        pid_file.unlink(missing_ok=True)
        print("The demo computer is shut down.")
        return
    if not (Path(prefix) / "system.reg").exists():
        print(f"Preparing the demo computer (a Wine prefix with the service {DEMO_SERVICE})...",
              file=sys.stderr)
        box.create(DEMO_SERVICE)
        pid_file.write_text(str(box.holder_pid))
    elif not alive(pid_file):
        box.boot()
        pid_file.write_text(str(box.holder_pid))
    box.install_binaries()  # the freshly built Morex.exe
    text = " ".join(arguments)
    print(f"Morex.exe {text}")
    entries = box.run_morex(text)
    for entry in entries:
        print(entry.line())
    if not entries:
        print("(no event-log entry was written)")
    print(f"Service {DEMO_SERVICE} is now {box.service('state', DEMO_SERVICE)}.")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
