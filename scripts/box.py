"""What every box of the end-to-end cases shares, whether a Wine prefix (scripts/winebox.py) or
Windows itself (scripts/windowsbox.py): where the Windows-side binaries go, the test service,
and the steps made of the e2e tool. Standard library only: it loads on Windows too."""

import time

SERVICE_NAME = "MorexTest"
WINDOWS_DIR = "C:\\morex"
EVENT_SOURCES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
BINARIES = ("Morex.exe", "morex_e2e_tool.exe", "morex_e2e_desktop.exe", "morex_test_service.exe",
            "morex_bench_floor.exe", "morex_refusing_event_log.exe")
SERVICE_BINARY = "morex_test_service.exe"


class WindowsPaths:
    morex = f"{WINDOWS_DIR}\\Morex.exe"
    tool = f"{WINDOWS_DIR}\\morex_e2e_tool.exe"
    desktop = f"{WINDOWS_DIR}\\morex_e2e_desktop.exe"
    service = f"{WINDOWS_DIR}\\{SERVICE_BINARY}"
    floor = f"{WINDOWS_DIR}\\morex_bench_floor.exe"
    refusing = f"{WINDOWS_DIR}\\morex_refusing_event_log.exe"


# Windows Installer's success that needs a restart to finish (msiexec /norestart).
ERROR_SUCCESS_REBOOT_REQUIRED = 3010


class BoxError(RuntimeError):
    """A step on a box failed or did not finish in time; the text names both, and exit_code is
    the failed program's (None where none ended)."""

    def __init__(self, text, exit_code=None):
        super().__init__(text)
        self.exit_code = exit_code


class Box:
    """The steps that are the same on every box, made of its own `turn` (a lock on the box)
    and `program` (runs one Windows program, waited for, and returns its stdout and stderr)."""

    def service(self, verb, name=SERVICE_NAME, check=True):
        """Queries the service (state) or brings it to a state (start, stop) and waits until it
        is there; with check=False, "" for a service that does not exist."""
        with self.turn():
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

    def source_registered(self, source="Morex"):
        """Whether the Application log has a key for the source, as an installer makes it."""
        return self.exit_code("reg", "query", EVENT_SOURCES + source) == 0

    def kept(self, folder, restart=False):
        """Whether the Windows folder is there, and its files by name, less what Windows deletes
        at the restart that an installer asked for (where there is one: Windows)."""
        local = self.local_path(folder)
        deleted = self.pending_deletions() if restart else set()
        return (local.exists() and folder.lower() not in deleted,
                {path.name: path.read_bytes() for path in local.glob("*")
                 if f"{folder}\\{path.name}".lower() not in deleted})

    @staticmethod
    def limit_probe_refusal():
        """Why the probe of the log's limits may not write its entries here, or None: Wine's
        event log keeps nothing."""
        return None

    def settled_state(self, name=SERVICE_NAME, seconds=20, check=True):
        """The service's state once it is no longer start- or stop-pending: Morex sends its
        request and ends without waiting for the service to get there."""
        deadline = time.monotonic() + seconds
        while (state := self.service("state", name, check)).endswith("-pending"):
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        return state
