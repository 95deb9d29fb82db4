"""The end-to-end runner, from the checkout's root; the test command and CI both run it:

    python3 -m tests.e2e bundle FOLDER --release RELEASE [--build BUILD]
        the Windows build (BUILD, default build/mingw) and a release, its MSI packed again (a
        rebuild, the next version), gathered into FOLDER: what the cases need on Windows
    python -m tests.e2e run --box windows|wine --files BUNDLE [--prefix PREFIX] [CASE ...]
        the cases (all of tests.e2e.e2e_cases, or those named: modules, classes or methods)
        with a bundle's files, on Windows itself (elevated) or on the Wine prefix PREFIX
        (default: beside the bundle); exit status 0 when every case passed
"""

import argparse
import json
import shutil
import sys
import unittest
from pathlib import Path

from scripts.box import BINARIES
from tests.e2e import e2e_cases

BUILD = Path(__file__).resolve().parents[2] / "build"


def bundle(folder, release, build):
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(release, folder / "release")
    for name in (*BINARIES, "morex_planted.dll"):
        shutil.copy2(build / name, folder / name)
    packages = msi_set(folder / "release")
    (folder / "release" / e2e_cases.MSI_SET).write_text(json.dumps(packages))
    return 0


def msi_set(release):
    """The release's MSI and the same files packed again, as a build of its version from
    another commit and as the next version, by their names in `release`, each with its
    properties. They are packed here, where wixl runs, and the bundle carries them."""
    from scripts.release_packages import msi_table, package  # Debian's olefile, pefile, wixl

    shipped = next(release.glob("Morex-*-win64.msi"))
    version = dict(msi_table(shipped, "Property"))["ProductVersion"]
    major, minor, patch = map(int, version.split("."))
    packages = [shipped]
    for commit, packed in (("rebuilt", version), ("next", f"{major}.{minor}.{patch + 1}")):
        package(release / "Morex.exe", release / "MorexEvents.dll",
                release / "THIRD-PARTY-NOTICES.txt", packed, commit, 1700000000, release / commit)
        packages.append(release / commit / f"Morex-{packed}-win64.msi")
    return {msi.relative_to(release).as_posix(): dict(msi_table(msi, "Property"))
            for msi in packages}


def the_box(kind, files, prefix):
    if kind == "windows":
        from scripts.windowsbox import WindowsBox
        return WindowsBox(files)
    from scripts.winebox import WineBox
    return WineBox(prefix or files.with_name(files.name + "-prefix"), files, display=True)


def run(kind, files, prefix, cases):
    box = the_box(kind, files, prefix)
    e2e_cases.use(box, files / "release")
    try:
        result = unittest.main(module=None, argv=["tests.e2e", "-v", *cases], exit=False).result
    except KeyboardInterrupt:  # unittest leaves its clean-ups undone: the box's is done here
        box.shutdown()
        raise
    return 0 if result.wasSuccessful() else 1


def main():
    parser = argparse.ArgumentParser(prog="python -m tests.e2e", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    verbs = parser.add_subparsers(dest="verb", required=True)
    packing = verbs.add_parser("bundle")
    packing.add_argument("folder", type=Path)
    packing.add_argument("--release", type=Path, required=True)
    packing.add_argument("--build", type=Path, default=BUILD / "mingw")
    cases = verbs.add_parser("run")
    cases.add_argument("--box", choices=("wine", "windows"), required=True)
    cases.add_argument("--files", type=Path, required=True)
    cases.add_argument("--prefix", type=Path)
    cases.add_argument("cases", nargs="*", default=["tests.e2e.e2e_cases"])
    args = parser.parse_args()
    if args.verb == "bundle":
        return bundle(args.folder.resolve(), args.release, args.build)
    return run(args.box, args.files.resolve(), args.prefix, args.cases)


if __name__ == "__main__":
    sys.exit(main())
