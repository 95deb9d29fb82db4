#!/usr/bin/python3
"""What the release tells of itself: the third-party notices and the CycloneDX SBOM, made from
the links' maps and the Debian packages that the linked files came from."""

import json
import os
import re
import shutil
import subprocess
import textwrap
import time
import uuid
from pathlib import Path
from urllib.parse import quote

from scripts.release_packages import CODES, sha256, windows_text

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
                             f"{name}: check it and LICENCES in scripts/release_sbom.py")
        return spdx
    raise SystemExit(f"no licence known for {name} of {package}, which the link took in: add "
                     "it to LICENCES in scripts/release_sbom.py, from the package's copyright file")


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
