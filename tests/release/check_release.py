#!/usr/bin/python3
"""Makes the unsigned release from a clone whose work tree has another version (HEAD's is the
release's), signs it through a SoftHSM2 token, time-stamped by a throwaway authority
(OpenSSL's ts behind a local HTTP server), and checks it as an administrator would: the
sums, the signatures and their time stamps, the zip and the MSI, the licence and the notices,
the build information and the SBOM (the CycloneDX library's verdict, its hashes). No process
shows the PIN. Each fault of the signing inputs, and a release unlike the other builder's
(--builder, when its sources are HEAD's), stops the signing in one line, with nothing written.
The scripts' options are checked first. On a host that cannot harden (--unhardened REASON),
scripts/release.sh must refuse in one line; the rest is checked on its --unhardened build.

    python3 -m tests.release.check_release OUT_DIR --builder BUILD_DIR [--unhardened REASON]
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
from scripts.release import project_version
from scripts.release_packages import msi_table, product_code

# Every version's: a change would leave the installed versions behind, never upgraded.
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
TOKEN_KEY = "pkcs11:token=morex;object=signing;type=private"
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
    release, sign = (str(SOURCE / "scripts" / name) for name in ("release.sh", "sign-release.sh"))
    refused = subprocess.run([release], capture_output=True, text=True) if unhardened else None
    assert not refused or refused.returncode == 2 and refused.stderr.count("\n") == 1 and \
        f"cannot build the hardened binaries ({unhardened})" in refused.stderr, refused
    for script, options in ((release, "--out --unhardened"), (sign, "--out --cert --key "
                             "--pkcs11-module --timestamp-url --compare --notes --tag")):
        shown = subprocess.run([script, "--help"], capture_output=True, text=True)
        assert all(f"{o} " in shown.stdout for o in options.split()), shown
    for args, said in (([release, "--bogus"], "unknown option --bogus"),
                       ([release, "--out"], "--out needs a value"),
                       ([sign, "dist", "--key", "--out", "x"], "--key needs a value"),
                       ([sign], "which unsigned release?")):
        refused = subprocess.run(args, capture_output=True, text=True)
        assert refused.returncode == 2 and said in refused.stderr, refused


def build_release(unsigned, unhardened):
    """scripts/release.sh from a clone whose work tree says another version."""
    clone = Path(tempfile.mkdtemp(dir=unsigned.parent))
    run("git", "clone", "--quiet", "--shared", str(SOURCE), str(clone))  # at HEAD
    cmake_lists = clone / "CMakeLists.txt"
    cmake_lists.write_text(cmake_lists.read_text().replace(
        f"project(Morex VERSION {project_version()} ", "project(Morex VERSION 9.9.9 "))
    try:
        made = subprocess.run(
            [str(SOURCE / "scripts" / "release.sh"), "--out", str(unsigned),
             *(["--unhardened"] if unhardened else [])], capture_output=True, text=True,
            env=dict(os.environ, GIT_DIR=str(clone / ".git"), GIT_WORK_TREE=str(clone)))
    finally:
        shutil.rmtree(clone)
    assert made.returncode == 0, made.stderr
    assert f"as version {project_version()} (the work tree says 9.9.9" in made.stderr, made.stderr


def make_signer(signer):
    """Throwaway certificates; the code-signing key in a token, and in a file with a password."""
    password = secrets.token_hex(16)
    (signer / "password").write_text(password)
    throwaway_certificate(signer, "code", "codeSigning", signer / "password")
    throwaway_certificate(signer, "tsa", "timeStamping")
    (signer / "serial").write_text("01\n")
    (signer / "tsa.cnf").write_text(TSA_CONFIG.format(dir=signer))
    shutil.rmtree(signer / "tokens", ignore_errors=True)
    (signer / "tokens").mkdir()
    (signer / "softhsm2.conf").write_text(f"directories.tokendir = {signer}/tokens\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(signer / "softhsm2.conf"),
               MOREX_SIGNING_KEY_PASSWORD=password, MOREX_PKCS11_MODULE=SOFTHSM)
    pin = ["--token", "morex", "--pin", password]
    run("softhsm2-util", "--init-token", "--free", "--label", "morex", "--so-pin", password,
        *pin[2:], env=env)
    run("openssl", "pkcs8", "-topk8", "-nocrypt", "-passin", f"file:{signer}/password", "-in",
        str(signer / "code.key"), "-out", str(signer / "code.p8"))
    run("softhsm2-util", "--import", str(signer / "code.p8"), "--label", "signing", "--id", "01",
        *pin, env=env)
    return password, env


def check_refusals(unsigned, signer, env):
    """Each fault of the signing inputs stops in one line that names it, with nothing written."""
    (signer / "empty.so").write_bytes(b"")
    (signer / "other").mkdir(exist_ok=True)
    (signer / "other" / "Morex.exe").write_bytes((unsigned / "Morex.exe").read_bytes()[:-1])
    sign = [str(SOURCE / "scripts" / "sign-release.sh"), str(unsigned)]
    token = ["--cert", str(signer / "code.pem"), "--key", TOKEN_KEY]
    for args, changes, said in (
            ([*token, "--pkcs11-module", "/nonexistent/module.so"], {}, "module.so does not load"),
            ([*token, "--pkcs11-module", str(signer / "empty.so")], {}, "empty.so does not load"),
            ([*token, "--key", TOKEN_KEY.replace("signing", "nosuch")], {}, "holds the private"),
            (token, {"MOREX_SIGNING_KEY_PASSWORD": "0000"}, "the token refused the PIN"),
            ([*token, "--cert", str(signer / "tsa.pem")], {}, "tsa.pem does not belong to the key"),
            ([*token, "--key", str(signer / "tsa.key")], {}, "code.pem does not belong to the key"),
            ([*token, "--compare", str(signer / "other")], {}, "Morex.exe differs between"),
            (["--tag"], {}, "must be signed, and no key"),
            ([*token, "--tag"], {}, "must be time-stamped, and no time-stamp server")):
        refused = subprocess.run([*sign, *args, "--out", str(signer / "refused")],
                                 capture_output=True, text=True, env=dict(env, **changes))
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1 and \
            said in refused.stderr, (args, refused.stderr)
        assert not (signer / "refused").exists(), f"{said}: something was written"
    notes = signer / "notes"
    run(*sign, "--tag", "--out", str(signer / "refused"), "--notes", str(notes),
        env=dict(env, MOREX_RELEASE_UNSIGNED="1"))
    assert notes.read_text().startswith("This release is unsigned"), notes.read_text()
    # A key file for a private CA, its password in a file; no time stamp.
    run(*sign, *token, "--key", str(signer / "code.key"), "--out", str(signer / "refused"),
        env=dict(env, MOREX_SIGNING_KEY_PASSWORD_FILE=str(signer / "password")))
    assert "Signature verification: ok" in run("osslsigncode", "verify", "-CAfile", str(
        signer / "code.pem"), "-in", str(signer / "refused" / "Morex.exe"))
    shutil.rmtree(signer / "refused")


def sign_release(unsigned, release, signer, password, env, builder):
    """As a tag's sign job signs: through the token, time-stamped, against another builder."""
    TimeStampAuthority.folder = signer
    server = ThreadingHTTPServer(("127.0.0.1", 0), TimeStampAuthority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    signing = threading.Event()

    def list_processes():  # all along, for the tools that run before and between signatures
        while not signing.wait(0.005):
            TimeStampAuthority.listed |= command_lines()
    threading.Thread(target=list_processes, daemon=True).start()
    clean = not run("git", "status", "--porcelain", "--untracked-files=no", "--", "src",
                    "CMakeLists.txt", "cmake", cwd=SOURCE)
    try:
        made = subprocess.run(
            [str(SOURCE / "scripts" / "sign-release.sh"), str(unsigned), "--out", str(release),
             "--cert", str(signer / "code.pem"), "--key", TOKEN_KEY, "--tag", "--notes",
             str(signer / "notes"), *(["--compare", builder] if clean else []),
             "--timestamp-url", f"http://127.0.0.1:{server.server_address[1]}/"],
            capture_output=True, text=True, env=env)
    finally:
        signing.set()
        server.shutdown()
    print(made.stdout, "" if clean else f"not compared with {builder}: not HEAD's sources")
    assert made.returncode == 0, made.stderr
    seen = TimeStampAuthority.listed
    assert any(b"osslsigncode" in line for line in seen), "no listing taken while signing"
    assert not [line for line in seen if password.encode() in line], "the PIN was listed"
    print(f"{len(seen)} command lines listed while signing; none shows the PIN")


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
    assert properties["morex:hardened"] == str(hardened).lower() and \
        properties["morex:signed"] == "true", properties
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
        return run("/usr/bin/python3", "-m", "scripts.check_morex_exe", f"{folder}/Morex.exe",
                   str(release / "MorexEvents.dll"), *skipped, cwd=SOURCE)


def main(out, builder, unhardened):
    out = Path(out)
    signer, unsigned, release = out / "signer", out / "unsigned", out / "signed"
    signer.mkdir(parents=True, exist_ok=True)
    for made in (unsigned, release):
        shutil.rmtree(made, ignore_errors=True)
    check_options(unhardened)
    build_release(unsigned, unhardened)
    password, env = make_signer(signer)
    check_refusals(unsigned, signer, env)
    sign_release(unsigned, release, signer, password, env, builder)
    version = project_version()
    zip_name, msi_name = f"Morex-{version}-win64.zip", f"Morex-{version}-win64.msi"
    symbols = release / f"Morex-{version}-win64-symbols.zip"
    sbom, notices = release / f"Morex-{version}-sbom.cdx.json", release / "THIRD-PARTY-NOTICES.txt"
    buildinfo = release / f"Morex-{version}-buildinfo.txt"
    assert sorted(p.name for p in release.iterdir()) == sorted(
        ["Morex.exe", "MorexEvents.dll", zip_name, msi_name, "SHA256SUMS", notices.name, sbom.name,
         buildinfo.name, *([] if unhardened else [symbols.name])])
    print(run("sha256sum", "-c", "SHA256SUMS", cwd=release))
    thumbprint = run("openssl", "x509", "-in", str(signer / "code.pem"), "-noout", "-fingerprint",
                     "-sha256").split("=")[1].strip().replace(":", "")
    assert (signer / "notes").read_text().startswith(f"Signed by CN=Morex throwaway codeSigning; "
                                                     f"the certificate's SHA-256 thumbprint: "
                                                     f"{thumbprint}. Time-stamped by http://")

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
    told, committed = buildinfo.read_text(), run("git", "log", "-1", "--format=%ct", cwd=SOURCE)
    assert f"Commit: {commit}\nSOURCE_DATE_EPOCH: {committed}" in told, told[:400]
    tools = run("dpkg-query", "-W", "-f=${Package}:${Architecture} ${Version}\n", "wixl", "lld")
    assert all(f"\n {line}\n" in told for line in tools.splitlines()), tools
    digest = hashlib.sha256(msi.read_bytes()).hexdigest()
    print(f"release checked: {msi_name} {digest}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--builder", required=True, help="another build tree of Morex.exe")
    parser.add_argument("--unhardened", metavar="REASON")
    arguments = parser.parse_args()
    main(arguments.out, arguments.builder, arguments.unhardened)
