#!/usr/bin/python3
"""The readers of the entries that a run wrote: from Wine's debug output, on lines as Wine 8
prints them; from the Windows log, on event XML as Microsoft's event schema gives it."""

import base64
import os
import shutil
import unittest.mock

from scripts.box import (Box, BoxError, Entry, remove_when_released, reported_exit_code,
                         scratch_folder)
from scripts.wine_debug import parse_entries, unescape_wine_string
from scripts.windowsbox import WindowsBox, parse_event

SAMPLE = r"""0108:fixme:advapi:RegisterEventSourceA ("","Morex"): stub
0108:fixme:advapi:RegisterEventSourceW (L"",L"Morex"): stub
0108:fixme:advapi:ReportEventA (00000000CAFE4242,0x0001,0x0000,0x00000067,0000000000000000,0x0001,0x00000027,000000000021FC30,0000000000349A60): stub
0108:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001,0x0000,0x00000067,0000000000000000,0x0001,0x00000027,0000000000349AE0,0000000000349A60): stub
0108:err:eventlog:ReportEventW L"OpenSCManager failed. LastDllError = 5"
0108:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub
0108:fixme:advapi:ReportEventA (00000000CAFE4242,0x0004,0x0000,0x00000064,0000000000000000,0x0001,0x0000000d,000000000021FC30,0000000000349A60): stub
0108:trace:eventlog:ReportEventW L"caf\00e9 \"x\"\\y"
"""


# A classic entry as Get-WinEvent's ToXml() gives it: the schema's System part (EventID with
# the ID's upper 16 bits as Qualifiers; Level from the entry's type; Task, its category), and
# EventData with one Data per string and the data as hex in Binary.
EVENT_XML = """<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>
<Provider Name='Morex'/><EventID Qualifiers='{qualifiers}'>{event_id}</EventID><Version>0</Version>
<Level>{level}</Level><Task>{task}</Task><Opcode>0</Opcode><Keywords>0x80000000000000</Keywords>
<TimeCreated SystemTime='2026-12-08T16:00:00.1234567Z'/><EventRecordID>4242</EventRecordID>
<Correlation/><Execution ProcessID='4' ThreadID='8'/><Channel>Application</Channel>
<Computer>runner</Computer><Security/></System><EventData>{data}</EventData></Event>"""


class ParseEntries(unittest.TestCase):
    def test_reads_an_entry_of_the_windows_log(self):
        rows = [  # qualifiers, ID, level, task, EventData; the entry read, less the message
            (0, 101, 2, 0, "<Data>1060 - start caf\u00e9 &amp; </Data><Binary>31303630202D20737461"
             "727420636166E920262000</Binary>", (1, 0, 101, 1, 21, "1060 - start caf\u00e9 & ",
                                                 b"1060 - start caf\xe9 & \0")),
            (0x4000, 100, 4, 3, "<Data></Data><Binary>00</Binary>",
             (4, 3, 0x40000064, 1, 1, "", b"\0")),
            (0, 102, 3, 0, "", (2, 0, 102, 0, 0, "", b"")),
        ]
        for qualifiers, event_id, level, task, data, read in rows:
            xml = EVENT_XML.format(qualifiers=qualifiers, event_id=event_id, level=level,
                                   task=task, data=data)
            self.assertEqual(parse_event(xml, "shown"), Entry("Morex", *read, message="shown"))

    def test_reads_each_report_with_its_text(self):
        entries = parse_entries(SAMPLE)
        self.assertEqual([(e.source, e.type, e.category, e.event_id, e.strings, e.data_size, e.text)
                          for e in entries],
                         [("Morex", 1, 0, 103, 1, 39, "OpenSCManager failed. LastDllError = 5"),
                          ("Morex", 4, 0, 100, 1, 13, 'caf\u00e9 "x"\\y')])

    def test_unescapes_and_keeps_a_cut_literal(self):
        self.assertEqual(unescape_wine_string(r'L"a\tb\nc"'), "a\tb\nc")
        self.assertEqual(unescape_wine_string(r'L"abc"...'), "abc")

    def test_formats_an_administrators_line(self):
        line = parse_entries(SAMPLE)[1].line()
        self.assertEqual(line, 'Application  Morex  Information  100  caf\u00e9 "x"\\y')

    def test_a_box_lacking_a_step_of_the_interface_is_refused_and_windows_has_them_all(self):
        with unittest.mock.patch("subprocess.run", side_effect=AssertionError("ran a program")):
            self.assertIsInstance(WindowsBox("."), Box)
        steps = dict.fromkeys(Box.__abstractmethods__ - {"run_morex"}, lambda self: None)
        self.assertRaises(TypeError, type("WithoutRunMorex", (Box,), steps))


class Answer:
    """What subprocess.run gives back for one program run."""

    def __init__(self, code=0, out=""):
        self.returncode, self.stdout, self.stderr = code, out.encode(), b""


class WindowsRunnerFaults(unittest.TestCase):
    """What a first run on a hosted Windows runner meets, each against scripted answers of
    Windows' programs: subprocess.run answering as they would."""

    def scripted(self, answer):
        calls = []
        patch = unittest.mock.patch("subprocess.run", side_effect=lambda args, env, **_: (
            calls.append((args, env)) or answer(args)))
        patch.start()
        self.addCleanup(patch.stop)
        return calls

    def test_powershell_gets_no_module_path_of_pwsh_stops_on_errors_and_must_answer(self):
        calls = self.scripted(lambda args: Answer(out=""))
        with unittest.mock.patch.dict(os.environ, PSModulePath="C:\\pwsh\\7\\Modules"):
            with self.assertRaisesRegex(BoxError, "PowerShell gave no JSON but ''"):
                WindowsBox(".").pending_deletions()
        args, env = calls[0]
        self.assertNotIn("PSModulePath", env)
        self.assertTrue(base64.b64decode(args[-1]).decode("utf-16-le").startswith(
            "$ErrorActionPreference = 'Stop'\n"))

    def test_msiexec_is_asked_again_while_another_installation_runs(self):
        answers = iter([Answer(1618), Answer(1618), Answer(0)])
        calls = self.scripted(lambda args: next(answers))
        with unittest.mock.patch("time.sleep"):
            self.assertEqual(WindowsBox(".").msiexec("/x", "{PRODUCT}"), 0)
        self.assertEqual(len(calls), 3)

    def test_a_run_that_a_message_box_holds_fails_with_what_the_tool_saw(self):
        report = 'a message box "1502" up after 20000 ms, ended by the tool\r\nexit code 259\r\n'
        self.assertRaisesRegex(BoxError, 'did not end: a message box "1502"', reported_exit_code,
                               report)

    def test_a_bundle_without_a_binary_is_refused(self):
        self.scripted(lambda args: Answer(1060) if args[:2] == ("sc.exe", "query") else
                      Answer(out="[]"))
        with unittest.mock.patch("shutil.copy2"):
            self.assertRaisesRegex(BoxError, "has no Morex.exe", WindowsBox("/nonexistent").create)

    def test_a_scratch_folder_waits_for_its_files_to_be_released_within_a_bound(self):
        held = [PermissionError(13, "in use")] * 2
        with unittest.mock.patch("time.sleep"), unittest.mock.patch(
                "shutil.rmtree", side_effect=[*held, None]) as removal, scratch_folder() as folder:
            pass
        self.assertEqual(removal.call_count, 3)
        with unittest.mock.patch("shutil.rmtree", side_effect=held[0]):
            self.assertRaises(PermissionError, remove_when_released, folder, seconds=-1)
        shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
