#!/usr/bin/python3
"""The reader of Wine's debug output, on lines as Wine 8 prints them."""

import unittest

from scripts.wine_debug import parse_entries, unescape_wine_string

SAMPLE = r"""0108:fixme:advapi:RegisterEventSourceA ("","Morex"): stub
0108:fixme:advapi:RegisterEventSourceW (L"",L"Morex"): stub
0108:fixme:advapi:ReportEventA (00000000CAFE4242,0x0001,0x0000,0x00000067,0000000000000000,0x0001,0x00000027,000000000021FC30,0000000000349A60): stub
0108:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001,0x0000,0x00000067,0000000000000000,0x0001,0x00000027,0000000000349AE0,0000000000349A60): stub
0108:err:eventlog:ReportEventW L"OpenSCManager failed. LastDllError = 5"
0108:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub
0108:fixme:advapi:ReportEventA (00000000CAFE4242,0x0004,0x0000,0x00000064,0000000000000000,0x0001,0x0000000d,000000000021FC30,0000000000349A60): stub
0108:trace:eventlog:ReportEventW L"caf\00e9 \"x\"\\y"
"""


class ParseEntries(unittest.TestCase):
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


if __name__ == "__main__":
    unittest.main()
