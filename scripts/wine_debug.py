"""The event-log entries that a run wrote, read from Wine's debug output.

Wine keeps no event records: each ReportEventA call prints
    fixme:advapi:ReportEventA (handle,0xTYPE,0xCATEGORY,0xEVENTID,sid,0xNSTRINGS,0xDATASIZE,...)
and each insertion string follows on the eventlog channel as an escaped L"..." literal.
"""

import re

from scripts.box import Entry

_REPORT = re.compile(
    r"fixme:advapi:ReportEventA \((\w+),0x(\w+),0x(\w+),0x(\w+),(\w+),0x(\w+),0x(\w+),")
_SOURCE = re.compile(r"fixme:advapi:RegisterEventSourceA \((.*?),\"(.*?)\"\)")
_STRING = re.compile(r":(?:trace|err|warn|fixme):eventlog:ReportEventW (L\".*)$")


def unescape_wine_string(literal):
    """Reads Wine's debugstr_w form: L"..." with \\\\, \\", \\n, \\r, \\t and \\XXXX escapes; a
    cut-off literal ends in "..." and keeps what was printed."""
    body = literal[2:]
    out, i = [], 0
    while i < len(body) and body[i] != '"':
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = body[i + 1]
        if nxt in "\\\"":
            out.append(nxt)
            i += 2
        elif nxt in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[nxt])
            i += 2
        else:
            out.append(chr(int(body[i + 1:i + 5], 16)))
            i += 5
    return "".join(out)


def parse_entries(debug_output):
    entries, source = [], ""
    pending = None
    for line in debug_output.splitlines():
        if m := _SOURCE.search(line):
            source = m.group(2)
        elif m := _REPORT.search(line):
            pending = Entry(source, int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16),
                            int(m.group(6), 16), int(m.group(7), 16), "")
            entries.append(pending)
            if pending.strings == 0:
                pending = None
        elif pending and (m := _STRING.search(line)):
            pending.text = unescape_wine_string(m.group(1))
            pending = None
    return entries
