#!/usr/bin/env python3
"""How big the tests are next to all the code we wrote: non-blank, non-comment lines.

Tests: everything under tests/ (pytest, GoogleTest, fuzz harnesses; not the fuzz corpus).
All code: src/ without generated tables, python/, tools/, bench/, examples/, tests/.
The aim is a quarter to a third.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
AREAS = ("src", "python", "tools", "bench", "examples", "tests")
SOURCE = re.compile(r"\.(py|pyi|cpp|hpp|h|c|sh|cmake)$|(^|/)(CMakeLists\.txt|Makefile)$")
GENERATED = re.compile(r"unicode_tables\.|/corpus/")


def count(path: Path) -> int:
    n = 0
    in_block = False
    hash_comments = path.suffix in (".py", ".pyi", ".sh", ".cmake") or path.name in (
        "CMakeLists.txt", "Makefile")
    for raw in path.read_text(errors="replace").splitlines():
        line = raw.strip()
        if in_block:
            if "*/" in line:
                in_block = False
                line = line.split("*/", 1)[1].strip()
            else:
                continue
        if not hash_comments and line.startswith("/*"):
            if "*/" not in line:
                in_block = True
            continue
        if not line or (hash_comments and line.startswith("#")) or (
                not hash_comments and line.startswith("//")):
            continue
        n += 1
    return n


def main() -> int:
    files = subprocess.run(["git", "ls-files", *AREAS], cwd=REPO, capture_output=True, text=True,
                           check=True).stdout.split()
    tests = code = 0
    for rel in files:
        if not SOURCE.search(rel) or GENERATED.search(rel) or not (REPO / rel).is_file():
            continue
        n = count(REPO / rel)
        code += n
        if rel.startswith("tests/"):
            tests += n
    print(f"test-to-code ratio: {tests} test lines of {code} ({100 * tests / code:.1f}%; "
          "aim 25-33%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
