#!/usr/bin/python3
"""Makes a signed release with a throwaway certificate made on the spot, and checks it as an
administrator would: the sums, both signatures, the zip's contents and the MSI's tables.
scripts/release.sh itself builds everything twice and fails when two builds differ.

    python3 -m tests.release.check_release OUT_DIR
"""

import hashlib
import subprocess
import sys
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
from scripts.release import product_code, project_version

UPGRADE_CODE = "{6E1B7D2A-3C4F-4B8E-9A51-2F0D8C7B4E93}"


def run(*args, cwd=None):
    result = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    assert result.returncode == 0, f"{' '.join(args)} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def msi_table(msi, table):
    lines = run("msiinfo", "export", str(msi), table).splitlines()
    return [line.split("\t") for line in lines[3:]]  # past the names, types and table rows


def main(out):
    out = Path(out)
    signer = out / "signer"
    signer.mkdir(parents=True, exist_ok=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
        "/CN=Morex throwaway test signer", "-addext", "extendedKeyUsage=codeSigning",
        "-keyout", str(signer / "key.pem"), "-out", str(signer / "cert.pem"))
    release = out / "signed"
    print(run(str(SOURCE / "scripts" / "release.sh"), "--out", str(release), "--cert",
              str(signer / "cert.pem"), "--key", str(signer / "key.pem")))
    version = project_version()
    zip_name, msi_name = f"Morex-{version}-win64.zip", f"Morex-{version}-win64.msi"
    assert sorted(p.name for p in release.iterdir()) == sorted(
        ["Morex.exe", zip_name, msi_name, "SHA256SUMS"])
    print(run("sha256sum", "-c", "SHA256SUMS", cwd=release))

    for name in ("Morex.exe", msi_name):
        report = run("osslsigncode", "verify", "-CAfile", str(signer / "cert.pem"), "-in",
                     str(release / name))
        assert "Signature verification: ok" in report, report
        print(f"{name}: signature verified")
    run("/usr/bin/python3", "-m", "tests.pe.check_morex_exe", str(release / "Morex.exe"),
        cwd=SOURCE)

    with zipfile.ZipFile(release / zip_name) as archive:
        assert archive.namelist() == ["Morex.exe", "README.txt"], archive.namelist()
        assert archive.read("Morex.exe") == (release / "Morex.exe").read_bytes()
        assert f"Morex {version}" in archive.read("README.txt").decode()

    msi = release / msi_name
    properties = dict(msi_table(msi, "Property"))
    assert properties["ProductName"] == "Morex" and properties["ProductVersion"] == version
    assert properties["UpgradeCode"] == UPGRADE_CODE
    assert properties["ProductCode"] == f"{{{product_code(version)}}}"
    assert properties["ALLUSERS"] == "1", "not a per-machine package"
    assert [row[2] for row in msi_table(msi, "File")] == ["Morex.exe"]
    for table in ("Registry", "ServiceInstall", "CustomAction", "Shortcut"):
        assert msi_table(msi, table) == [], f"the MSI has {table} rows"
    print(f"{msi_name}: Morex {version}, one file, no registry values, no custom actions")
    digest = hashlib.sha256(msi.read_bytes()).hexdigest()
    print(f"release checked: {msi_name} {digest}")


if __name__ == "__main__":
    main(sys.argv[1])
