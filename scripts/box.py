"""What every box of the end-to-end cases shares, whether a Wine prefix (scripts/winebox.py) or
Windows itself (scripts/windowsbox.py): where the Windows-side binaries go, the test service,
and the steps made of the e2e tool. Standard library only: it loads on Windows too."""

import time

SERVICE_NAME = "MorexTest"
WINDOWS_DIR = "C:\\morex"
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


class BoxError(RuntimeError):
    """A step on a box failed or did not finish in time; the text names both."""


class Box:
    """The steps that are the same on every box, made of its own `turn` (a lock on the box)
    and `program` (runs one Windows program, waited for, and returns its stdout and stderr)."""

    def service(self, verb, name=SERVICE_NAME, check=True):
        """Queries the service (state) or brings it to a state (start, stop) and waits until it
        is there; with check=False, "" for a service that does not exist."""
        with self.turn():
            return self.program(WindowsPaths.tool, verb, name, check=check)[0].strip()

    def settled_state(self, name=SERVICE_NAME, seconds=20, check=True):
        """The service's state once it is no longer start- or stop-pending: Morex sends its
        request and ends without waiting for the service to get there."""
        deadline = time.monotonic() + seconds
        while (state := self.service("state", name, check)).endswith("-pending"):
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        return state
