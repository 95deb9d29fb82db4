#!/usr/bin/python3
"""The release files, made so that the same commit always gives the same bytes.

    release.py package EXE EVENTS_DLL NOTICES [--pdb PDB] --version V --commit C --epoch SECONDS
            --out DIR
        writes DIR/Morex-V-win64.zip and DIR/Morex-V-win64.msi, and with a PDB
        DIR/Morex-V-win64-symbols.zip
    release.py notices BUILD_DIR --version V --out FILE
        writes the notices of the code of others that the links of BUILD_DIR took in
    release.py sbom DIR BUILD_DIR --version V --commit C --epoch SECONDS [--unhardened]
            --out FILE
        writes the CycloneDX SBOM of the release files in DIR, built in BUILD_DIR
    release.py signed-sbom SBOM DIR
        updates the SBOM of DIR's files once they are signed: their hashes, and the signing tool
    release.py compare RELEASE OTHER
        fails unless OTHER's Morex.exe, MorexEvents.dll and Morex.pdb are the release's
    release.py sums DIR FILE...
        writes DIR/SHA256SUMS over the files, in the form that sha256sum -c reads
    release.py version [CMAKELISTS]
        prints the project's version, from project(Morex VERSION ...) in CMakeLists.txt
    release.py upgrade-code
        prints the MSI's upgrade code, which every version has, for the release notes
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import textwrap
import time
import uuid
import zipfile
from pathlib import Path
from urllib.parse import quote

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

# Each shipped binary and the map that its link writes beside it (CMakeLists.txt).
LINKED = {"Morex.exe": "Morex.map", "MorexEvents.dll": "MorexEvents.map"}
# The licence of each file that a link may take in from the toolchain, as the Debian copyright
# file of its package says, and a passage that file must hold: a file not named here, or a
# copyright file that says otherwise after a toolchain update, stops the release rather than
# shipping a wrong claim. The first pattern that matches the file's name counts.
LICENCES = [
    (r"libstdc\+\+\.a|libgcc(_eh)?\.a|crt(begin|end)\.o",
     "GPL-3.0-or-later WITH GCC-exception-3.1", r"GCC RUNTIME LIBRARY EXCEPTION\s+Version 3\.1,"),
    (r"libwinpthread\.a", "MIT AND BSD-3-Clause",
     r"^Files: mingw-w64-libraries/winpthreads/\*\n(?:.+\n)*?License: expat$"),
    (r"crt2u?\.o|lib\w+\.a", "ZPL-2.1", r"^Files: \*\n(?:.+\n)*?License: ZPL-2\.1$"),
]


def project_version(cmake_lists=SOURCE / "CMakeLists.txt"):
    """The one version of the project, which also feeds the version resource and manifest."""
    found = re.search(r"^project\(Morex VERSION ([0-9.]+)", Path(cmake_lists).read_text(),
                      re.MULTILINE)
    if not found:
        raise SystemExit(f"no project(Morex VERSION ...) in {cmake_lists}")
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


def debian_package(path):
    """The installed Debian package that holds the file: its name, version and architecture.
    dpkg knows a file by the path its package installed, which a symbolic link may hide."""
    for candidate in dict.fromkeys((os.path.normpath(path), os.path.realpath(path))):
        owner = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if owner.returncode == 0:
            name = owner.stdout.rsplit(": ", 1)[0].split(", ")[0].split(":")[0]
            found = subprocess.run(["dpkg-query", "-W", "-f=${Version} ${Architecture}", name],
                                   check=True, capture_output=True, text=True).stdout.split()
            return name, *found
    raise SystemExit(f"no installed Debian package holds {path}")


def purl(name, version, arch):
    distro = re.search(r"^VERSION_CODENAME=(\S+)", Path("/etc/os-release").read_text(), re.M)
    return (f"pkg:deb/debian/{name}@{quote(version, safe='')}?arch={arch}"
            + (f"&distro={distro.group(1)}" if distro else ""))


def licence(name, package):
    """The licence of a linked file, checked against its package's copyright file."""
    copyright_text = Path(f"/usr/share/doc/{package}/copyright").read_text()
    for pattern, spdx, passage in LICENCES:
        if not re.fullmatch(pattern, name):
            continue
        if not re.search(passage, copyright_text, re.M):
            raise SystemExit(f"/usr/share/doc/{package}/copyright no longer says {spdx} for "
                             f"{name}: check it and LICENCES in scripts/release.py")
        return spdx
    raise SystemExit(f"no licence known for {name} of {package}, which the link took in: add "
                     "it to LICENCES in scripts/release.py, from the package's copyright file")


def gnu_map_inputs(text):
    """What a GNU ld map names as taken in from outside the project: the archives whose
    members were included and the objects loaded whole (the project's own have relative
    paths)."""
    return (re.findall(r"^(/\S+?\.a)\(", text, re.M)
            + re.findall(r"^LOAD (/\S+\.o)$", text, re.M))


def msvc_map_inputs(text, build):
    """What an lld map in Microsoft's format (-map) names as taken in: each symbol's
    `library:member` or whole object, found where the compiler finds it for a link. The
    project's own are CMake's objects (.obj, in objects or libmorex_*) and resources (.res)."""
    names = set()
    for origin in re.findall(r"^ [0-9a-f]{4}:[0-9a-f]{8} +\S+ +[0-9a-f]{16} .*?(\S+)$", text,
                             re.M):
        library, _, member = origin.rpartition(":")
        if origin.startswith("<") or origin.endswith((".obj", ".res")):
            continue
        names.add(f"{library}.a" if library else member)
    cache = (Path(build) / "CMakeCache.txt").read_text()
    compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache, re.M).group(1)
    found = []
    for name in sorted(names):
        path = subprocess.run([compiler, "--target=x86_64-w64-mingw32", f"-print-file-name={name}"],
                              check=True, capture_output=True, text=True).stdout.strip()
        if not os.path.isabs(path):
            raise SystemExit(f"{compiler} does not find {name}, which the link took in")
        found.append(path)
    return found


def linked(build):
    """What the links of the shipped binaries took in from outside the project, as their maps
    show, by Debian package: name, version, architecture, licence, and the files that each
    binary got from it."""
    packages = {}
    for binary, map_name in LINKED.items():
        text = (Path(build) / map_name).read_text()
        microsoft_format = "Lib:Object" in text
        paths = msvc_map_inputs(text, build) if microsoft_format else gnu_map_inputs(text)
        for path in sorted(set(paths)):
            name, version, arch = debian_package(path)
            entry = packages.setdefault(name, {"name": name, "version": version, "arch": arch,
                                               "licences": set(), "files": {}})
            entry["licences"].add(licence(os.path.basename(path), name))
            entry["files"].setdefault(binary, set()).add(os.path.basename(path))
    for entry in packages.values():
        entry["licence"] = " AND ".join(sorted(entry.pop("licences")))
    return [packages[name] for name in sorted(packages)]


def notices(build, version, target):
    """Which code of others each binary holds, from which Debian package, under which
    licence, then each package's copyright file as Debian ships it."""
    components = linked(build)
    lines = [f"Morex {version}: third-party notices", "",
             *textwrap.wrap("Morex is under the MIT licence (LICENSE.txt). Its build linked "
                            "into the binaries the following code of others, from the Debian "
                            "packages named:", 78)]
    for binary in LINKED:
        held = [c for c in components if binary in c["files"]]
        lines += ["", f"{binary}:" if held else f"{binary}: none"]
        lines += [f"  {c['name']} {c['version']} ({c['licence']}): "
                  f"{', '.join(sorted(c['files'][binary]))}" for c in held]
    shown = {}
    for c in components:
        text = Path(f"/usr/share/doc/{c['name']}/copyright").read_text()
        lines += ["", "=" * 78, f"{c['name']} {c['version']}: {c['licence']}",
                  f"Its copyright file (/usr/share/doc/{c['name']}/copyright):", "=" * 78, ""]
        lines += [f"The same as {shown[text]}'s above."] if text in shown else text.splitlines()
        shown.setdefault(text, c["name"])
    Path(target).write_bytes(windows_text("\n".join(lines) + "\n"))


def build_tools(build):
    """The programs that made the release files, by Debian package."""
    cache = (Path(build) / "CMakeCache.txt").read_text()
    programs = [re.search(rf"^{variable}:\w+=(.+)$", cache, re.M).group(1)
                for variable in ("CMAKE_COMMAND", "CMAKE_CXX_COMPILER", "CMAKE_LINKER",
                                 "MOREX_LLD_LINK")]
    programs += [shutil.which(name) for name in ("wixl", "msibuild")]
    used = {}
    for program in programs:
        used.setdefault(debian_package(program), []).append(os.path.basename(program))
    return [{"type": "application", "bom-ref": f"tool:{name}", "name": name, "version": version,
             "purl": purl(name, version, arch), "description": ", ".join(names)}
            for (name, version, arch), names in used.items()]


def sbom(release, build, version, commit, epoch, hardened, target):
    """A CycloneDX SBOM of the release: its files with their hashes, what the links took in,
    and the tools that made them; as of the commit's time, so that it is reproducible."""
    mit = [{"license": {"id": "MIT"}}]
    binaries = list(LINKED)
    packages = [f"Morex-{version}-win64.msi", f"Morex-{version}-win64.zip"]
    # The PDB of Morex.exe, in a zip of its own: none where the toolchain writes no PDB.
    symbols = [name for name in [f"Morex-{version}-win64-symbols.zip"]
               if (Path(release) / name).exists()]
    own = [{"type": "application" if name.endswith(".exe") else "file", "bom-ref": name,
            "name": name, "version": version,
            "hashes": [{"alg": "SHA-256", "content": sha256(Path(release) / name)}],
            **({"licenses": mit} if name in binaries else {})}
           for name in binaries + packages + symbols]
    dependencies = {"Morex": binaries + packages + symbols,
                    **{name: list(binaries) for name in packages}}
    dependencies.update({name: [] for name in binaries + symbols})
    runtime = []
    for c in linked(build):
        ref = purl(c["name"], c["version"], c["arch"])
        runtime.append({"type": "library", "bom-ref": ref, "name": c["name"],
                        "version": c["version"],
                        "description": "; ".join(f"{', '.join(sorted(names))} in {binary}"
                                                 for binary, names in c["files"].items()),
                        "licenses": [{"expression": c["licence"]}], "purl": ref})
        dependencies[ref] = []
        for binary in c["files"]:
            dependencies[binary].append(ref)
    hashes = " ".join(c["hashes"][0]["content"] for c in own)
    document = {
        "bomFormat": "CycloneDX", "specVersion": "1.6",
        # Another release of the commit, signed or not, has other files and so another number.
        "serialNumber": f"urn:uuid:{uuid.uuid5(CODES, f'Morex SBOM {commit} {hashes}')}",
        "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch))),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": build_tools(build)},
            "component": {"type": "application", "bom-ref": "Morex", "name": "Morex",
                          "version": version, "licenses": mit,
                          "properties": [{"name": "morex:commit", "value": commit},
                                         {"name": "morex:signed", "value": "false"},
                                         {"name": "morex:hardened",
                                          "value": str(hardened).lower()}]},
        },
        "components": own + runtime,
        "dependencies": [{"ref": ref, "dependsOn": on} for ref, on in dependencies.items()],
    }
    Path(target).write_text(json.dumps(document, indent=2) + "\n")


def signed_sbom(target, release):
    """The SBOM of the release, as the files are once signed: their hashes, the serial number
    made of them, the signature noted, and osslsigncode among the tools."""
    document = json.loads(Path(target).read_text())
    own = [c for c in document["components"] if "hashes" in c]
    for component in own:
        component["hashes"] = [{"alg": "SHA-256",
                                "content": sha256(Path(release) / component["name"])}]
    metadata = document["metadata"]
    commit = next(p["value"] for p in metadata["component"]["properties"]
                  if p["name"] == "morex:commit")
    hashes = " ".join(c["hashes"][0]["content"] for c in own)
    document["serialNumber"] = f"urn:uuid:{uuid.uuid5(CODES, f'Morex SBOM {commit} {hashes}')}"
    for prop in metadata["component"]["properties"]:
        if prop["name"] == "morex:signed":
            prop["value"] = "true"
    name, version, arch = debian_package(shutil.which("osslsigncode"))
    metadata["tools"]["components"].append({
        "type": "application", "bom-ref": f"tool:{name}", "name": name, "version": version,
        "purl": purl(name, version, arch), "description": "osslsigncode"})
    Path(target).write_text(json.dumps(document, indent=2) + "\n")


def compare(release, other):
    """Another builder's binaries and PDB against the release's, byte for byte; the PDB is in
    the symbols zip. Says which file differs, or is missing, in one line."""
    release, other = Path(release), Path(other)
    ours = {name: (release / name).read_bytes() for name in LINKED}
    for symbols in release.glob("Morex-*-win64-symbols.zip"):
        with zipfile.ZipFile(symbols) as archive:
            ours["Morex.pdb"] = archive.read("Morex.pdb")
    for name, data in ours.items():
        if not (other / name).is_file():
            raise SystemExit(f"compare: the other builder's {other / name} is missing")
        if (other / name).read_bytes() != data:
            raise SystemExit(f"compare: {name} differs between this release and the other "
                             f"builder's {other / name}: the builds do not agree")
    print(f"{', '.join(ours)}: the same bytes as {other}'s")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def sums(directory, names):
    lines = [f"{sha256(Path(directory) / n)}  {n}\n" for n in names]
    (Path(directory) / "SHA256SUMS").write_text("".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    pack = commands.add_parser("package", help="the zip and the MSI")
    for name in ("exe", "events", "notices"):
        pack.add_argument(name)
    pack.add_argument("--pdb")
    told = commands.add_parser("notices", help="the notices of the code of others linked in")
    told.add_argument("build")
    bom = commands.add_parser("sbom", help="the CycloneDX SBOM of the release")
    bom.add_argument("release")
    bom.add_argument("build")
    bom.add_argument("--unhardened", action="store_true")
    for command, options in ((pack, ("version", "commit", "epoch", "out")),
                             (told, ("version", "out")),
                             (bom, ("version", "commit", "epoch", "out"))):
        for option in options:
            command.add_argument(f"--{option}", required=True)
    resigned = commands.add_parser("signed-sbom", help="the SBOM updated for signed files")
    resigned.add_argument("sbom")
    resigned.add_argument("release")
    against = commands.add_parser("compare", help="another builder's binaries against ours")
    against.add_argument("release")
    against.add_argument("other")
    checksums = commands.add_parser("sums", help="SHA256SUMS over the files")
    checksums.add_argument("directory")
    checksums.add_argument("names", nargs="+")
    commands.add_parser("version", help="the project's version").add_argument(
        "cmake_lists", nargs="?", default=SOURCE / "CMakeLists.txt")
    commands.add_parser("upgrade-code", help="the MSI's upgrade code")
    args = parser.parse_args()
    if args.command == "package":
        package(args.exe, args.events, args.notices, args.version, args.commit, args.epoch,
                args.out, args.pdb)
    elif args.command == "notices":
        notices(args.build, args.version, args.out)
    elif args.command == "sbom":
        sbom(args.release, args.build, args.version, args.commit, args.epoch,
             not args.unhardened, args.out)
    elif args.command == "signed-sbom":
        signed_sbom(args.sbom, args.release)
    elif args.command == "compare":
        compare(args.release, args.other)
    elif args.command == "sums":
        sums(args.directory, args.names)
    elif args.command == "upgrade-code":
        print(f"{{{UPGRADE_CODE}}}")
    else:
        print(project_version(args.cmake_lists))


if __name__ == "__main__":
    main()
