import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvalent._core import Store


def contents(s):
    return {(ns, k): s.get(ns, k) for ns in s.namespaces() for k in s.keys(ns)}


# ---- shape and errors ----

@pytest.mark.parametrize("name,args,kwargs,exc,message", [
    ("scan", ("a",), {"reverse": 1}, TypeError,
     "argument 'reverse': 'int' object is not an instance of 'bool'"),
    ("scan", ("a",), {"limit": 1.0}, TypeError,
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ("scan", ("a",), {"limit": -1}, ValueError, "limit must be non-negative"),
    ("scan", ("a",), {"limit": -2**70}, ValueError, "limit must be non-negative"),
    ("copy_namespace", ("a", None), {}, TypeError,
     "argument 'target': 'None' is not an instance of 'str'"),
    ("drop_namespace", ("\ud800",), {}, UnicodeEncodeError, None),
])
def test_store_argument_errors(name, args, kwargs, exc, message):
    s = Store()
    s.set("a", "k", 1)
    with pytest.raises(exc) as ei:
        getattr(s, name)(*args, **kwargs)
    assert type(ei.value) is exc
    if message is not None:
        assert str(ei.value) == message
    assert contents(s) == {("a", "k"): 1}


# ---- scan ----

KEYS = ["", "a", "ab", "abc", "b", "ba", "c", "z", "é", "\U0001f600"]


def model_scan(keys, prefix=None, start=None, stop=None, reverse=False, limit=None):
    # Python orders str by code point, which is the bytewise order of their UTF-8.
    out = sorted(k for k in keys if (prefix is None or k.startswith(prefix))
                 and (start is None or k >= start) and (stop is None or k < stop))
    if reverse:
        out.reverse()
    return out if limit is None else out[:limit]


# Ordering edge cases live in the engine's tests; these are about the arguments.
@pytest.mark.parametrize("args,kwargs,expected", [
    (("ns",), {"limit": True}, [""]),
    (("ns",), {"limit": 2**80}, KEYS),
    (("ns", ""), {"start": None, "stop": None, "limit": None}, KEYS),
    (("missing",), {"limit": 3}, []),
])
def test_scan_cases(args, kwargs, expected):
    s = Store()
    s.set_many([("ns", k, 0) for k in KEYS])
    assert s.scan(*args, **kwargs) == expected


@given(keys=st.sets(st.text(alphabet="ab\x00\xe9\U0001f600", max_size=10), max_size=30),
       prefix=st.none() | st.text(alphabet="ab", max_size=2),
       start=st.none() | st.text(alphabet="ab\xe9", max_size=3),
       stop=st.none() | st.text(alphabet="ab\xe9", max_size=3),
       reverse=st.booleans(), limit=st.none() | st.integers(0, 35))
def test_scan_matches_sorted_model(keys, prefix, start, stop, reverse, limit):
    s = Store()
    s.set_many([("ns", k, None) for k in keys])
    got = s.scan("ns", prefix, start=start, stop=stop, reverse=reverse, limit=limit)
    assert got == model_scan(keys, prefix, start, stop, reverse, limit)
    if keys:
        assert s.scan("ns", reverse=True, limit=1) == [s.max_key("ns")]
