"""A Wine prefix that plays the Windows computer for Morex, and the one owner of its life: it
boots the prefix, installs the test service, keeps the prefix alive, runs Morex.exe with an
exact argument text, reads the event-log entries that the run wrote from Wine's debug output
(scripts/wine_debug.py), and shuts everything down again. One command at a time uses a
prefix: the command that makes it says so (run.sh takes its turn). Every process started for
it is marked and recorded, and runs within a bound (scripts/wine_processes.py), so that what
was started can always be found and stopped.
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from scripts.box import (BINARIES, SERVICE_BINARY, SERVICE_NAME, Box, BoxError, WindowsPaths,
                        reported_exit_code)
from scripts.wine_debug import parse_entries
from scripts.wine_processes import (MARKER, ProcessRecord, end_marked, processes_marked,
                                    run_within, wineserver)
from scripts.xdisplay import DisplayError, start_display

# Bounds of the waits on Wine, in seconds. Generous: a busy 2-core machine is slow, but no
# wait is ever endless.
FIRST_BOOT_SECONDS = 300
SERVER_EXIT_SECONDS = 120
COMMAND_SECONDS = 120
TERM_SECONDS = 5
KILL_SECONDS = 30
DESKTOP_SECONDS = 20


class WineError(BoxError):
    """A step on a prefix failed or did not finish in time; the text names both."""


def _say(text):
    print(text, file=sys.stderr, flush=True)


def _same_file(a, b):
    """Same size and time (replace_file keeps the time), or else the same bytes."""
    try:
        sa, sb = a.stat(), b.stat()
        return sa.st_size == sb.st_size and (sa.st_mtime_ns == sb.st_mtime_ns or
                                             a.read_bytes() == b.read_bytes())
    except FileNotFoundError:
        return False


def replace_file(source, target):
    """Writes a new file beside the target and renames it into place: a process that maps the
    old file keeps its own copy, where overwriting would change the code under its feet."""
    with tempfile.NamedTemporaryFile(dir=target.parent, prefix=f".{target.name}.",
                                     delete=False) as new:
        new.write(source.read_bytes())
    shutil.copystat(source, new.name)
    os.replace(new.name, target)


class WineBox(Box):
    def __init__(self, prefix, windows_build_dir, progress=None, display=False):
        """display: give the prefix an X display of its own (Xvfb), where windows really
        appear; without one, Wine draws nothing."""
        self.prefix = Path(prefix).resolve()
        self.display = display
        self.bin = Path(windows_build_dir).resolve()
        self.record = ProcessRecord(self.prefix)
        self.say = progress or (lambda text: None)
        # The locale is pinned: Wine takes the prefix's ANSI code page from it, and a run on a
        # Japanese host would otherwise write its entries in 932.
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64", LANG="C.UTF-8",
                        LC_ALL="C.UTF-8", **{MARKER: str(self.prefix)})
        self.env.pop("DISPLAY", None)
        if display and self.record.read().get("display"):
            self.env["DISPLAY"] = self.record.read()["display"]

    def our_processes(self):
        return processes_marked(str(self.prefix))

    def running(self):
        """True when the process that keeps the prefix up is alive."""
        holder = self.record.read().get("holder_pid")
        return bool(holder) and processes_marked(str(self.prefix), [holder]) == [holder]

    def ready(self):
        return (self.prefix / "system.reg").exists() and self.record.read().get("ready") is True

    # --- running Wine, always with a bound ------------------------------------------------

    def _run(self, step, args, env, timeout):
        ended = run_within(args, env, timeout)
        if ended is None:
            raise WineError(f"{step} did not finish within {timeout} s (prefix {self.prefix})")
        return ended

    def wine_once(self, *args, debug="-all", extra_env=None, timeout=COMMAND_SECONDS):
        """Runs a Windows program in exactly one Wine process; returns its exit code, stdout
        and stderr."""
        env = dict(self.env, WINEDEBUG=debug, **(extra_env or {}))
        return self._run(f"wine {' '.join(args)}", ["wine", *args], env, timeout)

    def wine(self, *args, check=True, **options):
        """Runs a Windows program. On a busy machine a Wine process now and then ends with 1
        before the program ran, saying nothing (once in five suite runs): that one failure,
        and no other, is tried once more."""
        step = f"wine {' '.join(args)}"
        code, stdout, stderr = self.wine_once(*args, **options)
        if code == 1 and not stdout and not stderr.strip():
            _say(f"{step} ended with 1 before it ran; trying once more")
            code, stdout, stderr = self.wine_once(*args, **options)
        if check and code != 0:
            raise WineError(f"{step} failed ({code}) on prefix {self.prefix}:\n{stderr}", code)
        return stdout, stderr

    program = wine  # what every box calls it

    def server(self, flag, timeout=SERVER_EXIT_SECONDS):
        if not (path := wineserver()):
            raise WineError("wineserver not found; install Debian's wine and wine64")
        return self._run(f"wineserver {flag}", [path, flag], self.env, timeout)[0]

    # --- the prefix's life ----------------------------------------------------------------

    def create(self, service_name=SERVICE_NAME):
        """A fresh prefix with the test service installed and a process that keeps it alive."""
        try:
            self._make(service_name)
        except BaseException:  # an interrupt too: a prefix that never got ready is of no
            with contextlib.suppress(WineError):  # use, and nothing of it may stay running;
                self.shutdown()  # what is told is the first failure
            raise

    def _make(self, service_name):
        self.destroy()
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        self.say(f"Creating a new Wine prefix in {self.prefix} (its first boot takes a "
                 "while)...")
        self.record.write(ready=False)
        self.wine("wineboot", "-i", timeout=FIRST_BOOT_SECONDS)
        # The first boot goes on in the background after wineboot returns; until it has
        # finished and its server has exited, the first service starts fail (1053/1055).
        self.say("Waiting for the first boot to finish...")
        if self.server("-w") != 0:
            raise WineError(f"wineserver -w failed on prefix {self.prefix}")
        self.install_binaries()
        self._boot()
        self.say(f"Installing the service {service_name}...")
        self.wine(WindowsPaths.tool, "install", service_name, WindowsPaths.service)
        self.record.write(ready=True, service=service_name)

    def ensure_up(self, service_name=SERVICE_NAME):
        """Brings the prefix up as it is, or new when it is missing or was never finished;
        returns True when it had to be created."""
        if not self.ready():
            self.create(service_name)
            return True
        if not self.running():
            self.shutdown()  # whatever is left of an earlier life
            self._boot()
        return False

    def _boot(self):
        """Starts the process that keeps the prefix up, as after a restart: services start
        out stopped. Wine ends service processes when the prefix's last ordinary process
        exits, and the server with them; one process that sleeps keeps both alive."""
        self.say("Starting the Windows computer...")
        if self.display:
            self._start_display()
        # Wine's errors from the processes it starts on the way (the desktop among them) go
        # to a log beside the prefix.
        with open(self.prefix.with_name(self.prefix.name + ".log"), "ab") as log:
            holder = subprocess.Popen(["wine", WindowsPaths.tool, "hold"],
                                      env=dict(self.env, WINEDEBUG="err+all"),
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                      start_new_session=True)
        self.record.write(holder_pid=holder.pid)
        self.wine(WindowsPaths.tool, "state", "PlugPlay", check=False)  # the server is up
        if self.display:
            self._await_desktop()

    def _await_desktop(self):
        """The desktop and its display driver start with the first window, slowly on a busy
        machine, and a process that asks meanwhile goes without a driver for its whole life.
        Have them up, with a new process for each try, before anything is asked to show a
        box."""
        deadline = time.monotonic() + DESKTOP_SECONDS
        while True:
            try:
                self.wine(WindowsPaths.desktop, "probe", debug="err+all")
                return
            except WineError as error:
                if time.monotonic() > deadline:
                    raise WineError(f"the desktop of prefix {self.prefix} showed no window "
                                    f"within {DESKTOP_SECONDS} s:\n{error}")
            time.sleep(0.5)

    def _start_display(self):
        try:
            self.env["DISPLAY"] = start_display(self.env, self.prefix.with_name(
                self.prefix.name + ".log"))
        except DisplayError as error:
            raise WineError(f"{error} (prefix {self.prefix})") from error
        self.record.write(display=self.env["DISPLAY"])

    def destroy(self):
        """Shuts the prefix down and deletes it, with its record."""
        self.shutdown()
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.record.path.unlink(missing_ok=True)

    def shutdown(self):
        """Stops every process of the prefix; afterwards none of ours is left."""
        if self.prefix.exists() and self.our_processes():
            # Lets the server save the registry; whatever it leaves is killed below.
            with contextlib.suppress(WineError):
                self.server("-k", timeout=KILL_SECONDS)
        if left := end_marked(str(self.prefix), TERM_SECONDS, KILL_SECONDS):
            raise WineError(f"processes {left} of prefix {self.prefix} did not end within "
                            f"{KILL_SECONDS} s of SIGKILL")
        self.env.pop("DISPLAY", None)
        if self.record.path.exists():
            self.record.write(holder_pid=None, display=None)

    def local_path(self, windows_path):
        """Where a path on the prefix's drive C: is on this machine."""
        return self.prefix.joinpath("drive_c", *windows_path[3:].split("\\"))

    @staticmethod
    def windows_path(path):
        """How the prefix's Windows programs name a file of this machine."""
        return "Z:" + str(path).replace("/", "\\")

    def ansi_code_page(self):
        """The ANSI code page of the prefix, as Windows keeps it in the registry."""
        found = re.search(r'^"ACP"="(\d+)"', (self.prefix / "system.reg").read_text(),
                          re.MULTILINE)
        return int(found.group(1)) if found else 1252

    @staticmethod
    def pending_deletions():
        """Nothing: Wine's event log never holds MorexEvents.dll, the file that an installer
        leaves to a restart on Windows."""
        return set()

    @staticmethod
    def limit_probe_refusal():
        """None: Wine's event log keeps no entry, so the probe fills nothing."""
        return None

    # --- binaries -------------------------------------------------------------------------

    def install_binaries(self):
        """Puts the Windows-side binaries into C:\\morex, each only when it differs from the
        one there, and the service's binary only while no service runs from it."""
        target = self.prefix / "drive_c" / "morex"
        target.mkdir(parents=True, exist_ok=True)
        for name in BINARIES:
            source = self.bin / name
            if not source.exists() or _same_file(source, target / name):
                continue
            if name == SERVICE_BINARY and self._service_running():
                continue  # installed by a later call, once the service is stopped
            replace_file(source, target / name)

    def _service_running(self):
        service = self.record.read().get("service")
        return bool(service) and self.running() and self.service("state", service) != "stopped"

    # --- using it -------------------------------------------------------------------------

    def run_command_line(self, command_line, verb="run", debug="-all,+eventlog,fixme+advapi",
                         overrides=""):
        """Runs an exact command line through a tool (`verb`: run, or the desktop tool's box
        or hidden); returns the tool's report and Wine's debug output on `debug`. `overrides`
        adds to the prefix's DLL overrides (WINEDLLOVERRIDES)."""
        tool = WindowsPaths.tool if verb == "run" else WindowsPaths.desktop
        dlls = ";".join(filter(None, [self.env["WINEDLLOVERRIDES"], overrides]))
        return self.wine(tool, verb, debug=debug, extra_env={
            "MOREX_COMMAND_LINE": command_line, "WINEDLLOVERRIDES": dlls})

    def run_morex(self, arguments, command_line=None):
        """Runs Morex.exe with `arguments` as its exact argument text (or the whole
        `command_line`) and returns the event-log entries that the run wrote, and its exit
        code."""
        if command_line is None:
            command_line = f"{WindowsPaths.morex} {arguments}"
        report, debug = self.run_command_line(command_line)
        return parse_entries(debug), reported_exit_code(report)
