#!/usr/bin/python3
"""The workflow's rules of trust: actions pinned by commit and images by digest, with their
versions; no checkout that keeps its token; read-only by default; no event text in a shell;
secrets only in the protected environment's job, and never beside write permissions. Each
rule broken on purpose, in a copy, must be caught.

    python3 tests/house/workflow_rules.py .github/workflows/ci.yml
"""

import re
import sys
from pathlib import Path

import yaml

# A line that names an action or an image, and the form its pin must have: the full commit
# SHA or the digest, then its version or tag in a comment.
PINS = [(r"^\s*(?:- )?uses: ", r"[\w.-]+/[\w./-]+@[0-9a-f]{40} # \S+$", "commit SHA"),
        (r"^\s*(?:- )?(?:container|image): (?!\$\{\{)",
         r"[\w./-]+:[\w.-]+@sha256:[0-9a-f]{64} # \S+$", "digest")]


def line_faults(text):
    return [f"line {number}: not pinned by {pin} with its version: {line}"
            for number, line in enumerate(text.splitlines(), 1) for key, form, pin in PINS
            if re.match(key, line) and not re.match(key + form, line)]


def job_faults(name, job):
    faults = []
    for step in job.get("steps", []):
        if step.get("uses", "").startswith("actions/checkout@") and \
                step.get("with", {}).get("persist-credentials") is not False:
            faults.append(f"{name}: a checkout without persist-credentials: false")
        if re.search(r"\$\{\{\s*github\.event\.", step.get("run", "")):
            faults.append(f"{name}: github.event expanded inside a run step")
    uses_secrets = "secrets." in yaml.safe_dump(job)
    if uses_secrets and job.get("environment") != "release":
        faults.append(f"{name}: secrets outside the protected environment release")
    writes = [scope for scope, grant in (job.get("permissions") or {}).items() if grant == "write"]
    if writes and uses_secrets:
        faults.append(f"{name}: write permissions ({', '.join(writes)}) beside secrets")
    return faults


def faults_of(text):
    workflow = yaml.safe_load(text)
    faults = line_faults(text)
    if workflow.get("permissions") != {"contents": "read"}:
        faults.append("the top-level permissions are not contents: read alone")
    for name, job in workflow["jobs"].items():
        faults += job_faults(name, job)
    return faults


# Each rule broken once, in a copy of the workflow: what is broken, and the change (a pattern
# and what replaces its first match).
BROKEN = [
    ("an action by tag", r"(uses: actions/checkout)@[0-9a-f]{40}", r"\1@v4"),
    ("a pin without its version", r"(uses: \S+@[0-9a-f]{40}) # \S+", r"\1"),
    ("a floating image", r"container: debian:13@sha256:\w+", "container: debian:13"),
    ("a checkout that keeps its token", "persist-credentials: false", "persist-credentials: true"),
    ("write access for every job", r"^permissions:\n  contents: read", "permissions: write-all"),
    ("event text in a shell", "run: scripts/test.sh", "run: echo ${{ github.event.pusher.name }}"),
    ("secrets outside the environment", r"\n    environment: release", ""),
    ("write access beside the key", r"\n    environment: release",
     "\n    environment: release\n    permissions:\n      contents: write"),
]


def main(path):
    text = Path(path).read_text()
    faults = faults_of(text)
    assert not faults, "\n".join(faults)
    for broken, pattern, replacement in BROKEN:
        changed = re.sub(pattern, replacement, text, count=1, flags=re.M)
        caught = changed != text and faults_of(changed)
        assert caught, f"{broken}: the change no longer applies, or went unnoticed"
        print(f"{broken}: caught ({caught[0]})")
    print(f"{path}: every rule holds")


if __name__ == "__main__":
    main(sys.argv[1])
