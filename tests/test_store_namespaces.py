import inspect

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvalent._core import Snapshot, Store, dumps

# "" and "ns" share shard 15; "a" is shard 3 and "threads" shard 11.
COPY_PAIRS = [("", "ns"), ("ns", ""), ("a", "threads"), ("threads", "a")]


def contents(reader):
    names = reader.namespaces()
    keys = reader.keys if isinstance(reader, Store) else reader.keys_in
    return {(ns, k): reader.get(ns, k) for ns in names for k in keys(ns)}


def size_bytes(store):
    return store.snapshot().size_bytes


# ---- shape and errors ----

@pytest.mark.parametrize("cls,name,sig,first", [
    (Store, "scan",
     "(namespace, prefix=None, *, start=None, stop=None, reverse=False, limit=None)",
     "Keys of `namespace` in key order, optionally only those starting with"),
    (Store, "copy_namespace", "(source, target)",
     "Make `target` an exact copy of `source`, replacing what it held."),
    (Store, "drop_namespace", "(namespace)", "Remove `namespace` with all its keys in one step."),
    (Snapshot, "get", "(namespace, key, default=None)",
     "Return the value at `(namespace, key)` in the snapshot, or `default` (None)"),
    (Snapshot, "get_many", "(pairs)",
     "Fetch many `(namespace, key)` pairs from the snapshot, preserving input order."),
    (Snapshot, "keys_in", "(namespace, prefix=None)",
     "Keys within `namespace` in the snapshot, optionally only those starting"),
    (Snapshot, "namespaces", "(prefix=None)",
     "Namespaces in the snapshot, optionally only those starting with `prefix`."),
])
def test_signatures_and_docs(cls, name, sig, first):
    method = getattr(cls, name)
    assert method.__text_signature__ == "($self, " + sig[1:]
    assert method.__doc__.split("\n")[0] == first
    obj = Store() if cls is Store else Store().snapshot()
    assert str(inspect.signature(getattr(obj, name))) == sig


NS_INT = "argument 'namespace': 'int' object is not an instance of 'str'"


@pytest.mark.parametrize("name,args,kwargs,exc,message", [
    ("scan", (), {}, TypeError, "Store.scan() missing 1 required positional argument: 'namespace'"),
    ("scan", ("a", None, None), {}, TypeError,
     "Store.scan() takes from 1 to 2 positional arguments but 3 were given"),
    ("scan", ("a",), {"end": "x"}, TypeError, "Store.scan() got an unexpected keyword argument 'end'"),
    ("scan", ("a", "p"), {"prefix": "p"}, TypeError,
     "Store.scan() got multiple values for argument 'prefix'"),
    ("scan", (5,), {}, TypeError, NS_INT),
    ("scan", ("a",), {"start": b"x"}, TypeError,
     "argument 'start': 'bytes' object is not an instance of 'str'"),
    ("scan", ("a",), {"reverse": 1}, TypeError,
     "argument 'reverse': 'int' object is not an instance of 'bool'"),
    ("scan", ("a",), {"reverse": None}, TypeError,
     "argument 'reverse': 'None' is not an instance of 'bool'"),
    ("scan", ("a",), {"limit": 1.0}, TypeError,
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ("scan", ("a",), {"limit": -1}, ValueError, "limit must be non-negative"),
    ("scan", ("a",), {"limit": -2**70}, ValueError, "limit must be non-negative"),
    ("copy_namespace", ("a",), {}, TypeError,
     "Store.copy_namespace() missing 1 required positional argument: 'target'"),
    ("copy_namespace", (5, "b"), {}, TypeError,
     "argument 'source': 'int' object is not an instance of 'str'"),
    ("copy_namespace", ("a", None), {}, TypeError,
     "argument 'target': 'None' is not an instance of 'str'"),
    ("drop_namespace", (), {}, TypeError,
     "Store.drop_namespace() missing 1 required positional argument: 'namespace'"),
    ("drop_namespace", (5,), {}, TypeError, NS_INT),
    ("drop_namespace", ("a",), {"key": "k"}, TypeError,
     "Store.drop_namespace() got an unexpected keyword argument 'key'"),
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


@pytest.mark.parametrize("name,args,kwargs,exc,message", [
    ("get", ("a",), {}, TypeError, "Snapshot.get() missing 1 required positional argument: 'key'"),
    ("get", (5, "k"), {}, TypeError, NS_INT),
    ("get_many", ("ab",), {}, TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    ("get_many", ([["a", "k"]],), {}, TypeError,
     "argument 'pairs': 'list' object is not an instance of 'tuple'"),
    ("get_many", ([("a", "k"), (5, "k")],), {}, TypeError,
     "argument 'pairs': 'int' object is not an instance of 'str'"),
    ("get_many", ([("a", "k", "x")],), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("get_many", (), {"items": []}, TypeError,
     "Snapshot.get_many() got an unexpected keyword argument 'items'"),
    ("keys_in", (), {}, TypeError,
     "Snapshot.keys_in() missing 1 required positional argument: 'namespace'"),
    ("keys_in", ("a", 5), {}, TypeError, "argument 'prefix': 'int' object is not an instance of 'str'"),
    ("namespaces", (b"",), {}, TypeError,
     "argument 'prefix': 'bytes' object is not an instance of 'str'"),
    ("namespaces", ("", ""), {}, TypeError,
     "Snapshot.namespaces() takes from 0 to 1 positional arguments but 2 were given"),
])
def test_snapshot_argument_errors(name, args, kwargs, exc, message):
    snap = Store().snapshot()
    with pytest.raises(exc) as ei:
        getattr(snap, name)(*args, **kwargs)
    assert type(ei.value) is exc and str(ei.value) == message


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
    (("ns",), {"stop": "b", "reverse": True, "limit": 2}, ["abc", "ab"]),
    (("ns", "a"), {"start": "aa", "stop": "abd"}, ["ab", "abc"]),
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


# ---- copy_namespace and drop_namespace ----

@pytest.mark.parametrize("source,target", COPY_PAIRS)
def test_copy_namespace_replaces_and_stays_independent(source, target):
    s = Store()
    s.set_many([(source, "k1", [1, 2]), (source, "k2", "two"), (target, "old", "x" * 20),
                ("default", "k", 0)])
    s.copy_namespace(source, target)
    assert s.keys(target, "k") and sorted(s.keys(target)) == ["k1", "k2"]
    assert s.get(target, "k1") == [1, 2] and not s.contains(target, "old")
    assert len(s) == 5
    assert size_bytes(s) == 2 * (len(dumps([1, 2])) + len(dumps("two"))) + len(dumps(0))
    # Writes to either side after the copy stay on that side.
    s.set(source, "k3", 3)
    s.delete(target, "k1")
    s.set(target, "k2", "changed")
    assert contents(s) == {(source, "k1"): [1, 2], (source, "k2"): "two", (source, "k3"): 3,
                           (target, "k2"): "changed", ("default", "k"): 0}
    # An absent source empties the target, as does one emptied since.
    s.copy_namespace("never-written", target)
    assert target not in s and size_bytes(s) == sum(len(dumps(v)) for v in ([1, 2], "two", 3, 0))


def test_copy_namespace_onto_itself_and_between_absent_names():
    s = Store()
    s.set("a", "k", 1)
    s.copy_namespace("a", "a")
    s.copy_namespace("x", "y")
    assert contents(s) == {("a", "k"): 1} and s.namespaces() == ["a"]


def test_copy_namespace_leaves_snapshots_alone():
    s = Store()
    s.set("a", "k", 1)
    s.set("b", "k", 2)
    before = s.snapshot()
    s.copy_namespace("a", "b")
    after = s.snapshot()
    assert before.get("b", "k") == 2 and after.get("b", "k") == 1
    assert after.diff(before) == {"added": [], "removed": [], "changed": [("b", "k")]}


def test_drop_namespace_counts_and_releases():
    s = Store()
    s.set_many([("threads", str(i), "v" * i) for i in range(5)] + [("a", "k", 1)])
    before = s.snapshot()
    assert s.drop_namespace("threads") == 5
    assert s.drop_namespace("threads") == 0 and s.drop_namespace("never-written") == 0
    assert "threads" not in s and s.namespaces() == ["a"] and len(s) == 1
    assert size_bytes(s) == len(dumps(1))
    assert sorted(before.keys_in("threads")) == ["0", "1", "2", "3", "4"]


# ---- snapshot reads ----

def filled_store():
    s = Store()
    s.set_many([("a", "k", {"x": [1, 2]}), ("a", "kk", None), ("a", "j", 3), ("threads", "t1", "v"),
                ("thr", "k", b"b"), ("", "", 0)])
    return s


def test_snapshot_reads_match_the_store_and_ignore_later_writes():
    s = filled_store()
    snap = s.snapshot()
    expected = contents(s)
    pairs = [("a", "k"), ("nope", "k"), ("a", "kk"), ("a", "missing"), ("a", "k")]
    assert snap.get_many(pairs) == s.get_many(pairs)
    for prefix in (None, "", "thr", "z"):
        assert snap.namespaces(prefix) == s.namespaces(prefix)
        assert sorted(snap.keys_in("a", prefix)) == sorted(s.keys("a", prefix))
    s.set("a", "k", "new")
    s.drop_namespace("threads")
    s.copy_namespace("thr", "a")
    s.clear()
    assert contents(snap) == expected
    assert snap.keys_in("nope") == [] and snap.get_many([]) == []


def test_snapshot_get_default_and_fresh_objects():
    snap = filled_store().snapshot()
    marker = []
    assert snap.get("a", "kk", marker) is None  # a stored None wins over the default
    assert snap.get("a", "missing", marker) is marker and snap.get("a", "missing") is None
    first = snap.get("a", "k")
    first["x"].append(3)
    assert snap.get("a", "k") == {"x": [1, 2]}
    assert snap.get(namespace="threads", key="t1", default=5) == "v"
