#!/usr/bin/python3
"""Runs Morex.exe under Wine against a demo service and prints the event-log entries the run
wrote and its exit code. run.sh takes its turn on the prefix first. The demo prefix stays
alive between invocations, as a computer would: a service started by one run is still
running for the next. `--shutdown` stops it; `--new` stops it and deletes it, so that the
next run prepares a new one.

    python3 -m scripts.morex_demo BUILD_DIR PREFIX [--shutdown | --new | --help | [--] TEXT...]
"""

import signal
import subprocess
import sys
from pathlib import Path

from scripts.box import BoxError
from scripts.winebox import WineBox

DEMO_SERVICE = "MorexDemo"
CHECKOUT = Path(__file__).resolve().parents[1]


def progress(text):
    print(text, file=sys.stderr, flush=True)


USAGE = """\
usage: scripts/run.sh TEXT...        runs Morex.exe with the words joined by single spaces
       scripts/run.sh -- TEXT...     the same for a text that begins with -- (-- alone: an
                                     empty text)
       scripts/run.sh --shutdown     shuts the demo computer down; the next run brings it up
                                     again with its services stopped, as after a restart
       scripts/run.sh --new          shuts it down and deletes it; the next run prepares a
                                     new one
       scripts/run.sh --help, -h     shows this usage
for example: scripts/run.sh /command start /service MorexDemo"""
OPTIONS = ("--help", "-h", "--shutdown", "--new")


def refused(reason):
    """Exit status 2 with the usage: a mistyped option must never reach Morex as its text."""
    print(f"scripts/run.sh: {reason}\n{USAGE}", file=sys.stderr)
    sys.exit(2)


def checked(arguments):
    """The demo's own option, or the words that make Morex's text (after a leading --)."""
    if not arguments:
        refused("no argument text given")
    first, rest = arguments[0], arguments[1:]
    if first == "--":
        return None, rest
    if first in OPTIONS and rest:
        refused(f"{first} takes no further words")
    if first in OPTIONS:
        return first, None
    if first.startswith("--"):
        refused(f"unknown option {first} (to give Morex a text that begins with --, put -- "
                "before it)")
    return None, arguments


def build(build_dir):
    """Builds the Windows tree (build_dir, the mingw preset's) as far as it is out of date:
    the build system knows what Morex.exe is made of, and does nothing when nothing changed."""
    if subprocess.run([CHECKOUT / "scripts" / "build.sh", "mingw"]).returncode != 0:
        sys.exit(1)  # build.sh said why


def named_service(entries):
    """The service that the run asked for, as Morex names it in its entry of the request
    (100: "start NAME"; 101: "1056 - start NAME"): the command line read by Morex's own rule.
    None for a run that asked for nothing."""
    for entry in entries:
        if entry.event_id in (100, 101):
            request = entry.text.split(" - ", 1)[1] if entry.event_id == 101 else entry.text
            return request.split(" ", 1)[1]
    return None


def entry_line(entry, code_page):
    """The entry as an administrator's tool lists it. Wine prints at most a few hundred
    characters of a text; the entry's data size says how much more it holds."""
    shown = len(entry.text.encode(f"cp{code_page}", "replace")) + 1
    if entry.strings and shown < entry.data_size:
        return f"{entry.line()} [... Wine printed only this much of {entry.data_size - 1} bytes]"
    return entry.line()


def main(build_dir, prefix, arguments):
    option, words = checked(arguments)
    if option in ("--help", "-h"):
        print(USAGE)
        return
    box = WineBox(prefix, build_dir, progress=progress)
    if option == "--shutdown":
        box.shutdown()
        print("The demo computer is shut down.")
        return
    if option == "--new":
        box.destroy()
        print("The demo computer is shut down and deleted; the next run prepares a new one.")
        return
    build(build_dir)
    if not box.ready():
        progress(f"Preparing the demo computer: a Wine prefix in {box.prefix} with the "
                 f"service {DEMO_SERVICE} (first run only, about 15 s on 2 cores)...")
    box.ensure_up(DEMO_SERVICE)
    box.install_binaries()  # the freshly built Morex.exe
    text = " ".join(words)
    print(f"Morex.exe {text}")
    entries, exit_code = box.run_morex(text)
    code_page = box.ansi_code_page() if entries else None
    for entry in entries:
        print(entry_line(entry, code_page))
    if not entries:
        print("(no event-log entry was written)")
    print(f"Exit code {exit_code}.")
    service = named_service(entries)
    if service and (state := box.settled_state(service, check=False)):
        print(f"Service {service} is now {state}.")


def interrupted(_signal, _frame):
    # A second Ctrl-C must not cut short the clean-up of the first.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt


if __name__ == "__main__":
    try:
        signal.signal(signal.SIGINT, interrupted)
        # run.sh starts the demo with Ctrl-C blocked: one that came meanwhile arrives here.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGINT])
        main(sys.argv[1], sys.argv[2], sys.argv[3:])
        # A Ctrl-C during the interpreter's own end would print a traceback: run.sh says it.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except BoxError as error:
        sys.exit(f"scripts/run.sh: {error}")
    except KeyboardInterrupt:
        print("scripts/run.sh: interrupted", file=sys.stderr)
        sys.exit(130)
