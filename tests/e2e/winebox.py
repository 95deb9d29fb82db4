"""A Wine prefix that plays the Windows computer for Morex: it boots the prefix, installs the
test service, keeps the prefix alive, runs Morex.exe with an exact argument text and turns
Wine's debug output into the event-log entries that the run wrote.

Wine keeps no event records: each ReportEventA call prints
    fixme:advapi:ReportEventA (handle,0xTYPE,0xCATEGORY,0xEVENTID,sid,0xNSTRINGS,0xDATASIZE,...)
and each insertion string follows on the eventlog channel as an escaped L"..." literal.
"""

import dataclasses
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

SERVICE_NAME = "MorexTest"
WINDOWS_DIR = "C:\\morex"


class WindowsPaths:
    morex = f"{WINDOWS_DIR}\\Morex.exe"
    tool = f"{WINDOWS_DIR}\\morex_e2e_tool.exe"
    service = f"{WINDOWS_DIR}\\morex_test_service.exe"
    floor = f"{WINDOWS_DIR}\\morex_bench_floor.exe"

EVENT_TYPES = {1: "Error", 2: "Warning", 4: "Information", 8: "Audit Success", 16: "Audit Failure"}

_REPORT = re.compile(
    r"fixme:advapi:ReportEventA \((\w+),0x(\w+),0x(\w+),0x(\w+),(\w+),0x(\w+),0x(\w+),")
_SOURCE = re.compile(r"fixme:advapi:RegisterEventSourceA \((.*?),\"(.*?)\"\)")
_STRING = re.compile(r":(?:trace|err|warn|fixme):eventlog:ReportEventW (L\".*)$")


@dataclasses.dataclass
class Entry:
    source: str
    type: int
    category: int
    event_id: int
    strings: int
    data_size: int
    text: str

    def line(self):
        kind = EVENT_TYPES.get(self.type, str(self.type))
        return f"Application  {self.source}  {kind:<11}  {self.event_id}  {self.text}"


def unescape_wine_string(literal):
    """Reads Wine's debugstr_w form: L"..." with \\\\, \\", \\n, \\r, \\t and \\XXXX escapes; a
    cut-off literal ends in "..." and keeps what was printed."""
    body = literal[2:]
    out, i = [], 0
    while i < len(body) and body[i] != '"':
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = body[i + 1]
        if nxt in "\\\"":
            out.append(nxt)
            i += 2
        elif nxt in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[nxt])
            i += 2
        else:
            out.append(chr(int(body[i + 1:i + 5], 16)))
            i += 5
    return "".join(out)


def parse_entries(debug_output):
    entries, source = [], ""
    pending = None
    for line in debug_output.splitlines():
        if m := _SOURCE.search(line):
            source = m.group(2)
        elif m := _REPORT.search(line):
            pending = Entry(source, int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16),
                            int(m.group(6), 16), int(m.group(7), 16), "")
            entries.append(pending)
            if pending.strings == 0:
                pending = None
        elif pending and (m := _STRING.search(line)):
            pending.text = unescape_wine_string(m.group(1))
            pending = None
    return entries


def _wineserver():
    for candidate in ("wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
        if path := shutil.which(candidate):
            return path
    raise RuntimeError("wineserver not found; install Debian's wine and wine64")


class WineBox:
    def __init__(self, prefix, windows_build_dir):
        self.prefix = Path(prefix).resolve()
        self.bin = Path(windows_build_dir).resolve()
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        self.env.pop("DISPLAY", None)

    # Output goes through files, never pipes: Wine's own processes (services.exe, the
    # wineserver) outlive a call and would keep a pipe open.
    def wine(self, *args, debug="-all", extra_env=None, check=True, timeout=120):
        env = dict(self.env, WINEDEBUG=debug, **(extra_env or {}))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode("utf-8", "replace")
            stderr = err.read().decode("utf-8", "replace")
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} failed ({result.returncode}):\n{stderr}")
        return stdout, stderr

    def server(self, *flags):
        subprocess.run([_wineserver(), *flags], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def create(self, service_name=SERVICE_NAME):
        """A fresh prefix with the test service installed and a process that keeps it alive."""
        self.shutdown()
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        self.start_server()
        self.wine("wineboot", "-i", timeout=300)
        # Let the first-time set-up finish, or the first service starts fail (1053/1055).
        self.server("-w")
        self.install_binaries()
        self.boot()
        self.wine(WindowsPaths.tool, "install", service_name, WindowsPaths.service)

    def start_server(self):
        """A persistent server that holds no pipe of ours; every wine call joins it."""
        subprocess.Popen([_wineserver(), "-p"], env=self.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def boot(self):
        """Brings an existing prefix up, as after a restart: services start out stopped."""
        self.start_server()
        self.hold()

    def install_binaries(self):
        target = self.prefix / "drive_c" / "morex"
        target.mkdir(parents=True, exist_ok=True)
        for name in ("Morex.exe", "morex_e2e_tool.exe", "morex_test_service.exe",
                     "morex_bench_floor.exe"):
            if (self.bin / name).exists():
                shutil.copy2(self.bin / name, target / name)

    def hold(self):
        """Wine ends service processes when the prefix's last ordinary process exits; one
        process that sleeps keeps a started service alive between runs."""
        holder = subprocess.Popen(["wine", WindowsPaths.tool, "hold"], env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        self.holder_pid = holder.pid
        time.sleep(0.5)

    def shutdown(self):
        if self.prefix.exists():
            self.server("-k")
            self.server("-w")

    def run_command_line(self, command_line):
        """Runs an exact command line through the tool; returns the tool's report (exit code,
        peak working set) and Wine's debug output."""
        return self.wine(WindowsPaths.tool, "run", debug="-all,+eventlog,fixme+advapi",
                         extra_env={"MOREX_COMMAND_LINE": command_line})

    def run_morex(self, arguments, command_line=None):
        """Runs Morex.exe with `arguments` as its exact argument text (or the whole
        `command_line`) and returns the event-log entries that the run wrote."""
        if command_line is None:
            command_line = f"{WindowsPaths.morex} {arguments}"
        return parse_entries(self.run_command_line(command_line)[1])

    def service(self, verb, name=SERVICE_NAME):
        stdout, _ = self.wine(WindowsPaths.tool, verb, name)
        return stdout.strip()
