"""Fails when an include in src/ runs upward or sideways between layers.

The layers, bottom to top:
- base: shared primitives (SipHash, per-map keys, bit helpers); includes nothing of ours;
- codec, then store and condition (each over codec), then graph (over condition): plain
  C++, never Python.h nor the bridge;
- bridge: everything about the interpreter (binding, references, errors, types); includes
  only itself;
- the Python-facing sources of each subsystem (py_*): their subsystem, what it may
  include, the Python-facing headers below it, and the bridge;
- module: the assembly at the top; the only place that may include every subsystem, and
  included by nothing.

Usage: python3 tools/check_layers.py [src-dir]
"""

from __future__ import annotations

import pathlib
import re
import sys

# What each plain folder may include besides itself.
BELOW = {
    "base": set(),
    "codec": {"base"},
    "store": {"base", "codec"},
    "condition": {"base", "codec"},
    "graph": {"base", "codec", "condition"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def facing_python(path: pathlib.PurePath) -> bool:
    return path.parts[0] in ("bridge", "module") or path.name.startswith("py_")


def problems(src: pathlib.Path) -> list[str]:
    out = []
    for file in sorted(src.rglob("*")):
        if file.suffix not in (".cpp", ".hpp") or not file.is_file():
            continue
        rel = file.relative_to(src)
        folder = rel.parts[0]
        if folder not in BELOW and folder not in ("bridge", "module"):
            out.append(f"{rel}: folder {folder!r} has no place in the layers")
            continue
        for kind, name in INCLUDE.findall(file.read_text(encoding="utf-8")):
            target = pathlib.PurePosixPath(name)
            if kind == "<":
                if name == "Python.h" and not facing_python(rel):
                    out.append(f"{rel}: plain C++ includes <Python.h>")
                continue
            to = target.parts[0]
            where = f"{rel}: includes {name}"
            if folder == "module":
                continue
            if to == "module":
                out.append(f"{where} (the module assembly is the top; nothing includes it)")
            elif to == "bridge":
                if not facing_python(rel):
                    out.append(f"{where} (plain C++ must not reach the bridge)")
            elif folder == "bridge":
                out.append(f"{where} (the bridge includes no subsystem)")
            elif to != folder and to not in BELOW[folder]:
                out.append(f"{where} ({folder} may include only {sorted(BELOW[folder]) or 'itself'})")
            elif facing_python(target) and not facing_python(rel):
                out.append(f"{where} (plain C++ must not include a Python-facing header)")
    return out


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "src")
    found = problems(src)
    for line in found:
        print(line)
    if found:
        print(f"layers: {len(found)} include(s) against the layering")
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
