"""An X display of a prefix's own (Xvfb), where windows really appear: started on the first
display number that nobody answers on, once it answers."""

import contextlib
import socket
import struct
import subprocess
import time
from pathlib import Path

from scripts.wine_processes import alive

FIRST_DISPLAY = 90  # clear of the displays that people and CI tools use
ANSWER_SECONDS = 120


class DisplayError(RuntimeError):
    """No X display could be started, or it did not answer in time."""


def start_display(env, log_path):
    """Starts an Xvfb with `env`, its output appended to `log_path`; returns its DISPLAY.
    (Xvfb's own choice, -displayfd, now and then reports a number and then dies.)"""
    for number in range(FIRST_DISPLAY, FIRST_DISPLAY + 100):
        if display_answers(number) or not _free_stale_display_lock(number):
            continue
        with open(log_path, "ab") as log:
            xvfb = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp", "-screen", "0",
                                     "1024x768x24"], env=env, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log, start_new_session=True)
        if _await_display(number, xvfb):
            return f":{number}"
    raise DisplayError("no X display could be started")


def display_answers(number):
    """True when an X server on the display answers a connection setup."""
    setup = struct.pack("<cxHHHHxx", b"l", 11, 0, 0, 0)
    for address in (f"\0/tmp/.X11-unix/X{number}", f"/tmp/.X11-unix/X{number}"):
        with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as x:
            x.settimeout(5)
            x.connect(address)
            x.sendall(setup)
            if x.recv(1) == b"\x01":  # Success
                return True
    return False


def _await_display(number, xvfb):
    """Waits until the new X server answers: a desktop whose first try to reach it fails
    stays without a display driver. False when it ended instead (the number was taken)."""
    deadline = time.monotonic() + ANSWER_SECONDS
    while time.monotonic() < deadline:
        if display_answers(number):
            return True
        if xvfb.poll() is not None:
            return False
        time.sleep(0.1)
    raise DisplayError(f"Xvfb on display :{number} did not answer within {ANSWER_SECONDS} s")


def _free_stale_display_lock(number):
    """Removes the lock of an X server that ended without removing it (a killed one); False
    when a live process holds the display."""
    lock = Path(f"/tmp/.X{number}-lock")
    try:
        pid = int(lock.read_text().strip())
    except (OSError, ValueError):
        return True
    if alive(pid):
        return False
    lock.unlink(missing_ok=True)
    Path(f"/tmp/.X11-unix/X{number}").unlink(missing_ok=True)
    return True
