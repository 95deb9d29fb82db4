#!/usr/bin/python3
"""End-to-end cases: each one is a real run of Morex.exe under Wine, checked by the entries it
wrote and by the service's state as the service manager reports it.

    python3 -m tests.e2e.e2e_cases PREFIX WINDOWS_BUILD_DIR setup|teardown|CASE
    python3 -m tests.e2e.e2e_cases --list                          (the cases, one a line)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from scripts.release import product_code
from scripts.winebox import SERVICE_NAME, WINDOWS_DIR, WindowsPaths, WineBox, WineError

ERROR, INFORMATION = 1, 4
USAGE = "Usage: /command start|stop /service <service name>"


SOURCE = Path(__file__).resolve().parents[2]
SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morex"
MESSAGE_FILE = "C:\\Program Files\\Morex\\MorexEvents.dll"
ANSI = "cp1252"  # the prefix's ANSI code page, read from it in main()


def entry(event_type, event_id, text):
    return (event_type, 0, event_id, 1, len(text.encode(ANSI, "replace")) + 1, text)


def uninstall_key(version):
    return ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
            f"{{{product_code(version)}}}")


def summary(entries):
    return [(e.type, e.category, e.event_id, e.strings, e.data_size, e.text) for e in entries]


class Cases:
    def __init__(self, box):
        self.box = box

    def _expect(self, arguments, before, expected_entries, after, command_line=None):
        if before:
            self.box.service(before)
        got = summary(self.box.run_morex(arguments, command_line))
        assert got == expected_entries, f"entries {got}\n   expected {expected_entries}"
        state = self.box.settled_state()
        assert state == after, f"service is {state}, expected {after}"

    def start_accepted(self):
        self._expect(f"/command start /service {SERVICE_NAME}", "stop",
                     [entry(INFORMATION, 100, f"start {SERVICE_NAME}")], "running")

    def stop_accepted(self):
        self._expect(f"/command stop /service {SERVICE_NAME}", "start",
                     [entry(INFORMATION, 100, f"stop {SERVICE_NAME}")], "stopped")

    def start_of_running_service(self):
        self._expect(f"/service {SERVICE_NAME} /command start", "start",
                     [entry(ERROR, 101, f"1056 - start {SERVICE_NAME}")], "running")

    def stop_of_stopped_service(self):
        self._expect(f"/command stop /service {SERVICE_NAME}", "stop",
                     [entry(ERROR, 101, f"1062 - stop {SERVICE_NAME}")], "stopped")

    def unknown_service(self):
        self._expect("/command start /service NoSuchService", "stop",
                     [entry(ERROR, 101, "1060 - start NoSuchService")], "stopped")

    def no_arguments(self):
        self._expect("", "stop",
                     [entry(ERROR, 102, f'The command line has no "/command" option. {USAGE}')],
                     "stopped")

    def missing_service_option(self):
        self._expect("/command start", "stop",
                     [entry(ERROR, 102, f'The command line has no "/service" option. {USAGE}')],
                     "stopped")

    def duplicated_key(self):
        self._expect(f"/command start /service {SERVICE_NAME} /COMMAND start", "stop",
                     [entry(ERROR, 102, 'The command line gives "/COMMAND" more than once (letter '
                                        'case is ignored); each option or word may appear only once.')],
                     "stopped")

    def option_without_value(self):
        self._expect("/command start /service", "stop",
                     [entry(ERROR, 102,
                            'The option "/service" at the end of the command line has no value.')],
                     "stopped")

    def keys_in_any_letter_case(self):
        self._expect(f"/COMMAND start /Service {SERVICE_NAME}", "stop",
                     [entry(INFORMATION, 100, f"start {SERVICE_NAME}")], "running")

    def command_word_is_exact(self):
        self._expect(f"/command Start /service {SERVICE_NAME}", "start",
                     [entry(INFORMATION, 100, f"Start {SERVICE_NAME}")], "stopped")

    def trailing_blank_gives_an_empty_service_name(self):
        self._expect("/command start /service ", "stop", [entry(ERROR, 101, "123 - start ")],
                     "stopped")

    def double_space_gives_an_empty_value(self):
        self._expect(f"/command  start /service {SERVICE_NAME}", "start",
                     [entry(INFORMATION, 100, f" {SERVICE_NAME}")], "stopped")

    def full_width_name_never_reaches_the_ascii_service(self):
        # "ＭｏｒｅｘＴｅｓｔ" in full-width letters: a best-fit conversion would read MorexTest.
        full_width = "".join(chr(ord(c) + 0xFEE0) for c in SERVICE_NAME)
        self._expect(f"/command start /service {full_width}", "stop",
                     [entry(ERROR, 101, "1060 - start " + "?" * len(SERVICE_NAME))], "stopped")

    def _tool_report(self, verb, overrides=""):
        """Runs the build whose event log refuses every entry (1502) with a stop of the
        stopped service, so that event 101 is refused, through the tool's `verb`. Returns the
        tool's report and whether that process loaded user32, which it does only to show a
        box."""
        self.box.service("stop")
        report, debug = self.box.run_command_line(
            f"{WindowsPaths.refusing} /command stop /service {SERVICE_NAME}", verb,
            debug="-all,+loaddll,err+all,fixme+advapi", overrides=overrides)
        print(report)
        assert "ReportEventA" not in debug, "the refusing build reached the real event log"
        loads = [line.split(":", 1) for line in debug.splitlines() if ":loaddll:" in line]
        refusing = {pid for pid, line in loads if "morex_refusing_event_log.exe" in line}
        assert len(refusing) == 1, f"the refusing build was loaded by {refusing}"
        loaded_user32 = any(pid in refusing and "user32.dll" in line for pid, line in loads)
        return report.splitlines(), loaded_user32

    def message_box_on_a_visible_desktop(self):
        report, loaded_user32 = self._tool_report("box")
        assert report == [
            "boxes 1", 'caption "Morex"', 'text "1502"', "buttons 1:OK", "icon none",
            "running while the box is up: yes", "pressed OK", "ended by itself: yes, exit code 0",
            "boxes after OK: 0"], report
        assert loaded_user32

    def planted_dlls_are_never_loaded(self):
        """A version.dll and an imm32.dll beside the refusing build, forced native as Windows
        treats a DLL that is not a KnownDLL: the box path loads neither. The desktop tool in
        the same folder, which imports user32 the ordinary way, loads both: the plant works."""
        folder = self.box.prefix / "drive_c" / "morex"
        planted = [folder / "version.dll", folder / "imm32.dll"]
        try:
            for path in planted:
                shutil.copyfile(self.box.bin / "morex_planted.dll", path)
            report, loaded_user32 = self._tool_report("box", "version,imm32=n,b")
            marks = (folder / "planted.txt").read_bytes().decode("utf-16-le").splitlines()
        finally:
            for path in [*planted, folder / "planted.txt"]:
                path.unlink(missing_ok=True)
        print("\n".join(marks))
        assert report[:3] == ["boxes 1", 'caption "Morex"', 'text "1502"'] and loaded_user32, report
        assert {m.split(" in ")[0] for m in marks if m.endswith("morex_e2e_desktop.exe")} == {
            f"{WINDOWS_DIR}\\version.dll", f"{WINDOWS_DIR}\\imm32.dll"}, marks
        assert not [m for m in marks if "morex_refusing_event_log" in m], marks

    def no_message_box_on_an_invisible_window_station(self):
        report, loaded_user32 = self._tool_report("hidden")
        assert report[0] == "station visible: no", report
        assert report[1].startswith("ended by itself: yes, exit code 0,"), report
        assert report[2] == "boxes seen: 0", report
        assert loaded_user32, "the run never reached the message box"

    def _registry(self, key):
        """reg query's listing of the key, or None when there is no such key."""
        try:
            return self.box.wine("reg", "query", key)[0]
        except WineError:
            return None

    def _msiexec(self, verb, msi, files=None):
        """Installs (/i) or removes (/x) the MSI silently; checks the installed files and the
        source's key, or that neither is left."""
        self.box.wine("msiexec", verb, "Z:" + str(msi).replace("/", "\\"), "/qn", timeout=300)
        installed = self.box.prefix / "drive_c" / "Program Files" / "Morex"
        key = self._registry(SOURCE_KEY)
        print(f"after msiexec {verb} {msi.name}: {key.strip() if key else 'no source key'}")
        if not files:
            assert not installed.exists() and key is None, "left behind"
            return
        assert sorted(p.name for p in installed.iterdir()) == sorted(files)
        assert all((installed / n).read_bytes() == p.read_bytes() for n, p in files.items())
        assert re.findall(r"^\s+(\S+)\s+(REG_\w+)\s+(.*?)\s*$", key, re.MULTILINE) == [
            ("EventMessageFile", "REG_SZ", MESSAGE_FILE), ("TypesSupported", "REG_DWORD", "0x7")]

    def _rendered(self, event_id, text):
        """What Event Viewer shows for an entry of ours: (message file, text)."""
        with self.box.turn():
            shown, _ = self.box.wine(WindowsPaths.tool, "render", str(event_id),
                                     extra_env={"MOREX_RENDER_TEXT": text})
        return tuple(shown.split("\n", 1))

    def msi_installs_runs_and_uninstalls(self):
        """The release's MSI, as an administrator deploys it: installed silently, with the
        source registered for the message file beside Morex.exe, so that every entry of a run
        from Program Files reads in Event Viewer exactly as Morex wrote it; a later version
        installed over it (a major upgrade) keeps the source; removed silently, and nothing of
        ours left behind."""
        release = Path(os.environ["MOREX_RELEASE_DIR"])
        msi = next(release.glob("Morex-*-win64.msi"))
        version = msi.name.split("-")[1]
        files = {name: release / name for name in ("Morex.exe", "MorexEvents.dll")}
        assert self._registry(SOURCE_KEY) is None
        self._msiexec("/i", msi, files)
        assert version in self._registry(uninstall_key(version))

        program = '"C:\\Program Files\\Morex\\Morex.exe" /command'
        runs = [(f"start /service {SERVICE_NAME}", "stop", "running", 100, f"start {SERVICE_NAME}"),
                (f"stop /service {SERVICE_NAME}", None, "stopped", 100, f"stop {SERVICE_NAME}"),
                ("%1 /service %2%%%n", None, "stopped", 101, "1060 - %1 %2%%%n")]
        for arguments, before, after, event_id, text in runs:
            self._expect(None, before, [entry(ERROR if event_id == 101 else INFORMATION,
                                              event_id, text)], after,
                         command_line=f"{program} {arguments}")
        texts = [run[3:] for run in runs]
        written = summary(self.box.run_morex(None, f"{program} start /service {'x' * 30990}"))
        texts.append((101, f"{written[0][5].split(' ')[0]} - start {'x' * 30990}"))
        assert [e[:5] for e in written] == [entry(ERROR, *texts[-1])[:5]], written  # Wine
        for event_id, text in texts:  # prints only the head of a long text
            assert self._rendered(event_id, text) == (MESSAGE_FILE, text), (event_id, text)
            print(f"event {event_id}, {len(text)} characters, reads {text[:30]!r}...")

        with tempfile.TemporaryDirectory() as scratch:
            major, minor, patch = map(int, version.split("."))
            newer = f"{major}.{minor}.{patch + 1}"  # the same files, a major upgrade
            subprocess.run(["/usr/bin/python3", "-m", "scripts.release", "package",
                            *map(str, files.values()), newer, "upgrade", "1700000000", scratch],
                           cwd=SOURCE, check=True, stderr=subprocess.DEVNULL)
            newer_msi = Path(scratch) / f"Morex-{newer}-win64.msi"
            self._msiexec("/i", newer_msi, files)
            assert self._registry(uninstall_key(version)) is None, "the older version stayed"
            assert self._rendered(100, "stop x") == (MESSAGE_FILE, "stop x")
            self._msiexec("/x", newer_msi)
        assert self._registry(uninstall_key(newer)) is None, "the uninstall entry stayed"

    def quoted_program_name_with_blanks_after_it(self):
        command_line = f'"{WindowsPaths.morex}"   /command start /service {SERVICE_NAME}'
        self._expect(None, "stop", [entry(INFORMATION, 100, f"start {SERVICE_NAME}")], "running",
                     command_line=command_line)


def main(prefix, build_dir, what):
    global ANSI
    box = WineBox(prefix, build_dir, display=True)
    if what == "setup":
        box.create()
    elif what == "teardown":
        box.shutdown()
        assert box.our_processes() == [], f"left running: {box.our_processes()}"
    else:
        ANSI = f"cp{box.ansi_code_page()}"
        getattr(Cases(box), what)()
    print(f"{what}: passed")


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print("\n".join(name for name in vars(Cases) if not name.startswith("_")))
    else:
        main(*sys.argv[1:4])
