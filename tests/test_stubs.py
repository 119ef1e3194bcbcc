"""The stubs carry what help() shows: every function, class, method and property of
_core.pyi has the runtime docstring in full. (stubtest checks that the stubs list every
member, and their signatures.)"""

import ast
import inspect
import pathlib

import pytest

from quorvalent import _core

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "quorvalent" / "_core.pyi"


def members() -> list[tuple[str, object, str | None]]:
    rows: list[tuple[str, object, str | None]] = []

    def walk(body: list[ast.stmt], owner: object, prefix: str) -> None:
        for node in body:
            # Dunders get the interpreter's own slot docstrings, which help() shows apart.
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("__"):
                runtime = getattr(owner, node.name)
                rows.append((prefix + node.name, runtime, ast.get_docstring(node)))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, runtime, f"{prefix}{node.name}.")

    walk(ast.parse(STUB.read_text()).body, _core, "")
    return rows


MEMBERS = members()


@pytest.mark.parametrize("name, runtime, stub_doc", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_stub_docstring_is_the_runtime_one(name, runtime, stub_doc):
    assert stub_doc == inspect.cleandoc(runtime.__doc__), name
