#!/usr/bin/python3
"""Runs Morex.exe under Wine against a demo service and prints the event-log entries the run
wrote. The demo prefix stays alive between invocations, as a computer would: a service started
by one run is still running for the next. `--shutdown` stops it; `--new` stops it and deletes
it, so that the next run prepares a new one.

    morex_demo.py BUILD_DIR PREFIX [--shutdown | --new | ARGUMENT TEXT...]
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from winebox import WineBox, WineError  # noqa: E402

DEMO_SERVICE = "MorexDemo"


def progress(text):
    print(text, file=sys.stderr, flush=True)


def main(build_dir, prefix, arguments):
    box = WineBox(prefix, build_dir, progress=progress)
    if arguments == ["--shutdown"]:
        box.shutdown()
        print("The demo computer is shut down.")
        return
    if arguments == ["--new"]:
        box.destroy()
        print("The demo computer is shut down and deleted; the next run prepares a new one.")
        return
    with box.turn():
        if not box.ready():
            progress(f"Preparing the demo computer: a Wine prefix in {box.prefix} with the "
                     f"service {DEMO_SERVICE} (first run only, about half a minute)...")
        box.ensure_up(DEMO_SERVICE)
        box.install_binaries()  # the freshly built Morex.exe
        text = " ".join(arguments)
        print(f"Morex.exe {text}")
        entries = box.run_morex(text)
        for entry in entries:
            print(entry.line())
        if not entries:
            print("(no event-log entry was written)")
        print(f"Service {DEMO_SERVICE} is now {box.settled_state(DEMO_SERVICE)}.")


if __name__ == "__main__":
    try:
        main(sys.argv[1], sys.argv[2], sys.argv[3:])
    except WineError as error:
        sys.exit(f"morex_demo: {error}")
