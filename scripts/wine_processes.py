"""The processes started for a Wine prefix, each run within a bound, and their record. Every
one carries MOREX_WINEBOX=PREFIX in its environment, which Wine hands on to the server and
every Windows process of the prefix; a record beside the prefix (PREFIX.json) keeps the pids
and whether the prefix is ready. So what was started can always be found and stopped, even
after the prefix itself was deleted."""

import contextlib
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

MARKER = "MOREX_WINEBOX"


def alive(pid):
    """False for a process that ended, even one still waiting to be reaped (a zombie)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def processes_marked(marker_value, pids=None):
    """Pids of the live processes (of all, or of `pids`) whose environment carries
    MOREX_WINEBOX=marker_value."""
    wanted = f"{MARKER}={marker_value}".encode()
    found = []
    candidates = [Path(f"/proc/{pid}") for pid in pids] if pids else Path("/proc").iterdir()
    for entry in candidates:
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if alive(entry.name) and wanted in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            continue
    return found


def ended_within(pid, seconds):
    """Waits until the process ends, woken the moment it does. (Popen.wait with a timeout
    polls in sleeps that double up to 50 ms: it would round each run up to its next poll,
    31.5, 63.5, 113.5, 163.5 ms..., and a bench would compare those steps.)"""
    handle = os.pidfd_open(pid)
    try:
        return bool(select.select([handle], [], [], seconds)[0])
    finally:
        os.close(handle)


def run_within(args, env, seconds):
    """Runs a program to its end: (exit code, stdout, stderr), or None when it did not end
    within `seconds` (it is killed then). Files, never pipes: Wine's own processes
    (services.exe, the wineserver) outlive a call and would keep a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        with subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err) as process:
            try:
                if not ended_within(process.pid, seconds):
                    return None
            finally:
                if process.poll() is None:
                    process.kill()
        out.seek(0)
        err.seek(0)
        return (process.returncode, out.read().decode("utf-8", "replace"),
                err.read().decode("utf-8", "replace"))


def wineserver():
    """The path of Wine's server, under whichever name Debian installs it; None without."""
    for candidate in ("wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
        if path := shutil.which(candidate):
            return path
    return None


def end_marked(marker_value, term_seconds, kill_seconds):
    """Ends every process marked with marker_value: asked first (SIGTERM), so that Xvfb removes
    its lock and socket, killed once if it won't go. Returns the pids that outlived even that."""
    for sig, seconds in ((signal.SIGTERM, term_seconds), (signal.SIGKILL, kill_seconds)):
        for pid in processes_marked(marker_value):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, sig)
        deadline = time.monotonic() + seconds
        while (left := processes_marked(marker_value)) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not left:
            return []
    return left


class ProcessRecord:
    """PREFIX.json: what was started for the prefix and how far it got, as JSON fields."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.path = prefix.with_name(prefix.name + ".json")

    def read(self):
        try:
            return json.loads(self.path.read_text())
        except (OSError, ValueError):
            return {}

    def write(self, **fields):
        record = dict(self.read(), prefix=str(self.prefix), marker=f"{MARKER}={self.prefix}",
                      **fields)
        self.path.write_text(json.dumps(record, indent=1) + "\n")
