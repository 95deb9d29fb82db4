"""Every relative link of the README and docs/ reaches a file, and its #part a heading there
(named as GitHub names headings). Prints each broken link; exits 1 if there is one."""

import re
import sys
from pathlib import Path

LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page):
    headings = re.findall(r"^#+ (.+)$", page.read_text(), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


broken = []
for page in [Path("README.md"), *sorted(Path("docs").glob("*.md"))]:
    for target in LINK.findall(page.read_text()):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, part = target.partition("#")
        linked = (page.parent / path).resolve() if path else page.resolve()
        if not linked.exists() or part and part not in anchors(linked):
            broken.append(f"{page}: {target}")
print("\n".join(broken))
sys.exit(1 if broken else 0)
