"""An application that embeds the interpreter, finalizes it and starts a new one in the
same process must get working classes again in the new runtime."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quorvalent

PROGRAM = r"""
#include <Python.h>

static const char* kUse =
    "from quorvalent import _core as c\n"
    "s = c.Store()\n"
    "s.set('ns', 'k', [1, 'x', {'a': 2.5}])\n"
    "assert s.get('ns', 'k') == [1, 'x', {'a': 2.5}]\n"
    "g = c.HandoffGraph()\n"
    "g.add_edge('a', 'b', 'x == 1')\n"
    "g.add_edge('a', 'c')\n"
    "assert g.route('a', {'x': 1}) == 'b' and g.route('a') == 'c'\n"
    "assert repr(g) == \"HandoffGraph(nodes=3, edges=2, on_cycle='error')\"\n"
    "assert c.dumps([1, 'x']) == b'\\x92\\x01\\xa1x'\n"
    "print('round ok', flush=True)\n";

int main(void) {
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(kUse) != 0) return 10 + round;
    if (Py_FinalizeEx() < 0) return 20 + round;
  }
  return 0;
}
"""


def _config():
    # The configuration of this very interpreter (debug and free-threaded builds have
    # their own), so the program loads the same build of the module.
    name = f"python{sysconfig.get_config_var('LDVERSION')}-config"
    exe = shutil.which(name, path=sysconfig.get_config_var("BINDIR")) or shutil.which(name)
    cc = shutil.which("cc") or shutil.which("gcc")
    if not exe or not cc:
        pytest.skip("no C compiler or python-config to build an embedding program")
    flags = subprocess.run([exe, "--cflags", "--embed", "--ldflags"], check=True,
                           capture_output=True, text=True).stdout.split()
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        # A static libpython: the program itself must export the C API to the module.
        flags += sysconfig.get_config_var("LINKFORSHARED").split()
    return cc, flags


def test_reinitialized_runtime_gets_fresh_classes(tmp_path):
    cc, flags = _config()
    src = tmp_path / "embed.c"
    src.write_text(PROGRAM)
    exe = tmp_path / "embed"
    subprocess.run([cc, str(src), "-o", str(exe), *flags], check=True)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(quorvalent.__file__)))
    run = subprocess.run([str(exe)], env=env, capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout) == (0, "round ok\n" * 3), run.stderr
