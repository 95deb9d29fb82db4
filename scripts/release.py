#!/usr/bin/python3
"""The release files, made so that the same commit always gives the same bytes.

    release.py package EXE EVENTS_DLL VERSION COMMIT EPOCH OUT_DIR
        writes OUT_DIR/Morex-VERSION-win64.zip and OUT_DIR/Morex-VERSION-win64.msi
    release.py sums DIR FILE...
        writes DIR/SHA256SUMS over the files, in the form that sha256sum -c reads
    release.py version
        prints the project's version, from project(Morex VERSION ...) in CMakeLists.txt
"""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile
from pathlib import Path

import olefile

SOURCE = Path(__file__).resolve().parent.parent
# Our own namespace for the codes derived from the version: never change it.
CODES = uuid.UUID("5d0c7a52-8f1e-4b7a-9c3d-2e6f4a1b8c90")

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


def product_code(version):
    """The same version is the same product; a new version is a new product that replaces
    the old one through the fixed upgrade code (a major upgrade)."""
    return guid(f"Morex product {version}")


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
                        "-D", f"ProductCode={product_code(version)}",
                        "-D", f"PackageCode={package_code(version, commit)}",
                        "-D", "ExePath=Morex.exe", "-D", "EventsPath=MorexEvents.dll",
                        "-o", str(Path(target).resolve()),
                        str(SOURCE / "packaging" / "Morex.wxs")], check=True, cwd=work)
    set_summary(target, package_code(version, commit), epoch)


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


if __name__ == "__main__":
    if sys.argv[1] == "package":
        package(*sys.argv[2:8])
    elif sys.argv[1] == "sums":
        sums(sys.argv[2], sys.argv[3:])
    elif sys.argv[1] == "version":
        print(project_version())
    else:
        sys.exit(__doc__)
