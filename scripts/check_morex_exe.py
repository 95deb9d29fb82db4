#!/usr/bin/python3
"""Checks the built Morex.exe: a 64-bit GUI-subsystem PE that imports only DLLs of Windows
itself (and not user32, which only the message box needs), carries exactly the expected
version information and its application manifest, keeps ASLR (high entropy, with
relocations), DEP and stack cookies within 128 KiB, and has no time stamp, so that the same
commit makes the same bytes. With a second path, checks MorexEvents.dll too: resources alone
(a message table of exactly the event IDs Morex writes, each text only its insertion string,
the same in the neutral language and in U.S. English, and the version), no code, no imports,
no time stamp.

Unless told --unhardened REASON (then skipped, saying why): Control Flow Guard, CET
compatibility, and a CodeView record naming by its bare name the PDB beside the image.

    python3 -m scripts.check_morex_exe MOREX_EXE [MOREX_EVENTS_DLL] [--unhardened REASON]
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

from scripts.release import project_version

VERSION = tuple(map(int, project_version().split("."))) + (0,)  # 1.0.0 -> 1.0.0.0
VERSION_TEXT = f"{VERSION[0]}.{VERSION[1]:02d}"  # 1.0.0 -> "1.00"
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "ntdll.dll"}
EXPECTED_STRINGS = {
    "FileDescription": "Starts or stops a Windows service and records the outcome in the event log",
    "FileVersion": VERSION_TEXT,
    "InternalName": "Morex",
    "OriginalFilename": "Morex.exe",
    "ProductName": "Morex",
    "ProductVersion": VERSION_TEXT,
}
EVENTS_STRINGS = dict(EXPECTED_STRINGS, FileDescription="Texts of Morex's event-log entries",
                      InternalName="MorexEvents", OriginalFilename="MorexEvents.dll")
RT_MESSAGETABLE = pefile.RESOURCE_TYPE["RT_MESSAGETABLE"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
# The message table's languages: neutral, and U.S. English for a viewer that asks for it.
MESSAGE_LANGUAGES = [pefile.LANG["LANG_NEUTRAL"],
                     pefile.SUBLANG["SUBLANG_ENGLISH_US"] << 10 | pefile.LANG["LANG_ENGLISH"]]
VFT_DLL = 2  # VS_FIXEDFILEINFO's FileType of a DLL
SUPPORTED_OS = {  # Windows 7, 8, 8.1, 10 and 11
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


def string_tables(pe):
    return [table for info in getattr(pe, "FileInfo", []) for entry in info
            if entry.Key == b"StringFileInfo" for table in entry.StringTable]


def resources(pe, resource_type):
    """(ID, language, bytes) of each resource of that type."""
    kinds = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    return [(name.id, language.id, pe.get_data(language.data.struct.OffsetToData,
                                               language.data.struct.Size))
            for kind in kinds if kind.id == resource_type
            for name in kind.directory.entries for language in name.directory.entries]


def messages(table):
    """{message ID: text without the line break after it} of a MESSAGE_RESOURCE_DATA block
    of UTF-16 texts, as windmc -U writes it."""
    found = {}
    blocks = struct.unpack_from("<I", table)[0]
    for low, high, at in struct.iter_unpack("<III", table[4:4 + 12 * blocks]):
        for message_id in range(low, high + 1):
            length = struct.unpack_from("<H", table, at)[0]
            found[message_id] = table[at + 4:at + length].decode("utf-16-le").rstrip("\0\r\n")
            at += length
    return found


def manifest_problems(pe):
    found = [(resource_id, data) for resource_id, _, data in resources(pe, RT_MANIFEST)]
    if [resource_id for resource_id, _ in found] != [1]:
        return [f"manifest resources {[i for i, _ in found]}, expected one with ID 1"]
    root = ElementTree.fromstring(found[0][1])
    problems = []
    level = root.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                      f"{ASM_V3}requestedExecutionLevel")
    if level is None or level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
        problems.append("manifest: requestedExecutionLevel is not asInvoker without uiAccess")
    supported = {e.get("Id").lower()
                 for e in root.iterfind(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                                        f"{COMPATIBILITY}supportedOS")}
    if supported != SUPPORTED_OS:
        problems.append(f"manifest: supportedOS {sorted(supported)}, expected Windows 7 to 11")
    settings = f"{ASM_V3}application/{ASM_V3}windowsSettings/"
    awareness = root.findtext(f"{settings}{SETTINGS_2016}dpiAwareness") or ""
    if root.findtext(f"{settings}{SETTINGS_2005}dpiAware") != "true/pm" or \
            not awareness.startswith("PerMonitorV2"):
        problems.append("manifest: not per-monitor DPI aware")
    identity = root.find(f"{ASM_V1}assemblyIdentity")
    if identity is None or identity.get("version") != ".".join(map(str, VERSION)):
        problems.append(f"manifest: assemblyIdentity version is not {VERSION}")
    return problems


# The canary's failure path: asks whether Windows has the fail-fast (mov ecx, 23:
# PF_FASTFAIL_AVAILABLE), then mov ecx, 2; int 29h, the fail-fast of a stack buffer overrun,
# and otherwise terminates with STATUS_STACK_BUFFER_OVERRUN (mov edx, 0xC0000409).
FAIL_FAST_QUERY = bytes.fromhex("b917000000")
FAIL_FAST_STACK_COOKIE = bytes.fromhex("b902000000cd29")
TERMINATE_STATUS = bytes.fromhex("ba090400c0")


def protected_calls(pe):
    """How many calls reach the canary's failure path: each is a function that checks its
    canary on return (the linker keeps the path only when something calls it)."""
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text").get_data()
    at = text.find(FAIL_FAST_STACK_COOKIE)
    query = text.rfind(FAIL_FAST_QUERY, max(at - 32, 0), at)
    if at < 0 or query < 0 or TERMINATE_STATUS not in text[at:at + 32]:
        return 0
    return sum(1 for i in range(len(text) - 5) if text[i] == 0xE8 and
               query - 8 <= i + 5 + int.from_bytes(text[i + 1:i + 5], "little", signed=True) <= query)


def hardening_problems(pe):
    problems = []
    for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):  # ASLR, all of it; DEP
        if not getattr(pe.OPTIONAL_HEADER, f"IMAGE_DLLCHARACTERISTICS_{flag}"):
            problems.append(f"{flag} is off")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if pe.FILE_HEADER.IMAGE_FILE_RELOCS_STRIPPED or relocations.Size == 0:
        problems.append("relocations stripped: Windows cannot move the image (no ASLR)")
    if not protected_calls(pe):
        problems.append("no stack cookies: nothing calls the canary's fail-fast")
    if len(pe.__data__) > 128 * 1024:
        problems.append(f"{len(pe.__data__)} bytes, more than the 128 KiB we hold")
    return problems


IMAGE_GUARD_CF_INSTRUMENTED = 0x100  # and 0x400, the function table present
CET_COMPAT = 0x1  # IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT


def guard_problems(pe):
    """Control Flow Guard as the loader turns it on: the image's bit, and a load configuration
    with the check function, instrumented code and the table of valid call targets."""
    if not hasattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG"):
        return ["no load configuration: Windows never turns Control Flow Guard on"]
    fields = pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct
    flags, wanted = getattr(fields, "GuardFlags", 0), IMAGE_GUARD_CF_INSTRUMENTED | 0x400
    if flags & wanted != wanted or not getattr(fields, "GuardCFCheckFunctionPointer", 0) or \
            not pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_GUARD_CF:
        return [f"Control Flow Guard is off (GuardFlags {flags:#x}, DllCharacteristics "
                f"{pe.OPTIONAL_HEADER.DllCharacteristics:#x})"]
    return []


def debug_entry(pe, kind):
    return next((e for e in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
                 if e.struct.Type == pefile.DEBUG_TYPE[f"IMAGE_DEBUG_TYPE_{kind}"]), None)


def cet_problems(pe):
    entry = debug_entry(pe, "EX_DLLCHARACTERISTICS")
    if not entry or not pe.get_data(entry.struct.AddressOfRawData, 1)[0] & CET_COMPAT:
        return ["not marked CET shadow-stack compatible"]
    return []


def pdb_problems(pe, path):
    """A CodeView record that names the PDB by its bare name (no build path in the image),
    and that PDB beside the image: the one this link wrote, whose information stream holds
    the record's age and GUID, which every link makes anew."""
    entry = debug_entry(pe, "CODEVIEW")
    record = getattr(entry, "entry", None)
    if record is None or record.CvSignature != b"RSDS":
        return ["no CodeView record: no PDB names this image"]
    name = record.PdbFileName.rstrip(b"\0").decode()
    if not name.endswith(".pdb") or "\\" in name or "/" in name:
        return [f"the CodeView record names {name!r}, not a PDB by its bare file name"]
    pdb = Path(path).with_name(name)
    identity = struct.pack("<I", record.Age) + pe.get_data(entry.struct.AddressOfRawData + 4, 16)
    if not pdb.exists() or identity not in pdb.read_bytes():
        return [f"{pdb} is missing or is not this image's PDB"]
    return []


def check(path, unhardened):
    pe = pefile.PE(path)
    problems = []
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected GUI")
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        problems.append("not an x64 image")

    imports = sorted(d.dll.decode().lower() for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    foreign = [dll for dll in imports if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")]
    if foreign:
        problems.append(f"imports DLLs that Windows does not ship: {foreign}")
    if "user32.dll" in imports:
        problems.append("imports user32.dll, which only the message box needs: every run would "
                        "pay for its start-up")

    problems += version_problems(pe, EXPECTED_STRINGS)
    problems += manifest_problems(pe)
    problems += hardening_problems(pe)
    if unhardened:
        print(f"skipped: Control Flow Guard, CET compatibility and the PDB ({unhardened})")
    else:
        problems += guard_problems(pe) + cet_problems(pe) + pdb_problems(pe, path)

    print(f"{path}: subsystem {pe.OPTIONAL_HEADER.Subsystem}, imports {imports}, "
          f"DllCharacteristics {pe.OPTIONAL_HEADER.DllCharacteristics:#x}, "
          f"{protected_calls(pe)} canary checks")
    return report(problems)


def check_events(path):
    pe = pefile.PE(path)
    problems = version_problems(pe, EVENTS_STRINGS)
    if not pe.FILE_HEADER.IMAGE_FILE_DLL or pe.VS_FIXEDFILEINFO[0].FileType != VFT_DLL:
        problems.append("not a DLL")
    if pe.OPTIONAL_HEADER.AddressOfEntryPoint or hasattr(pe, "DIRECTORY_ENTRY_IMPORT") or \
            hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        problems.append("an entry point, imports or exports: a message file needs none")
    sections = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
    if sections != [".rsrc"]:
        problems.append(f"sections {sections}, expected .rsrc alone")
    tables = resources(pe, RT_MESSAGETABLE)
    found = messages(tables[0][2]) if tables else {}
    languages = [(i, lang) for i, lang, _ in tables]
    if languages != [(1, lang) for lang in MESSAGE_LANGUAGES] or tables[0][2] != tables[1][2]:
        problems.append(f"message tables {languages}, expected ID 1 twice, language neutral and "
                        "U.S. English, with the same texts")
    elif found != {event_id: "%1%0" for event_id in (100, 101, 102, 103)}:
        problems.append(f"messages {found}, expected 100-103, each %1%0")
    print(f"{path}: entry {pe.OPTIONAL_HEADER.AddressOfEntryPoint:#x}, messages {found}")
    return report(problems)


def report(problems):
    print("".join(f"FAIL: {problem}\n" for problem in problems), end="")
    return not problems


def version_problems(pe, expected_strings):
    """The version resource, and no time stamp: the same commit makes the same bytes."""
    problems = []
    if pe.FILE_HEADER.TimeDateStamp != 0:
        problems.append(f"time stamp {pe.FILE_HEADER.TimeDateStamp:#x}: two builds would differ")
    fixed = pe.VS_FIXEDFILEINFO[0]
    for name, ms, ls in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                         ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if version != VERSION:
            problems.append(f"numeric {name} version {version}, expected {VERSION}")

    tables = string_tables(pe)
    if [t.LangID.upper() for t in tables] != [b"040904B0"]:
        problems.append(f"string tables {[t.LangID for t in tables]}, expected one 040904B0")
    elif {k.decode(): v.decode() for k, v in tables[0].entries.items()} != expected_strings:
        problems.append(f"version strings {tables[0].entries}")
    return problems


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("exe")
    parser.add_argument("events_dll", nargs="?")
    parser.add_argument("--unhardened", metavar="REASON",
                        help="why this toolchain cannot harden: those checks are skipped")
    args = parser.parse_args()
    passed = [check(args.exe, args.unhardened)]
    passed += [check_events(args.events_dll)] if args.events_dll else []
    sys.exit(0 if all(passed) else 1)
