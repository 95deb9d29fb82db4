#!/usr/bin/python3
"""What the release ships beside the binaries: the zip, the symbols zip and the MSI, each made
so that the same commit always gives the same bytes (fixed times, orders and codes)."""

import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import time
import uuid
import zipfile
from pathlib import Path

import olefile
import pefile

SOURCE = Path(__file__).resolve().parent.parent
# Our own namespace for the codes derived from the version and the commit: never change it.
CODES = uuid.UUID("5d0c7a52-8f1e-4b7a-9c3d-2e6f4a1b8c90")
# Every version of Morex has it, so that each one replaces the one installed: never change it.
UPGRADE_CODE = "6E1B7D2A-3C4F-4B8E-9A51-2F0D8C7B4E93"
# Upgrade table attributes.
MIGRATE_FEATURES, VERSION_MAX_INCLUSIVE = 0x1, 0x200

# Summary information (\x05SummaryInformation) property IDs and types.
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 0x1E, 0x40

def guid(text):
    return str(uuid.uuid5(CODES, text)).upper()


def product_code(version, commit):
    """Each build of a version from another commit is a product of its own, which replaces
    the installed one through the fixed upgrade code (a major upgrade): Windows Installer
    refuses a different package of an installed product code (1638)."""
    return guid(f"Morex product {version} {commit}")


def package_code(version, commit):
    """Every distinct package needs its own package code: the version and the commit."""
    return guid(f"Morex package {version} {commit}")


def filetime(epoch):
    return (int(epoch) + 11644473600) * 10_000_000


def windows_text(text):
    """Line ends as Notepad has always shown them."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode()


def texts(notices):
    """The licence and the notices as the zip and the MSI carry them beside Morex.exe."""
    return [("LICENSE.txt", windows_text((SOURCE / "LICENSE").read_text())),
            ("THIRD-PARTY-NOTICES.txt", windows_text(Path(notices).read_text()))]


def zip_release(exe, events, notices, version, epoch, target):
    usage = (SOURCE / "packaging" / "README.txt").read_text().replace("@VERSION@", version)
    write_zip([("Morex.exe", exe.read_bytes()), ("MorexEvents.dll", events.read_bytes()),
               ("README.txt", windows_text(usage)), *texts(notices)], epoch, target)


def write_zip(files, epoch, target):
    """Fixed entry order, times (the commit's, in UTC), attributes and compression."""
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # ZIP times start in 1980
    with zipfile.ZipFile(target, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 0  # MS-DOS attributes, as Windows writes them
            entry.external_attr = 0x20  # archive
            archive.writestr(entry, data, compresslevel=9)


def set_summary(msi, revision, epoch):
    """wixl makes up a new package code and stamps the current time; put the derived code
    and the commit's time in their place (same sizes, so the file keeps its layout)."""
    with olefile.OleFileIO(str(msi), write_mode=True) as ole:
        stream = "\x05SummaryInformation"
        data = bytearray(ole.openstream(stream).read())
        section = struct.unpack_from("<I", data, 44)[0]
        count = struct.unpack_from("<I", data, section + 4)[0]
        seen = set()
        for i in range(count):
            pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
            at = section + offset
            kind = struct.unpack_from("<I", data, at)[0]
            if pid == PID_REVNUMBER and kind == VT_LPSTR:
                size = struct.unpack_from("<I", data, at + 4)[0]
                value = f"{{{revision}}}".encode() + b"\0"
                if len(value) != size:
                    raise SystemExit(f"package code of {size} bytes in {msi}, expected 39")
                data[at + 8:at + 8 + size] = value
                seen.add(pid)
            elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
                struct.pack_into("<Q", data, at + 4, filetime(epoch))
                seen.add(pid)
        if seen != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
            raise SystemExit(f"summary information of {msi} lacks {sorted(seen)}")
        ole.write_stream(stream, bytes(data))


def msi_release(exe, events, notices, version, commit, epoch, target):
    with tempfile.TemporaryDirectory() as work:
        for source, name in ((exe, "Morex.exe"), (events, "MorexEvents.dll")):
            shutil.copyfile(source, Path(work) / name)
        for name, data in texts(notices):
            (Path(work) / name).write_bytes(data)
        # The cabinet inside keeps the files' names and modification times: all fixed.
        for name in os.listdir(work):
            os.utime(Path(work) / name, (int(epoch), int(epoch)))
        subprocess.run(["wixl", "-a", "x64", "-D", f"Version={version}",
                        "-D", f"ProductCode={product_code(version, commit)}",
                        "-D", f"UpgradeCode={UPGRADE_CODE}",
                        "-D", f"PackageCode={package_code(version, commit)}",
                        "-D", "ExePath=Morex.exe", "-D", "EventsPath=MorexEvents.dll",
                        "-D", "LicensePath=LICENSE.txt",
                        "-D", "NoticesPath=THIRD-PARTY-NOTICES.txt",
                        "-o", str(Path(target).resolve()),
                        str(SOURCE / "packaging" / "Morex.wxs")], check=True, cwd=work)
    upgrade_same_version(target, version)
    version_files(target, {"MorexExe": exe, "MorexEventsDll": events})
    set_summary(target, package_code(version, commit), epoch)


def file_version(path):
    """The numeric file version of a PE file's version resource, as "1.0.1.0"."""
    fixed = pefile.PE(str(path), fast_load=False).VS_FIXEDFILEINFO[0]
    return ".".join(str(part) for word in (fixed.FileVersionMS, fixed.FileVersionLS)
                    for part in (word >> 16, word & 0xFFFF))


def version_files(msi, binaries):
    """wixl leaves the File table's Version empty, so Windows Installer would take Morex.exe
    and MorexEvents.dll for unversioned files, and a versioned copy already in the folder (one
    put there from the zip) would win over the package's. Each gets the version of its own
    resource and that resource's language, U.S. English; a versioned file has no hash (ICE60)."""
    queries = []
    for file_id, path in binaries.items():
        queries += ["-q", f"UPDATE `File` SET `Version` = '{file_version(path)}', `Language` = "
                    f"'1033' WHERE `File` = '{file_id}'",
                    "-q", f"DELETE FROM `MsiFileHash` WHERE `File_` = '{file_id}'"]
    subprocess.run(["msibuild", str(msi), *queries], check=True)


def upgrade_same_version(msi, version):
    """wixl's major upgrade finds the older versions alone (VersionMax exclusive) and cannot be
    told otherwise; a rebuild of the installed version must replace it too. The row is
    deleted and inserted again: its attributes are part of the table's key."""
    row = "`ActionProperty` = 'WIX_UPGRADE_DETECTED'"
    subprocess.run(["msibuild", str(msi), "-q", f"DELETE FROM `Upgrade` WHERE {row}", "-q",
                    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, "
                    f"`ActionProperty`) VALUES ('{{{UPGRADE_CODE}}}', '{version}', "
                    f"{MIGRATE_FEATURES | VERSION_MAX_INCLUSIVE}, 'WIX_UPGRADE_DETECTED')"],
                   check=True)


def msi_table(msi, table):
    """The rows of one table of the MSI, each a list of its fields."""
    lines = subprocess.run(["msiinfo", "export", str(msi), table], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    return [line.split("\t") for line in lines[3:]]  # past the names, types and table rows


def package(exe, events, notices, version, commit, epoch, out_dir, pdb=None):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    if pdb:  # a debugger finds it by the name in Morex.exe: Morex.pdb, beside it or in a store
        write_zip([("Morex.pdb", Path(pdb).read_bytes())], epoch,
                  out_dir / f"Morex-{version}-win64-symbols.zip")
    zip_release(Path(exe), Path(events), notices, version, epoch,
                out_dir / f"Morex-{version}-win64.zip")
    msi_release(Path(exe), Path(events), notices, version, commit, epoch,
                out_dir / f"Morex-{version}-win64.msi")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()
