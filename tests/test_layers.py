"""The layering check that CI runs: it passes on our tree and catches each kind of
include that would run upward."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "check_layers.py"


def check(src: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True, text=True)


def test_our_tree_passes():
    out = check(ROOT / "src")
    assert out.returncode == 0, out.stdout


@pytest.mark.parametrize(
    "file, line, complaint",
    [
        ("graph/graph.hpp", '#include "store/engine.hpp"', "graph may include only"),
        ("base/bits.hpp", '#include "codec/value.hpp"', "base may include only"),
        ("codec/value.hpp", '#include "codec/py_codec.hpp"', "Python-facing header"),
        ("store/engine.hpp", '#include "bridge/ref.hpp"', "must not reach the bridge"),
        ("store/engine.cpp", "#include <Python.h>", "includes <Python.h>"),
        ("bridge/bind.hpp", '#include "codec/value.hpp"', "bridge includes no subsystem"),
        ("store/py_store.cpp", '#include "module/classes.hpp"', "nothing includes it"),
    ],
)
def test_an_upward_include_fails(tmp_path, file, line, complaint):
    src = tmp_path / "src"
    shutil.copytree(ROOT / "src", src)
    with open(src / file, "a") as f:
        f.write(line + "\n")
    out = check(src)
    assert out.returncode == 1
    assert complaint in out.stdout and file in out.stdout
