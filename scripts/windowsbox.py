"""Windows itself as the box of the end-to-end cases: a hosted runner, or a test computer, run
elevated. The binaries go to C:\\morex, as in a prefix; the test service is made with sc.exe
and deleted again; the entries that a run wrote are those of source Morex after the newest
record before the run, read from the real Application log with Get-WinEvent, each with its
text as the viewers show it (.Message). Standard library only."""

import base64
import contextlib
import csv
import json
import os
import shutil
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from scripts.box import BINARIES, SERVICE_NAME, WINDOWS_DIR, Box, BoxError, WindowsPaths
from scripts.wine_debug import Entry

COMMAND_SECONDS = 120
ENTRY_SECONDS = 5  # the log's service writes on its own thread: an entry may show a moment late
EXIT_SECONDS = 5  # a stopped service's process ends a moment after it says it stopped
EVENT = "{http://schemas.microsoft.com/win/2004/08/events/event}"
# The level that Windows gives an entry of each event-logging type: error 2, warning 3,
# information 4; success and the audit types 0.
TYPE_OF_LEVEL = {2: 1, 3: 2, 4: 4, 0: 4}
NEWEST_RECORD = "(Get-WinEvent -LogName Application -MaxEvents 1 -ErrorAction Ignore).RecordId"
# Every entry of source Morex after record $after, oldest first, as JSON (in UTF-8, whatever
# the console's code page): its event XML, and its text as the viewers show it.
ENTRIES_AFTER = """
[Console]::OutputEncoding = [Text.UTF8Encoding]::new($false)
$query = "*[System[Provider[@Name='Morex'] and EventRecordID > $after]]"
$found = @(Get-WinEvent -LogName Application -FilterXPath $query -ErrorAction Ignore |
  Sort-Object RecordId | ForEach-Object { @{ xml = $_.ToXml(); message = $_.Message } })
ConvertTo-Json -Compress -InputObject $found
"""


def parse_event(xml, message=None):
    """One classic entry's event XML, read into the record that the Wine box gives."""
    event = ElementTree.fromstring(xml)
    system = event.find(EVENT + "System")
    event_id = system.find(EVENT + "EventID")
    strings = event.findall(f"{EVENT}EventData/{EVENT}Data")
    data = bytes.fromhex(event.findtext(f"{EVENT}EventData/{EVENT}Binary") or "")
    return Entry(source=system.find(EVENT + "Provider").get("Name"),
                 type=TYPE_OF_LEVEL.get(int(system.findtext(EVENT + "Level"))),
                 category=int(system.findtext(EVENT + "Task")),
                 event_id=int(event_id.get("Qualifiers", "0")) << 16 | int(event_id.text),
                 strings=len(strings), data_size=len(data),
                 text=(strings[0].text or "") if strings else "", data=data, message=message)


class WindowsBox(Box):
    def __init__(self, windows_build_dir):
        self.bin = Path(windows_build_dir).resolve()

    @staticmethod
    def turn():
        return contextlib.nullcontext()  # one suite at a time on a computer of its own

    @staticmethod
    def program(*args, check=True, timeout=COMMAND_SECONDS, extra_env=None):
        step = " ".join(args)
        try:
            done = subprocess.run(args, env=dict(os.environ, **(extra_env or {})),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired as error:
            raise BoxError(f"{step} did not finish within {timeout} s") from error
        stdout, stderr = (out.decode("utf-8", "replace") for out in (done.stdout, done.stderr))
        if check and done.returncode != 0:
            raise BoxError(f"{step} failed ({done.returncode}):\n{stdout}{stderr}")
        return stdout, stderr

    def powershell(self, script):
        """Runs a script, handed over encoded so that no quote of it meets a command line."""
        encoded = base64.b64encode(script.encode("utf-16-le")).decode()
        return self.program("powershell", "-NoProfile", "-NonInteractive", "-EncodedCommand",
                            encoded)[0]

    # --- the box's life: the binaries and the test service --------------------------------

    def create(self):
        self.shutdown()  # whatever an earlier run left, so that no binary is in use
        Path(WINDOWS_DIR).mkdir(exist_ok=True)
        for name in BINARIES:
            if (self.bin / name).exists():
                shutil.copy2(self.bin / name, Path(WINDOWS_DIR, name))
        self.program("sc.exe", "create", SERVICE_NAME, "binPath=", WindowsPaths.service, "type=",
                     "own", "start=", "demand")

    def shutdown(self):
        if Path(WindowsPaths.tool).exists():  # not yet on a computer new to the suite
            self.service("stop", check=False)
        self.program("sc.exe", "delete", SERVICE_NAME, check=False)
        deadline = time.monotonic() + EXIT_SECONDS
        while self.our_processes() and time.monotonic() < deadline:
            time.sleep(0.2)

    def our_processes(self):
        """The processes still running from C:\\morex, the test service among them."""
        listing = self.program("tasklist", "/fo", "csv", "/nh")[0]
        return [f"{row[0]} {row[1]}" for row in csv.reader(listing.splitlines())
                if row and row[0] in BINARIES]

    def ansi_code_page(self):
        return int(self.program("reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Control\Nls"
                                r"\CodePage", "/v", "ACP")[0].split()[-1])

    @staticmethod
    def local_path(windows_path):
        return Path(windows_path)

    @staticmethod
    def windows_path(path):
        return str(path)

    # --- runs and their entries -----------------------------------------------------------

    def run_morex(self, arguments, command_line=None):
        """Runs Morex.exe with `arguments` as its exact argument text (or the whole
        `command_line`) and returns the event-log entries that the run wrote."""
        after = int(self.powershell(NEWEST_RECORD).strip() or 0)
        self.program(WindowsPaths.tool, "run", extra_env={
            "MOREX_COMMAND_LINE": command_line or f"{WindowsPaths.morex} {arguments}"})
        deadline = time.monotonic() + ENTRY_SECONDS
        while not (found := json.loads(self.powershell(f"$after = {after}\n{ENTRIES_AFTER}"))):
            if time.monotonic() > deadline:
                break
            time.sleep(0.2)
        return [parse_event(event["xml"], event["message"]) for event in found]
