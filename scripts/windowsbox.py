"""Windows itself as the box of the end-to-end cases: a hosted runner, or a test computer, run
elevated. The binaries go to C:\\morex, as in a prefix; the test service is made with sc.exe
and deleted again; the entries that a run wrote are those of source Morex after the newest
record before the run, read from the real Application log with Get-WinEvent, each with its
text as the viewers show it (.Message). What an earlier run left is cleared first, or the box
says what it found. Standard library only."""

import base64
import csv
import json
import os
import shutil
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from scripts.box import (BINARIES, ERROR_SUCCESS_REBOOT_REQUIRED, EVENT_SOURCES, SERVICE_NAME,
                        WINDOWS_DIR, Box, BoxError, Entry, WindowsPaths, reported_exit_code)

# Bounds of the waits, sized for a hosted runner's first minutes, when one start of
# powershell.exe may take several seconds; each wait ends at its bound.
COMMAND_SECONDS = 120
ENTRY_SECONDS = 30  # the log's service writes on its own thread: an entry may show late
EXIT_SECONDS = 30  # a stopped service's process ends a while after it says it stopped
DELETE_SECONDS = 30  # a deleted service goes once its process has ended and no handle is open
ERROR_SERVICE_DOES_NOT_EXIST = 1060
ERROR_SERVICE_MARKED_FOR_DELETE = 1072
PROGRAM_FILES_MOREX = "C:\\Program Files\\Morex"
EVENT = "{http://schemas.microsoft.com/win/2004/08/events/event}"
# The level that Windows gives an entry of each event-logging type: error 2, warning 3,
# information 4; success and the audit types 0.
TYPE_OF_LEVEL = {2: 1, 3: 2, 4: 4, 0: 4}
# The newest record of the Application log, of any source, read alone: a reader from the
# newest end that fetches one record at a time (Get-WinEvent's would fetch a batch).
NEWEST_RECORD = """
$query = [Diagnostics.Eventing.Reader.EventLogQuery]::new('Application', 'LogName')
$query.ReverseDirection = $true
$reader = [Diagnostics.Eventing.Reader.EventLogReader]::new($query)
$reader.BatchSize = 1
$newest = $reader.ReadEvent()
if ($newest) { $newest.RecordId } else { 0 }
"""
# Every entry of source Morex after record $after, oldest first, as JSON (in UTF-8, whatever
# the console's code page): its event XML, and its text as the viewers show it. Waits within
# the one process until two looks a moment apart find the same entries, or $seconds pass.
ENTRIES_AFTER = """
[Console]::OutputEncoding = [Text.UTF8Encoding]::new($false)
$query = "*[System[Provider[@Name='Morex'] and EventRecordID > $after]]"
$deadline = [DateTime]::UtcNow.AddSeconds($seconds)
$found = @()
do {
  $seen = $found.Count
  Start-Sleep -Milliseconds 250
  $found = @(Get-WinEvent -LogName Application -FilterXPath $query -ErrorAction Ignore |
    Sort-Object RecordId)
} until (($found.Count -and $found.Count -eq $seen) -or [DateTime]::UtcNow -gt $deadline)
ConvertTo-Json -Compress -InputObject @($found |
  ForEach-Object { @{ xml = $_.ToXml(); message = $_.Message } })
"""
# PendingFileRenameOperations as JSON: the pairs of source and target that Windows renames at
# the next restart, an empty target for a file that it deletes (MoveFileEx).
PENDING_OPERATIONS = """
[Console]::OutputEncoding = [Text.UTF8Encoding]::new($false)
$key = 'HKLM:\\SYSTEM\\CurrentControlSet\\Control\\Session Manager'
$pending = (Get-ItemProperty $key -ErrorAction Ignore).PendingFileRenameOperations
if ($pending) { ConvertTo-Json -Compress -InputObject @($pending) } else { '[]' }
"""
# C:\morex made with its own access list, not the one it would inherit from C:\ (where
# Authenticated Users may create and change files): only Administrators and SYSTEM write, and
# everyone signed in, the test service's LocalService and the Event Log's among them, reads and
# runs. A folder that was already there (planted after the clean-up, by another user) keeps
# its owner, and stops the box.
PRIVATE_FOLDER = """
$ErrorActionPreference = 'Stop'
$security = [Security.AccessControl.DirectorySecurity]::new()
$security.SetSecurityDescriptorSddlForm(
  'D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;AU)')
[void][IO.Directory]::CreateDirectory($path, $security)
$acl = Get-Acl -LiteralPath $path
$owner = $acl.GetOwner([Security.Principal.SecurityIdentifier]).Value
$us = [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
if (-not $acl.AreAccessRulesProtected -or $owner -notin @('S-1-5-32-544', 'S-1-5-18', $us)) {
  throw "$path belongs to $owner and inherits its access list: not the folder made here"
}
"""
# The product codes of every Morex installed, as Programs and Features lists it.
INSTALLED_MOREX = """
$uninstall = 'HKLM:\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\*'
Get-ItemProperty $uninstall -ErrorAction Ignore |
  Where-Object { $_.DisplayName -eq 'Morex' -and $_.Publisher -eq 'Morex' } |
  ForEach-Object PSChildName
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


def scheduled_deletions(operations):
    """The files that Windows deletes at the next restart, in lower case, from the pairs of
    PendingFileRenameOperations: each source (with the \\??\\ of its NT path) and an empty
    target."""
    pairs = zip(operations[0::2], operations[1::2])
    return {source.removeprefix("\\??\\").lower() for source, target in pairs if not target}


class WindowsBox(Box):
    on_windows = True

    def __init__(self, windows_build_dir):
        self.bin = Path(windows_build_dir).resolve()

    @staticmethod
    def program(*args, check=True, timeout=COMMAND_SECONDS, extra_env=None):
        step = " ".join(args)
        # Without PowerShell 7's module path, which a job step in pwsh passes down through
        # Python: powershell.exe (5.1) would load 7's modules, and its cmdlets fail
        # (PowerShell/PowerShell#27774, #12997; about_PSModulePath).
        env = {name: value for name, value in os.environ.items() if name.upper() != "PSMODULEPATH"}
        try:
            done = subprocess.run(args, env=dict(env, **(extra_env or {})),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired as error:
            raise BoxError(f"{step} did not finish within {timeout} s") from error
        stdout, stderr = (out.decode("utf-8", "replace") for out in (done.stdout, done.stderr))
        if check and done.returncode != 0:
            raise BoxError(f"{step} failed ({done.returncode}):\n{stdout}{stderr}",
                           done.returncode)
        return stdout, stderr

    def powershell(self, script):
        """Runs a script, handed over encoded so that no quote of it meets a command line; any
        error stops it, and fails the step."""
        script = f"$ErrorActionPreference = 'Stop'\n{script}"
        encoded = base64.b64encode(script.encode("utf-16-le")).decode()
        return self.program("powershell", "-NoProfile", "-NonInteractive", "-EncodedCommand",
                            encoded)[0]

    def powershell_json(self, script):
        """What the script writes, read as JSON: an empty or other answer fails, saying it."""
        answer = self.powershell(script)
        try:
            return json.loads(answer)
        except ValueError as error:
            raise BoxError(f"PowerShell gave no JSON but {answer[:2000]!r}") from error

    def pending_deletions(self):
        return scheduled_deletions(self.powershell_json(PENDING_OPERATIONS))

    def limit_probe_refusal(self):
        """The probe writes a few MB into the Application log: only a log that overwrites its
        oldest entries when full (Circular) takes them, not one that archives itself then
        (AutoBackup) or refuses entries (Retain)."""
        mode = self.powershell("(Get-WinEvent -ListLog Application).LogMode").strip()
        return None if mode == "Circular" else (
            f"the Application log's mode is {mode}, not Circular: the probe's entries would "
            f"archive it or fill it instead of replacing its oldest")

    # --- the box's life: the binaries and the test service --------------------------------

    def create(self):
        self.shutdown()  # whatever an earlier run left, so that no binary is in use
        self.clear_leftovers()
        self.powershell(f"$path = '{WINDOWS_DIR}'\n{PRIVATE_FOLDER}")
        for name in BINARIES:
            if not (self.bin / name).exists():
                raise BoxError(f"{self.bin} has no {name}: not a whole bundle")
            shutil.copy2(self.bin / name, Path(WINDOWS_DIR, name))
        # LocalService, not LocalSystem: the test service needs no right of its own.
        code = self.exit_code("sc.exe", "create", SERVICE_NAME, "binPath=", WindowsPaths.service,
                              "type=", "own", "start=", "demand", "obj=",
                              "NT AUTHORITY\\LocalService")
        if code == ERROR_SERVICE_MARKED_FOR_DELETE:
            raise BoxError(f"sc create {SERVICE_NAME}: an earlier one is still marked for deletion")
        if code:
            raise BoxError(f"sc create {SERVICE_NAME} failed ({code})")

    def clear_leftovers(self):
        """Clears what an earlier run left: an installed Morex, the test service (deleted, it
        may stay marked for deletion), C:\\morex, the sources that the cases write under; or
        stops with a line that says what it found."""
        self.uninstall_morex()
        self.await_service_deleted()
        if running := self.our_processes():
            raise BoxError(f"still running from an earlier run: {', '.join(running)}")
        try:
            shutil.rmtree(WINDOWS_DIR)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise BoxError(f"{WINDOWS_DIR} left by an earlier run stays: {error}") from error
        for source in ("Morex", "MorexLimitProbe"):
            self.program("reg", "delete", EVENT_SOURCES + source, "/f", check=False)

    def uninstall_morex(self):
        for product in self.powershell(INSTALLED_MOREX).split():
            code = self.msiexec("/x", product, "/qn", "/norestart")
            if code not in (0, ERROR_SUCCESS_REBOOT_REQUIRED):
                raise BoxError(f"the installed Morex {product} did not uninstall ({code})")
        folder = PROGRAM_FILES_MOREX.lower()
        if any(path == folder or path.startswith(folder + "\\")
               for path in self.pending_deletions()):
            raise BoxError(f"Windows deletes files of {PROGRAM_FILES_MOREX} at the next restart, "
                           f"which the cases would take for their own: restart first")

    def await_service_deleted(self):
        deadline = time.monotonic() + DELETE_SECONDS
        while self.exit_code("sc.exe", "query", SERVICE_NAME) != ERROR_SERVICE_DOES_NOT_EXIST:
            if time.monotonic() > deadline:
                raise BoxError(f"the service {SERVICE_NAME} is still there {DELETE_SECONDS} s "
                               f"after sc delete: it runs, or a process holds a handle to it")
            time.sleep(0.5)

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
        `command_line`) and returns the event-log entries that the run wrote, and its exit
        code."""
        after = int(self.powershell_json(NEWEST_RECORD))
        report, _ = self.program(WindowsPaths.tool, "run", extra_env={
            "MOREX_COMMAND_LINE": command_line or f"{WindowsPaths.morex} {arguments}"})
        found = self.powershell_json(
            f"$after = {after}\n$seconds = {ENTRY_SECONDS}\n{ENTRIES_AFTER}")
        return ([parse_event(event["xml"], event["message"]) for event in found],
                reported_exit_code(report))
