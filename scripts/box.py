"""What every box of the end-to-end cases shares, whether a Wine prefix (scripts/winebox.py) or
Windows itself (scripts/windowsbox.py): where the Windows-side binaries go, the test service,
the entry that a run wrote, and the one interface of a box, with the steps made of it.
Standard library only: it loads on Windows too."""

import abc
import contextlib
import dataclasses
import re
import shutil
import tempfile
import time
from pathlib import Path

SERVICE_NAME = "MorexTest"
WINDOWS_DIR = "C:\\morex"
EVENT_SOURCES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
BINARIES = ("Morex.exe", "morex_e2e_tool.exe", "morex_e2e_desktop.exe", "morex_test_service.exe",
            "morex_bench_floor.exe", "morex_refusing_event_log.exe")
SERVICE_BINARY = "morex_test_service.exe"
EVENT_TYPES = {1: "Error", 2: "Warning", 4: "Information", 8: "Audit Success", 16: "Audit Failure"}


class WindowsPaths:
    morex = f"{WINDOWS_DIR}\\Morex.exe"
    tool = f"{WINDOWS_DIR}\\morex_e2e_tool.exe"
    desktop = f"{WINDOWS_DIR}\\morex_e2e_desktop.exe"
    service = f"{WINDOWS_DIR}\\{SERVICE_BINARY}"
    floor = f"{WINDOWS_DIR}\\morex_bench_floor.exe"
    refusing = f"{WINDOWS_DIR}\\morex_refusing_event_log.exe"


# Windows Installer's success that needs a restart to finish (msiexec /norestart), and its
# answer while another installation runs, as on a computer that has just started.
ERROR_SUCCESS_REBOOT_REQUIRED = 3010
ERROR_INSTALL_ALREADY_RUNNING = 1618
INSTALLER_BUSY_SECONDS = 300
# A process that has just ended may still hold a file for a moment on Windows, and removing
# the file then fails with PermissionError (tempfile's documents, ignore_cleanup_errors).
RELEASE_SECONDS = 30


@contextlib.contextmanager
def scratch_folder():
    """A temporary folder of this machine, removed at the end, once its files are released."""
    folder = Path(tempfile.mkdtemp(prefix="morex-"))
    try:
        yield folder
    finally:
        remove_when_released(folder)


def remove_when_released(folder, seconds=RELEASE_SECONDS):
    deadline = time.monotonic() + seconds
    while True:
        try:
            shutil.rmtree(folder)
            return
        except FileNotFoundError:
            return
        except PermissionError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)


class BoxError(RuntimeError):
    """A step on a box failed or did not finish in time; the text names both, and exit_code is
    the failed program's (None where none ended)."""

    def __init__(self, text, exit_code=None):
        super().__init__(text)
        self.exit_code = exit_code


@dataclasses.dataclass
class Entry:
    """An event-log entry that a run wrote, as either box reads it back."""

    source: str
    type: int
    category: int
    event_id: int
    strings: int
    data_size: int
    text: str
    data: bytes | None = None  # where the box reads them (Windows): the entry's data
    message: str | None = None  # and its text as the viewers show it, where they find one

    def line(self):
        kind = EVENT_TYPES.get(self.type, str(self.type))
        return f"Application  {self.source}  {kind:<11}  {self.event_id}  {self.text}"


def reported_exit_code(report):
    """The exit code in the report of the tool's run verb ("exit code N"), as a signed 32-bit
    number: how PowerShell's $LASTEXITCODE and cmd's %ERRORLEVEL% show it. A run that did not
    end by itself (a message box up, waiting for a click) fails, with what the tool saw."""
    if held := re.search(r"^.* ended by the tool\r?$", report, re.M):
        raise BoxError(f"Morex.exe did not end: {held.group(0).strip()}")
    code = int(re.search(r"^exit code (\d+)\r?$", report, re.M).group(1))
    return code - (1 << 32) if code >= 1 << 31 else code


class Box(abc.ABC):
    """Everything the cases use of a box: the steps that each box has its own way of taking
    (the abstract methods), and below them the steps made of those, the same on every box."""

    on_windows = False  # Windows itself, where no case may take the desktop

    @abc.abstractmethod
    def program(self, *args, check=True, **options):
        """Runs a Windows program to its end (options: timeout, extra_env); stdout and stderr."""

    @abc.abstractmethod
    def create(self):
        """Makes the box anew: the binaries in C:\\morex, the test service there and stopped."""

    @abc.abstractmethod
    def shutdown(self):
        """Stops the test service and every process of ours on the box."""

    @abc.abstractmethod
    def our_processes(self):
        """The processes of ours still running on the box."""

    @abc.abstractmethod
    def ansi_code_page(self):
        """The box's ANSI code page, as Windows keeps it in the registry."""

    @abc.abstractmethod
    def local_path(self, windows_path):
        """Where a path on the box's drive C: is on this machine."""

    @abc.abstractmethod
    def windows_path(self, path):
        """How the box's Windows programs name a file of this machine."""

    @abc.abstractmethod
    def run_morex(self, arguments, command_line=None):
        """Runs Morex.exe with an exact argument text (or command line); the entries it wrote
        and its exit code."""

    @abc.abstractmethod
    def pending_deletions(self):
        """The files, in lower case, that Windows deletes at the next restart."""

    @abc.abstractmethod
    def limit_probe_refusal(self):
        """Why the probe of the log's limits may not write its entries here, or None."""

    def service(self, verb, name=SERVICE_NAME, check=True):
        """Queries the service (state) or brings it to a state (start, stop) and waits until it
        is there; with check=False, "" for a service that does not exist."""
        return self.program(WindowsPaths.tool, verb, name, check=check)[0].strip()

    def exit_code(self, *args, **options):
        """Runs a program as `program` does; returns its exit code where it failed."""
        try:
            self.program(*args, **options)
            return 0
        except BoxError as error:
            if error.exit_code is None:
                raise
            return error.exit_code

    def msiexec(self, *args, timeout=300):
        """msiexec's exit code; while another installation runs (1618), it is asked again,
        within INSTALLER_BUSY_SECONDS."""
        deadline = time.monotonic() + INSTALLER_BUSY_SECONDS
        while True:
            code = self.exit_code("msiexec", *args, timeout=timeout)
            if code != ERROR_INSTALL_ALREADY_RUNNING or time.monotonic() > deadline:
                return code
            time.sleep(5)

    def registry(self, key):
        """reg query's listing of the key, or None when there is no such key."""
        try:
            return self.program("reg", "query", key)[0]
        except BoxError as error:
            if error.exit_code is None:  # reg never answered: no sign of a missing key
                raise
            return None

    def source_registered(self, source="Morex"):
        """Whether the Application log has a key for the source, as an installer makes it."""
        return self.registry(EVENT_SOURCES + source) is not None

    def rendered(self, event_id, text):
        """What Event Viewer shows for an entry of Morex's source: (message file, text)."""
        shown, _ = self.program(WindowsPaths.tool, "render", str(event_id),
                                extra_env={"MOREX_RENDER_TEXT": text})
        return tuple(shown.split("\n", 1))

    def kept(self, folder, restart=False):
        """Whether the Windows folder is there, and its files by name, less what Windows deletes
        at the restart that an installer asked for."""
        local = self.local_path(folder)
        deleted = self.pending_deletions() if restart else set()
        return (local.exists() and folder.lower() not in deleted,
                {path.name: path.read_bytes() for path in local.glob("*")
                 if f"{folder}\\{path.name}".lower() not in deleted})

    def settled_state(self, name=SERVICE_NAME, seconds=20, check=True):
        """The service's state once it is no longer start- or stop-pending: Morex sends its
        request and ends without waiting for the service to get there."""
        deadline = time.monotonic() + seconds
        while (state := self.service("state", name, check)).endswith("-pending"):
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        return state
