"""The end-to-end cases outside CTest, from the checkout's root:

    python3 -m tests.e2e bundle [FOLDER]    after the test command: the Windows build, the
        signed release and its MSI packed again (a rebuild, the next version) into FOLDER
    python -m tests.e2e run --box windows|wine [--files FOLDER] [CASE ...]
        the cases (all of tests.e2e.e2e_cases, or those named) with a bundle's files, on
        Windows itself (elevated) or on a Wine prefix of their own
"""

import argparse
import json
import os
import shutil
import sys
import unittest
from pathlib import Path

BUILD = Path(__file__).resolve().parents[2] / "build"


def bundle(folder):
    from scripts.box import BINARIES
    from tests.e2e.e2e_cases import MSI_SET, msi_set

    shutil.rmtree(folder, ignore_errors=True)
    release = folder / "release"
    shutil.copytree(BUILD / "native" / "release-test" / "signed", release)
    for name in (*BINARIES, "morex_planted.dll"):
        shutil.copy2(BUILD / "mingw" / name, folder / name)
    packages = msi_set(release, release)  # wixl runs only here: the MSIs go with the bundle
    (release / MSI_SET).write_text(json.dumps(
        {msi.relative_to(release).as_posix(): properties for msi, properties in packages.items()}))
    return 0


def run(box, files, cases):
    os.environ.update(MOREX_E2E_BOX=box, MOREX_WINDOWS_BUILD_DIR=str(files),
                      MOREX_RELEASE_DIR=str(files / "release"),
                      MOREX_E2E_PREFIX=str(files.with_name(files.name + "-prefix")))
    from tests.e2e.e2e_cases import Fixture

    Fixture().create()
    try:
        return not unittest.main(module=None, argv=["tests.e2e", "-v", *cases],
                                 exit=False).result.wasSuccessful()
    finally:
        Fixture().shut_down()


def main():
    parser = argparse.ArgumentParser(prog="python -m tests.e2e", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    verbs = parser.add_subparsers(dest="verb", required=True)
    verbs.add_parser("bundle").add_argument("folder", nargs="?", default=BUILD / "e2e-bundle")
    cases = verbs.add_parser("run")
    cases.add_argument("--box", choices=("wine", "windows"), required=True)
    cases.add_argument("--files", default=BUILD / "e2e-bundle")
    cases.add_argument("cases", nargs="*", default=["tests.e2e.e2e_cases"])
    args = parser.parse_args()
    if args.verb == "bundle":
        return bundle(Path(args.folder).resolve())
    return run(args.box, Path(args.files).resolve(), args.cases)


if __name__ == "__main__":
    sys.exit(main())
