#!/usr/bin/python3
"""Checks the built Morex.exe: a 64-bit GUI-subsystem PE that imports only DLLs of Windows
itself and carries exactly the expected version information."""

import sys

import pefile

SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "ntdll.dll"}
EXPECTED_STRINGS = {
    "FileDescription": "Starts or stops a Windows service and records the outcome in the event log",
    "FileVersion": "1.00",
    "InternalName": "Morex",
    "OriginalFilename": "Morex.exe",
    "ProductName": "Morex",
    "ProductVersion": "1.00",
}
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def string_tables(pe):
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if entry.Key == b"StringFileInfo":
                for table in entry.StringTable:
                    yield table


def check(path):
    pe = pefile.PE(path)
    problems = []
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected GUI (2)")
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        problems.append("not an x64 image")

    imports = sorted(d.dll.decode().lower() for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    foreign = [dll for dll in imports if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")]
    if foreign:
        problems.append(f"imports DLLs that Windows does not ship: {foreign}")
    if "user32.dll" in imports:
        problems.append("imports user32.dll, which only the message box needs: every run would "
                        "pay for its start-up")

    fixed = pe.VS_FIXEDFILEINFO[0]
    for name, ms, ls in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                         ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if version != (1, 0, 0, 0):
            problems.append(f"numeric {name} version {version}, expected 1.0.0.0")

    tables = list(string_tables(pe))
    if [t.LangID for t in tables] != [b"040904B0"] and [t.LangID for t in tables] != [b"040904b0"]:
        problems.append(f"string tables {[t.LangID for t in tables]}, expected one 040904B0")
    elif {k.decode(): v.decode() for k, v in tables[0].entries.items()} != EXPECTED_STRINGS:
        problems.append(f"version strings {tables[0].entries}")

    print(f"{path}: subsystem {pe.OPTIONAL_HEADER.Subsystem}, imports {imports}")
    for problem in problems:
        print(f"FAIL: {problem}")
    return not problems


if __name__ == "__main__":
    sys.exit(0 if check(sys.argv[1]) else 1)
