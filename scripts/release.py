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
import re
import sys
import zipfile
from pathlib import Path

if not __package__:  # run as scripts/release.py: its imports start at the tree's root
    sys.path[0] = str(Path(__file__).resolve().parents[1])

from scripts.release_packages import SOURCE, UPGRADE_CODE, package, sha256
from scripts.release_sbom import LINKED, notices, sbom, signed_sbom


def project_version(cmake_lists=SOURCE / "CMakeLists.txt"):
    """The one version of the project, which also feeds the version resource and manifest."""
    found = re.search(r"^project\(Morex VERSION ([0-9.]+)", Path(cmake_lists).read_text(),
                      re.MULTILINE)
    if not found:
        raise SystemExit(f"no project(Morex VERSION ...) in {cmake_lists}")
    return found.group(1)


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
