#!/usr/bin/python3
"""Makes a signed release with a throwaway certificate and password-protected key made on the
spot, time-stamped by a throwaway time-stamp authority (OpenSSL's ts behind a local HTTP
server), and checks it as an administrator would: the sums, the signatures and their time
stamps, the zip's contents and the MSI's tables, the licence and the notices in both, and the
SBOM (the CycloneDX library's verdict, its hashes against the files). While signing, no
process shows the key's password; a certificate that is not the key's stops the release
before dist/ is touched. The release is made from a clone whose work tree has another
version: HEAD's is the release's. scripts/release.sh itself builds everything twice and
fails when two builds differ; its options are checked first. On a host that cannot harden
(--unhardened REASON), the script must refuse a release in one line; the rest is checked on
its --unhardened build, and the symbols zip and the hardening are reported as skipped.

    python3 -m tests.release.check_release OUT_DIR [--unhardened REASON]
"""

import argparse
import hashlib
import json
import os
import secrets
import shutil
import subprocess
import tempfile
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
from scripts.release import msi_table, product_code, project_version

# Every version's: a change would leave the installed versions behind, never upgraded.
UPGRADE_CODE = "{6E1B7D2A-3C4F-4B8E-9A51-2F0D8C7B4E93}"
SOURCE_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morex\\"


def run(*args, cwd=None, env=None):
    result = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)
    assert result.returncode == 0, f"{' '.join(args)} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


TSA_CONFIG = """[tsa]
default_tsa = morex
[morex]
serial = {dir}/serial
signer_cert = {dir}/tsa.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
"""


def throwaway_certificate(folder, name, usage, password_file=None):
    """A self-signed certificate for `usage` and its key, encrypted when a password is given."""
    secret = ["-passout", f"file:{password_file}"] if password_file else ["-noenc"]
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", *secret, "-days", "2", "-subj",
        f"/CN=Morex throwaway {usage}", "-addext", f"extendedKeyUsage=critical,{usage}",
        "-keyout", str(folder / f"{name}.key"), "-out", str(folder / f"{name}.pem"))


def command_lines():
    """What a process listing shows: every process's command line."""
    lines = set()
    for path in Path("/proc").glob("[0-9]*/cmdline"):
        try:
            lines.add(path.read_bytes().replace(b"\0", b" "))
        except OSError:  # the process ended meanwhile
            pass
    return lines


class TimeStampAuthority(BaseHTTPRequestHandler):
    """Answers RFC 3161 requests with OpenSSL's ts. Notes the process listing while it is
    asked: osslsigncode is in it, waiting for the answer."""
    folder = None
    listed = set()

    def do_POST(self):
        self.listed |= command_lines()
        answer = subprocess.run(
            ["openssl", "ts", "-reply", "-config", str(self.folder / "tsa.cnf"), "-queryfile",
             "/dev/stdin", "-out", "/dev/stdout"], check=True, capture_output=True,
            input=self.rfile.read(int(self.headers["Content-Length"]))).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *_):
        pass


def check_options(unhardened):
    """The whole usage on --help; a wrong or incomplete command line named, before any work;
    a host that cannot harden refused in one line that says why."""
    script = str(SOURCE / "scripts" / "release.sh")
    refused = subprocess.run([script], capture_output=True, text=True) if unhardened else None
    assert not refused or refused.returncode == 2 and refused.stderr.count("\n") == 1 and \
        f"cannot build the hardened binaries ({unhardened})" in refused.stderr, refused
    shown = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert shown.returncode == 0 and all(f"{option} " in shown.stdout for option in (
        "--out", "--cert", "--key", "--timestamp-url", "--help")), shown
    for args, said in ((["--bogus"], "unknown option --bogus"), (["--out"], "--out needs a value"),
                       (["--key", "--out", "x"], "--key needs a value")):
        refused = subprocess.run([script, *args], capture_output=True, text=True)
        assert refused.returncode == 2 and said in refused.stderr, refused


def sign_release(signer, release, unhardened):
    """scripts/release.sh with a certificate that is not the key's (refused), then with the
    key's own, its password in the environment, time-stamped by the throwaway authority."""
    password = secrets.token_hex(16)
    (signer / "password").write_text(password)
    throwaway_certificate(signer, "code", "codeSigning", signer / "password")
    throwaway_certificate(signer, "tsa", "timeStamping")
    (signer / "serial").write_text("01\n")
    (signer / "tsa.cnf").write_text(TSA_CONFIG.format(dir=signer))
    release_sh = [str(SOURCE / "scripts" / "release.sh"), "--out", str(release),
                  *(["--unhardened"] if unhardened else [])]
    mismatch = subprocess.run([*release_sh, "--cert", str(signer / "code.pem"), "--key",
                               str(signer / "tsa.key")], capture_output=True, text=True)
    assert mismatch.returncode == 2 and "does not belong" in mismatch.stderr, mismatch.stderr
    assert not release.exists(), "a mismatched certificate reached dist/"

    TimeStampAuthority.folder = signer
    server = ThreadingHTTPServer(("127.0.0.1", 0), TimeStampAuthority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    signing = threading.Event()

    def list_processes():  # all along, for the tools that run before and between signatures
        while not signing.wait(0.005):
            TimeStampAuthority.listed |= command_lines()
    threading.Thread(target=list_processes, daemon=True).start()
    clone = Path(tempfile.mkdtemp(dir=signer))
    run("git", "clone", "--quiet", "--shared", "--no-checkout", str(SOURCE), str(clone))
    head = run("git", "rev-parse", "HEAD", cwd=SOURCE).strip()
    run("git", "checkout", "--quiet", "--detach", head, cwd=clone)
    cmake_lists = clone / "CMakeLists.txt"
    cmake_lists.write_text(cmake_lists.read_text().replace(
        f"project(Morex VERSION {project_version()} ", "project(Morex VERSION 9.9.9 "))
    try:
        made = subprocess.run(
            [*release_sh, "--cert", str(signer / "code.pem"), "--key", str(signer / "code.key"),
             "--timestamp-url", f"http://127.0.0.1:{server.server_address[1]}/"],
            capture_output=True, text=True,
            env=dict(os.environ, MOREX_SIGNING_KEY_PASSWORD=password, GIT_DIR=str(clone / ".git"),
                     GIT_WORK_TREE=str(clone)))
    finally:
        signing.set()
        server.shutdown()
        shutil.rmtree(clone)
    print(made.stdout)
    assert made.returncode == 0, made.stderr
    assert f"as version {project_version()} (the work tree says 9.9.9" in made.stderr, made.stderr
    seen = TimeStampAuthority.listed
    assert any(b"osslsigncode" in line for line in seen), "no listing taken while signing"
    assert not [line for line in seen if password.encode() in line], "the password was listed"
    print(f"{len(seen)} command lines listed while signing; none shows the password")


def check_sbom(release, sbom, commit, hardened):
    """The CycloneDX library's strict verdict, and the release's files as hashed in it."""
    print(run("node", "tests/release/validate_sbom.cjs", "build/npm", str(sbom), cwd=SOURCE))
    document = json.loads(sbom.read_text())
    hashed = {c["name"]: c["hashes"][0]["content"] for c in document["components"] if "hashes" in c}
    assert hashed == {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in release.iterdir()
                      if p.suffix in (".exe", ".dll", ".msi", ".zip")}, hashed
    committed = int(run("git", "log", "-1", "--format=%ct", commit, cwd=SOURCE))
    assert document["metadata"]["timestamp"] == time.strftime(
        "%Y-%m-%dT%H:%M:%SZ", time.gmtime(committed)), document["metadata"]
    properties = {p["name"]: p["value"] for p in document["metadata"]["component"]["properties"]}
    assert properties["morex:hardened"] == str(hardened).lower(), properties
    linked = {c["name"] for c in document["components"] if c["type"] == "library"}
    assert {"gcc-mingw-w64-x86-64-win32", "g++-mingw-w64-x86-64-win32"} <= linked, linked


def check_hardening(release, symbols, unhardened):
    """Morex.exe with the PDB from the symbols zip beside it, as a debugger or a scanner
    finds it."""
    with tempfile.TemporaryDirectory() as folder:
        shutil.copyfile(release / "Morex.exe", Path(folder) / "Morex.exe")
        if not unhardened:
            with zipfile.ZipFile(symbols) as archive:
                assert archive.namelist() == ["Morex.pdb"], archive.namelist()
                archive.extract("Morex.pdb", folder)
        skipped = ["--unhardened", unhardened] if unhardened else []
        return run("/usr/bin/python3", "-m", "tests.pe.check_morex_exe", f"{folder}/Morex.exe",
                   str(release / "MorexEvents.dll"), *skipped, cwd=SOURCE)


def main(out, unhardened):
    out = Path(out)
    signer = out / "signer"
    signer.mkdir(parents=True, exist_ok=True)
    release = out / "signed"
    shutil.rmtree(release, ignore_errors=True)
    check_options(unhardened)
    sign_release(signer, release, unhardened)
    version = project_version()
    zip_name, msi_name = f"Morex-{version}-win64.zip", f"Morex-{version}-win64.msi"
    symbols = release / f"Morex-{version}-win64-symbols.zip"
    sbom, notices = release / f"Morex-{version}-sbom.cdx.json", release / "THIRD-PARTY-NOTICES.txt"
    assert sorted(p.name for p in release.iterdir()) == sorted(
        ["Morex.exe", "MorexEvents.dll", zip_name, msi_name, "SHA256SUMS", notices.name, sbom.name,
         *([] if unhardened else [symbols.name])])
    print(run("sha256sum", "-c", "SHA256SUMS", cwd=release))

    for name in ("Morex.exe", "MorexEvents.dll", msi_name):
        report = run("osslsigncode", "verify", "-CAfile", str(signer / "code.pem"),
                     "-TSA-CAfile", str(signer / "tsa.pem"), "-in", str(release / name))
        assert "Signature verification: ok" in report, report
        assert "Timestamp Server Signature verification: ok" in report, report
        print(f"{name}: signature and time stamp verified")
    print(check_hardening(release, symbols, unhardened))

    # The licence and the notices as Windows shows them, the notices naming what was linked in.
    texts = {"LICENSE.txt": (SOURCE / "LICENSE").read_text().replace("\n", "\r\n").encode(),
             notices.name: notices.read_bytes()}
    told = notices.read_text()
    assert all(name in told for name in ("libstdc++.a", "libgcc.a", "crt2u.o", "ZPL-2.1",
                                         "MorexEvents.dll: none")), told[:2000]
    with zipfile.ZipFile(release / zip_name) as archive:
        assert archive.namelist() == ["Morex.exe", "MorexEvents.dll", "README.txt", *texts]
        for name in ("Morex.exe", "MorexEvents.dll"):
            assert archive.read(name) == (release / name).read_bytes(), name
        assert all(archive.read(name) == data for name, data in texts.items())
        assert f"Morex {version}" in archive.read("README.txt").decode()

    msi = release / msi_name
    properties = dict(msi_table(msi, "Property"))
    assert properties["ProductName"] == "Morex" and properties["ProductVersion"] == version
    assert properties["UpgradeCode"] == UPGRADE_CODE
    assert run("/usr/bin/python3", "scripts/release.py", "upgrade-code", cwd=SOURCE).strip() \
        == UPGRADE_CODE and f"`{UPGRADE_CODE}`" in (SOURCE / "docs/deploying.md").read_text()
    commit = run("git", "rev-parse", "HEAD", cwd=SOURCE).strip()
    assert properties["ProductCode"] == f"{{{product_code(version, commit)}}}"
    assert properties["ALLUSERS"] == "1", "not a per-machine package"
    # The binaries versioned as their resources are, the texts not; the installed product is
    # removed whole before the files go in, so a rebuild of its version replaces it too.
    assert [row[2] + "|" + "|".join(row[4:6]) for row in msi_table(msi, "File")] == [
        f"Morex.exe|{version}.0|1033", f"MorexEvents.dll|{version}.0|1033",
        *[f"{name}||" for name in texts]]
    order = {row[0]: int(row[2]) for row in msi_table(msi, "InstallExecuteSequence")}
    assert order["InstallValidate"] < order["RemoveExistingProducts"] < order["InstallInitialize"]
    assert [row[2] for row in msi_table(msi, "Upgrade") if row[4] == "513"] == [version]
    with tempfile.TemporaryDirectory() as unpacked:
        run("msiextract", "-C", unpacked, str(msi))
        assert all(next(Path(unpacked).rglob(name)).read_bytes() == data
                   for name, data in texts.items())
    assert sorted(tuple(row[1:]) for row in msi_table(msi, "Registry")) == [
        ("2", SOURCE_KEY, "-", "", "MorexEvents"),
        ("2", SOURCE_KEY, "EventMessageFile", "[#MorexEventsDll]", "MorexEvents"),
        ("2", SOURCE_KEY, "TypesSupported", "#7", "MorexEvents")], msi_table(msi, "Registry")
    for table in ("ServiceInstall", "CustomAction", "Shortcut"):
        assert msi_table(msi, table) == [], f"the MSI has {table} rows"
    print(f"{msi_name}: Morex {version}, four files, the source's key, no custom actions")
    check_sbom(release, sbom, commit, not unhardened)
    digest = hashlib.sha256(msi.read_bytes()).hexdigest()
    print(f"release checked: {msi_name} {digest}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--unhardened", metavar="REASON")
    arguments = parser.parse_args()
    main(arguments.out, arguments.unhardened)
