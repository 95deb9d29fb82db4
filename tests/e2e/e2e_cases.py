#!/usr/bin/python3
"""End-to-end cases: each one is a real run of Morex.exe under Wine, checked by the entries it
wrote and by the service's state as the service manager reports it.

    python3 -m tests.e2e.e2e_cases PREFIX WINDOWS_BUILD_DIR setup|teardown|CASE
    python3 -m tests.e2e.e2e_cases PREFIX WINDOWS_BUILD_DIR demo  (a prefix of its own, made anew)
    python3 -m tests.e2e.e2e_cases --list                          (the cases, one a line)
"""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pefile

from scripts.release import product_code, project_version
from scripts.winebox import SERVICE_NAME, WINDOWS_DIR, WindowsPaths, WineBox, WineError

DEMO_SECONDS = 600

ERROR, INFORMATION = 1, 4
USAGE = "Usage: /command start|stop /service <service name>"


SOURCE = Path(__file__).resolve().parents[2]
ANSI = "cp1252"  # the prefix's ANSI code page, read from it in main()


def entry(event_type, event_id, text):
    return (event_type, 0, event_id, 1, len(text.encode(ANSI, "replace")) + 1, text)


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
        self._expect("", "stop", [entry(ERROR, 102, f'The command line has no "/command" option. {USAGE}')],
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

    def msi_installs_runs_and_uninstalls(self):
        """The release's MSI, as an administrator deploys it: installed silently, Morex run
        from Program Files, removed silently, and nothing of ours left behind."""
        release = Path(os.environ["MOREX_RELEASE_DIR"])
        msi = next(release.glob("Morex-*-win64.msi"))
        version = msi.name.split("-")[1]
        windows_msi = "Z:" + str(msi).replace("/", "\\")
        installed = self.box.prefix / "drive_c" / "Program Files" / "Morex"
        uninstall_key = ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                         f"{{{product_code(version)}}}")

        self.box.wine("msiexec", "/i", windows_msi, "/qn", timeout=300)
        assert sorted(p.name for p in installed.iterdir()) == ["Morex.exe"]
        assert (installed / "Morex.exe").read_bytes() == (release / "Morex.exe").read_bytes()
        fixed = pefile.PE(str(installed / "Morex.exe")).VS_FIXEDFILEINFO[0]
        major, minor, patch = map(int, project_version().split("."))
        assert (fixed.FileVersionMS, fixed.FileVersionLS) == (major << 16 | minor, patch << 16)
        listed, _ = self.box.wine("reg", "query", uninstall_key)
        assert "Morex" in listed and version in listed, listed
        print(f"installed Morex.exe {version} into C:\\Program Files\\Morex; listed as:\n{listed}")

        program = '"C:\\Program Files\\Morex\\Morex.exe"'
        for word, before, state in (("start", "stop", "running"), ("stop", None, "stopped")):
            self._expect(None, before, [entry(INFORMATION, 100, f"{word} {SERVICE_NAME}")], state,
                        command_line=f"{program} /command {word} /service {SERVICE_NAME}")
            print(f"{word} from Program Files: event 100, service {state}")

        self.box.wine("msiexec", "/x", windows_msi, "/qn", timeout=300)
        assert not installed.exists(), f"left behind: {list(installed.iterdir())}"
        try:
            self.box.wine("reg", "query", uninstall_key)
            raise AssertionError("the uninstall entry stayed")
        except WineError:  # reg query fails: the key is gone
            pass
        print("uninstalled: no C:\\Program Files\\Morex, no uninstall entry")

    def quoted_program_name_with_blanks_after_it(self):
        command_line = f'"{WindowsPaths.morex}"   /command start /service {SERVICE_NAME}'
        self._expect(None, "stop", [entry(INFORMATION, 100, f"start {SERVICE_NAME}")], "running",
                    command_line=command_line)


def run_demo(prefix, build_dir, *arguments):
    return subprocess.Popen(["/usr/bin/python3", "-m", "scripts.morex_demo", build_dir, prefix,
                             *arguments], cwd=SOURCE, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(demo):
    stdout, stderr = demo.communicate(timeout=DEMO_SECONDS)
    assert demo.returncode == 0, f"the demo failed ({demo.returncode}):\n{stdout}\n{stderr}"
    return stdout, stderr


def demo_line(event_id, text):
    kind = "Information" if event_id == 100 else "Error      "
    return f"Application  Morex  {kind}  {event_id}  {text}"


def demo(prefix, build_dir):
    """The run command's own code path on a new demo computer: two first runs at once take
    turns and both report; then stop, start, stop, each reported and each really done; after
    --shutdown no process of ours is left."""
    box = WineBox(prefix, build_dir)
    box.destroy()
    try:
        started = time.monotonic()
        both = [run_demo(prefix, build_dir, "/command start /service MorexDemo") for _ in "12"]
        outputs = [finish(d) for d in both]
        print(f"two first runs at once: {time.monotonic() - started:.1f} s")
        events = sorted(line for out, _ in outputs for line in out.splitlines()
                        if line.startswith("Application"))
        assert events == sorted([demo_line(100, "start MorexDemo"),
                                 demo_line(101, "1056 - start MorexDemo")]), events
        assert any("waiting" in err for _, err in outputs), "neither run said that it waits"
        for out, _ in outputs:
            assert "Service MorexDemo is now running." in out, out
        for word, state in (("stop", "stopped"), ("start", "running"), ("stop", "stopped")):
            out, _ = finish(run_demo(prefix, build_dir, f"/command {word} /service MorexDemo"))
            assert demo_line(100, f"{word} MorexDemo") in out.splitlines(), out
            assert f"Service MorexDemo is now {state}." in out, out
            assert box.settled_state("MorexDemo") == state
        finish(run_demo(prefix, build_dir, "--shutdown"))
        assert box.our_processes() == [], f"left running: {box.our_processes()}"
    finally:
        box.destroy()


def main(prefix, build_dir, what):
    global ANSI
    if what == "demo":
        demo(prefix, build_dir)
        print(f"{what}: passed")
        return
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
