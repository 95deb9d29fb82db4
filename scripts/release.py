#!/usr/bin/python3
"""The release files, made so that the same commit always gives the same bytes.

    release.py package EXE EVENTS_DLL --version V --commit C --epoch SECONDS --out DIR
        writes DIR/Morex-V-win64.zip and DIR/Morex-V-win64.msi
    release.py sums DIR FILE...
        writes DIR/SHA256SUMS over the files, in the form that sha256sum -c reads
    release.py version
        prints the project's version, from project(Morex VERSION ...) in CMakeLists.txt
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import uuid
import zipfile
from pathlib import Path

import olefile

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


def project_version():
    """The one version of the project, which also feeds the version resource and manifest."""
    found = re.search(r"^project\(Morex VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text(),
                      re.MULTILINE)
    if not found:
        raise SystemExit("no project(Morex VERSION ...) in CMakeLists.txt")
    return found.group(1)


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


def zip_release(exe, events, version, epoch, target):
    """Fixed entry order, times (the commit's, in UTC), attributes and compression."""
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # ZIP times start in 1980
    usage = (SOURCE / "packaging" / "README.txt").read_text().replace("@VERSION@", version)
    files = [("Morex.exe", exe.read_bytes()), ("MorexEvents.dll", events.read_bytes()),
             ("README.txt", usage.replace("\n", "\r\n").encode())]
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


def msi_release(exe, events, version, commit, epoch, target):
    with tempfile.TemporaryDirectory() as work:
        # The cabinet inside keeps the files' names and modification times: all fixed.
        for source, name in ((exe, "Morex.exe"), (events, "MorexEvents.dll")):
            shutil.copyfile(source, Path(work) / name)
            os.utime(Path(work) / name, (int(epoch), int(epoch)))
        subprocess.run(["wixl", "-a", "x64", "-D", f"Version={version}",
                        "-D", f"ProductCode={product_code(version, commit)}",
                        "-D", f"UpgradeCode={UPGRADE_CODE}",
                        "-D", f"PackageCode={package_code(version, commit)}",
                        "-D", "ExePath=Morex.exe", "-D", "EventsPath=MorexEvents.dll",
                        "-o", str(Path(target).resolve()),
                        str(SOURCE / "packaging" / "Morex.wxs")], check=True, cwd=work)
    upgrade_same_version(target, version)
    set_summary(target, package_code(version, commit), epoch)


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


def package(exe, events, version, commit, epoch, out_dir):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    zip_release(Path(exe), Path(events), version, epoch, out_dir / f"Morex-{version}-win64.zip")
    msi_release(Path(exe), Path(events), version, commit, epoch,
                out_dir / f"Morex-{version}-win64.msi")


def sums(directory, names):
    lines = [f"{hashlib.sha256((Path(directory) / n).read_bytes()).hexdigest()}  {n}\n"
             for n in names]
    (Path(directory) / "SHA256SUMS").write_text("".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    pack = commands.add_parser("package", help="the zip and the MSI")
    pack.add_argument("exe")
    pack.add_argument("events")
    for option in ("version", "commit", "epoch", "out"):
        pack.add_argument(f"--{option}", required=True)
    checksums = commands.add_parser("sums", help="SHA256SUMS over the files")
    checksums.add_argument("directory")
    checksums.add_argument("names", nargs="+")
    commands.add_parser("version", help="the project's version")
    args = parser.parse_args()
    if args.command == "package":
        package(args.exe, args.events, args.version, args.commit, args.epoch, args.out)
    elif args.command == "sums":
        sums(args.directory, args.names)
    else:
        print(project_version())


if __name__ == "__main__":
    main()
