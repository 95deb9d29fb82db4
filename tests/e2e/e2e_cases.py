"""End-to-end cases: each one is a real run of Morex.exe, checked by the entries it wrote and
by the service's state as the service manager reports it, on a box: a Wine prefix, or Windows
itself. The runner (python3 -m tests.e2e run) hands over the box and the release; the cases
share the box, made anew for them.
"""

import json
import re
import shutil
import unittest
import zipfile

from scripts.box import (ERROR_SUCCESS_REBOOT_REQUIRED, SERVICE_NAME, WINDOWS_DIR, WindowsPaths,
                         scratch_folder)

ERROR, INFORMATION = 1, 4
USAGE = "Usage: /command start|stop /service <service name>"
SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morex"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
INSTALLED = "C:\\Program Files\\Morex"
MESSAGE_FILE = f"{INSTALLED}\\MorexEvents.dll"
INSTALLED_MOREX = f'"{INSTALLED}\\Morex.exe" /command'
MSI_SET = "msi-set.json"
BOX = None
RELEASE = None


def use(box, release):
    """The box that the cases run on, and the release folder of their bundle."""
    global BOX, RELEASE
    BOX, RELEASE = box, release


def setUpModule():
    if BOX is None:
        raise RuntimeError("no box: run the cases through python3 -m tests.e2e run")
    BOX.create()


def tearDownModule():
    BOX.shutdown()
    if left := BOX.our_processes():
        raise AssertionError(f"left running: {left}")


def exit_code(written):
    """The exit code that goes with the one entry (type, ID, text) written: 0 for a 100, the
    status at the head of a 101, 1639 (ERROR_INVALID_COMMAND_LINE) for a bad command line."""
    event_id, text = written[1:]
    return int(text.split(" - ")[0]) if event_id == 101 else {100: 0, 102: 1639}[event_id]


def summary(entries):
    return [(e.type, e.category, e.event_id, e.strings, e.data_size, e.text) for e in entries]


class BoxCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = BOX
        cls.ansi = f"cp{cls.box.ansi_code_page()}"  # what an entry's data size counts in

    def entry(self, event_type, event_id, text):
        return (event_type, 0, event_id, 1, len(text.encode(self.ansi, "replace")) + 1, text)

    def expect(self, arguments, before, written, after, command_line=None):
        """Runs Morex.exe with `arguments` (or the whole `command_line`), the service brought
        to `before` first; checks the one entry written, (type, ID, text), the exit code that
        goes with it, and the state."""
        if before:
            self.box.service(before)
        entries, code = self.box.run_morex(arguments, command_line)
        self.assertEqual(summary(entries), [self.entry(*written)])
        self.assertEqual(code, exit_code(written))
        self.assert_whole(entries)
        self.assertEqual(self.box.settled_state(), after)

    def assert_whole(self, entries):
        """Where the box reads them (Windows): the data is the text with its terminator, and a
        viewer shows the text itself, never nothing where the source is registered; but it
        expands %1, %2... in an inserted text again, with no escape: those it only shows."""
        for entry in entries:
            if entry.data is not None:
                self.assertEqual(entry.data, entry.text.encode(self.ansi, "replace") + b"\0")
                self.assertFalse(entry.message is None and self.box.source_registered(), entry)
            if entry.message is not None and "%" in entry.text:
                print(f"{entry.text!r} reads {entry.message!r} in the viewers")
            elif entry.message is not None:
                self.assertEqual(entry.message, entry.text)


S = SERVICE_NAME
FULL_WIDTH = "".join(chr(ord(c) + 0xFEE0) for c in S)  # a best-fit conversion would read S

# The (type, ID) of an entry: a request carried out, one refused, a command line that asks none.
DONE, REFUSED, NO_REQUEST = (INFORMATION, 100), (ERROR, 101), (ERROR, 102)
# Each case runs Morex.exe once: (argument text, the service brought to, the one entry written
# (type, ID, text), the service's state after).
COMMAND_LINES = {
    "start_accepted": (f"/command start /service {S}", "stop", (*DONE, f"start {S}"), "running"),
    "stop_accepted": (f"/command stop /service {S}", "start", (*DONE, f"stop {S}"), "stopped"),
    "start_of_running_service": (f"/service {S} /command start", "start",
                                 (*REFUSED, f"1056 - start {S}"), "running"),
    "stop_of_stopped_service": (f"/command stop /service {S}", "stop",
                                (*REFUSED, f"1062 - stop {S}"), "stopped"),
    "unknown_service": ("/command start /service NoSuchService", "stop",
                        (*REFUSED, "1060 - start NoSuchService"), "stopped"),
    "no_arguments": ("", "stop", (
        *NO_REQUEST, f'The command line has no "/command" option. {USAGE}'), "stopped"),
    "missing_service_option": ("/command start", "stop", (
        *NO_REQUEST, f'The command line has no "/service" option. {USAGE}'), "stopped"),
    "duplicated_key": (f"/command start /service {S} /COMMAND start", "stop", (
        *NO_REQUEST, 'The command line gives "/COMMAND" more than once (letter case is '
                     'ignored); each option or word may appear only once.'), "stopped"),
    "option_without_value": ("/command start /service", "stop", (
        *NO_REQUEST, 'The option "/service" at the end of the command line has no value.'),
        "stopped"),
    "keys_in_any_letter_case": (f"/COMMAND start /Service {S}", "stop", (*DONE, f"start {S}"),
                                "running"),
    "command_word_is_exact": (f"/command Start /service {S}", "start", (*DONE, f"Start {S}"),
                              "stopped"),
    "trailing_blank_gives_an_empty_service_name": ("/command start /service ", "stop",
                                                   (*REFUSED, "123 - start "), "stopped"),
    "double_space_gives_an_empty_value": (f"/command  start /service {S}", "start",
                                          (*DONE, f" {S}"), "stopped"),
    "full_width_name_never_reaches_the_ascii_service": (
        f"/command start /service {FULL_WIDTH}", "stop",
        (*REFUSED, "1060 - start " + "?" * len(S)), "stopped"),
}


class CommandLines(BoxCase):
    """The cases of COMMAND_LINES, a test each, and a command line of its own."""

    def test_quoted_program_name_with_blanks_after_it(self):
        command_line = f'"{WindowsPaths.morex}"   /command start /service {S}'
        self.expect(None, "stop", (*DONE, f"start {S}"), "running", command_line)


for _name, _case in COMMAND_LINES.items():
    setattr(CommandLines, f"test_{_name}", lambda self, case=_case: self.expect(*case))


class Limits(BoxCase):
    """Morex's largest entries, against the longest entry of their shape that this Windows
    takes, as the e2e tool measures it under a throwaway source (Wine takes any: there, up to
    the tool's cap); in single-byte text, and in double-byte text where the code page has it."""

    def test_largest_entries_of_morex_are_ones_this_windows_takes(self):
        if reason := self.box.limit_probe_refusal():
            self.skipTest(reason)
        probe, _ = self.box.program(WindowsPaths.tool, "limit", timeout=600)
        print(probe)
        for line in probe.splitlines():
            kind, character, _, taken, _, record, _, refusal = line.split()[:8]
            entries, code = self.box.run_morex("/command start /service " + chr(int(
                character[2:], 16)) * 30000)
            self.assertEqual(len(entries), 1, entries)
            self.assertEqual(code, exit_code((ERROR, 101, entries[0].text)))
            data = entries[0].data_size
            characters = (data - 1 if kind == "single-byte" else
                          len(entries[0].text.encode("utf-16-le")) // 2)
            largest = 2 * (characters + 1) + data
            print(f"{kind} text: this Windows takes {taken} characters, a record of {record} "
                  f"bytes, " + (f"and refuses one more ({refusal})" if refusal != "0" else
                                "the probe's cap") + f"; Morex's largest entry holds "
                  f"{characters} characters, a record of {largest} bytes")
            self.assertLessEqual(largest, int(record))


class MessageBoxes(BoxCase):
    """The build whose event log refuses every entry (1502), run on a stop of the stopped
    service, so that event 101 is refused and the box is due."""

    @classmethod
    def setUpClass(cls):
        if BOX.on_windows:
            raise unittest.SkipTest("needs Wine: a desktop of Xvfb's that the tool can read, "
                                    "and the refusing build's DLLs forced native")
        super().setUpClass()

    def tool_report(self, verb, overrides=""):
        """Runs the refusing build through the desktop tool's `verb`; returns the tool's report
        and whether that process loaded user32, which it does only to show a box."""
        self.box.service("stop")
        report, debug = self.box.run_command_line(
            f"{WindowsPaths.refusing} /command stop /service {SERVICE_NAME}", verb,
            debug="-all,+loaddll,err+all,fixme+advapi", overrides=overrides)
        print(report)
        self.assertNotIn("ReportEventA", debug, "the refusing build reached the real event log")
        loads = [line.split(":", 1) for line in debug.splitlines() if ":loaddll:" in line]
        refusing = {pid for pid, line in loads if "morex_refusing_event_log.exe" in line}
        self.assertEqual(len(refusing), 1, f"the refusing build was loaded by {refusing}")
        loaded_user32 = any(pid in refusing and "user32.dll" in line for pid, line in loads)
        return report.splitlines(), loaded_user32

    def test_message_box_on_a_visible_desktop(self):
        report, loaded_user32 = self.tool_report("box")
        self.assertEqual(report, [
            "boxes 1", 'caption "Morex"', 'text "1502"', "buttons 1:OK", "icon none",
            "running while the box is up: yes", "pressed OK",
            "ended by itself: yes, exit code 1062",
            "boxes after OK: 0"])
        self.assertTrue(loaded_user32)

    def test_planted_dlls_are_never_loaded(self):
        """A version.dll and an imm32.dll beside the refusing build, forced native as Windows
        treats a DLL that is not a KnownDLL: the box path loads neither. The desktop tool in
        the same folder, which imports user32 the ordinary way, loads both: the plant works."""
        folder = self.box.prefix / "drive_c" / "morex"
        planted = [folder / "version.dll", folder / "imm32.dll"]
        try:
            for path in planted:
                shutil.copyfile(self.box.bin / "morex_planted.dll", path)
            report, loaded_user32 = self.tool_report("box", "version,imm32=n,b")
            marks = (folder / "planted.txt").read_bytes().decode("utf-16-le").splitlines()
        finally:
            for path in [*planted, folder / "planted.txt"]:
                path.unlink(missing_ok=True)
        print("\n".join(marks))
        self.assertEqual(report[:3], ["boxes 1", 'caption "Morex"', 'text "1502"'])
        self.assertTrue(loaded_user32)
        self.assertEqual({m.split(" in ")[0] for m in marks if m.endswith("morex_e2e_desktop.exe")},
                         {f"{WINDOWS_DIR}\\version.dll", f"{WINDOWS_DIR}\\imm32.dll"}, marks)
        self.assertEqual([m for m in marks if "morex_refusing_event_log" in m], [])

    def test_no_message_box_on_an_invisible_window_station(self):
        report, loaded_user32 = self.tool_report("hidden")
        self.assertEqual(report[0], "station visible: no")
        self.assertTrue(report[1].startswith("ended by itself: yes, exit code 1062,"), report)
        self.assertEqual(report[2], "boxes seen: 0")
        self.assertTrue(loaded_user32, "the run never reached the message box")


def msi_set(release):
    """The release's MSI and the same files packed again, as a build of its version from
    another commit and as the next version, each with its properties, as the bundle lists
    them in MSI_SET."""
    listed = json.loads((release / MSI_SET).read_text())
    return {release / name: properties for name, properties in listed.items()}


class Msi(BoxCase):
    """The release's MSI as an administrator deploys it, in one life: installed silently, the
    source registered, every entry of a run from Program Files read in Event Viewer exactly as
    written; replaced by a rebuild of its version, then by the next version, one product listed
    at a time; removed, and nothing of ours left behind but what Windows deletes at a restart,
    asked for with 3010 by an upgrade or the removal while the Event Log service holds
    MorexEvents.dll, as it may once a viewer has read an entry."""

    def test_msi_installs_runs_upgrades_and_uninstalls(self):
        with zipfile.ZipFile(next(RELEASE.glob("Morex-*-win64.zip"))) as archive:  # but README
            files = {n: archive.read(n) for n in archive.namelist() if n != "README.txt"}
        self.assertIsNone(self.box.registry(SOURCE_KEY))
        self.properties = msi_set(RELEASE)
        with scratch_folder() as self.scratch:
            shipped, rebuilt, newer = self.properties
            self.install(shipped, files, upgrade=False)
            self.runs_and_renders()
            self.install(rebuilt, files)
            self.install(newer, files)
            self.assertEqual(self.box.rendered(100, "stop x"), (MESSAGE_FILE, "stop x"))
            self.remove(newer)

    def msiexec(self, verb, msi, may_restart=True):
        """Runs msiexec silently; returns the source's key and whether it asked for a restart."""
        log = self.scratch / f"msiexec{len(list(self.scratch.glob('*.log')))}.log"
        code = self.box.msiexec(verb, self.box.windows_path(msi), "/qn", "/norestart", "/l*v",
                                self.box.windows_path(log))
        restart = may_restart and code == ERROR_SUCCESS_REBOOT_REQUIRED
        if code and not restart:  # the log says why, in UTF-16 or in the ANSI code page
            said = log.read_bytes().replace(b"\0", b"").decode("latin-1") if log.exists() else ""
            self.fail(f"msiexec {verb} {msi.name} ended with {code}\n{said[-3000:]}")
        key = self.box.registry(SOURCE_KEY)
        print(f"after msiexec {verb} {msi.name} ({code}): {key.strip() if key else 'no key'}")
        return key, restart

    def listed(self):
        """The packages whose product Programs and Features lists, with its version."""
        return [msi for msi, properties in self.properties.items()
                if properties["ProductVersion"] in (
                    self.box.registry(UNINSTALL_KEY + properties["ProductCode"]) or "")]

    def install(self, msi, files, upgrade=True):
        """Installs the MSI silently over whatever is installed; checks the installed files,
        the source's key, and that its product alone is listed."""
        key, restart = self.msiexec("/i", msi, may_restart=upgrade)
        self.assertEqual(self.box.kept(INSTALLED, restart)[1], files)
        self.assertEqual(sorted(re.findall(r"^\s+(\S+)\s+(REG_\w+)\s+(.*?)\s*$", key, re.M)),
                         [("EventMessageFile", "REG_SZ", MESSAGE_FILE),
                          ("TypesSupported", "REG_DWORD", "0x7")])
        self.assertEqual(self.listed(), [msi])

    def remove(self, msi):
        key, restart = self.msiexec("/x", msi)
        self.assertIsNone(key, "the source's key stayed")
        self.assertEqual(self.box.kept(INSTALLED, restart), (False, {}), "left behind")
        self.assertEqual(self.listed(), [], "the uninstall entry stayed")

    def runs_and_renders(self):
        runs = [(f"start /service {S}", "stop", (INFORMATION, 100, f"start {S}"), "running"),
                (f"stop /service {S}", None, (INFORMATION, 100, f"stop {S}"), "stopped"),
                ("%1 /service %2%%%n", None, (ERROR, 101, "1060 - %1 %2%%%n"), "stopped")]
        for arguments, before, written, after in runs:
            self.expect(None, before, written, after, f"{INSTALLED_MOREX} {arguments}")
        texts = [written[1:] for _, _, written, _ in runs]
        long_name = "x" * 20466
        entries, code = self.box.run_morex(None, f"{INSTALLED_MOREX} start /service {long_name}")
        self.assert_whole(entries)
        written = summary(entries)
        texts.append((101, f"{written[0][5].split(' ')[0]} - start {long_name}"))
        self.assertEqual(code, exit_code((ERROR, *texts[-1])))
        # Wine prints only the head of a long text: its size and ID are what the run tells.
        self.assertEqual([e[:5] for e in written], [self.entry(ERROR, *texts[-1])[:5]])
        for event_id, text in texts:
            self.assertEqual(self.box.rendered(event_id, text), (MESSAGE_FILE, text))
            print(f"event {event_id}, {len(text)} characters, reads {text[:30]!r}...")
