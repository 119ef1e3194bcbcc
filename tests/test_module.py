import importlib.metadata
import inspect

import pytest

import quorvalent
from quorvalent import _core

FULL_ALL = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph", "roundtrips"]

FUNCTIONS = [
    ("core_version", "()",
     "Return the version string of the compiled native core.\n\n"
     "The package and its tests call it to confirm that the native module loaded."),
    ("dumps", "(obj)",
     "Serialize a Python object to msgpack bytes (quorvalent's stable, cross-language codec)."),
    ("loads", "(data)", "Deserialize msgpack bytes back into a Python object."),
    ("roundtrips", "(obj)",
     "Whether `loads(dumps(obj))` gives back `obj` with every type as it was.\n\n"
     "True for exact None, bool, int, float, str and bytes, and exact lists and dicts with str\n"
     "keys of them, that dumps accepts. False, raising nothing, for the rest: tuples (they\n"
     "come back as lists), subclasses (as their base type), other dict keys, and values\n"
     "dumps rejects. It checks `obj` as it is now: if another thread changes it before it is\n"
     "encoded, the encoding follows the change."),
]


def test_all_is_in_order_and_names_every_attribute():
    # Classes are appended as they land; what exists must keep the fixed order.
    assert isinstance(_core.__all__, list)
    assert len(_core.__all__) >= 4
    assert _core.__all__ == FULL_ALL[: len(_core.__all__)]
    for name in _core.__all__:
        assert hasattr(_core, name)
    assert quorvalent.__all__ == _core.__all__


def test_version():
    # One source: the installed distribution's version is what the module was built with.
    assert _core.__version__ == importlib.metadata.version("quorvalent")
    assert _core.core_version() == _core.__version__ == quorvalent.__version__
    with pytest.raises(TypeError):
        _core.core_version(1)
    with pytest.raises(TypeError):
        _core.core_version(x=1)


def test_module_doc_and_name():
    assert _core.__name__ == "quorvalent._core"
    assert _core.__doc__ == "The `quorvalent._core` native module."


@pytest.mark.parametrize("name,sig,doc", FUNCTIONS)
def test_function_shape(name, sig, doc):
    fn = getattr(_core, name)
    assert fn.__module__ == "quorvalent._core"
    assert fn.__name__ == name
    assert fn.__text_signature__ == sig
    assert str(inspect.signature(fn)) == sig
    for p in inspect.signature(fn).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert fn.__doc__ == doc
