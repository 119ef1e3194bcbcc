import collections
import inspect
import subprocess
import sys
import time
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvalent._core import Snapshot, Store, dumps


def contents(reader):
    keys = reader.keys if isinstance(reader, Store) else reader.keys_in
    return {(ns, k): reader.get(ns, k) for ns in reader.namespaces() for k in keys(ns)}


def encoded(data):
    # Bytes, not values, so that 1 and True count as different.
    return {p: dumps(v) for p, v in data.items()}


# ---- construction ----

class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class BadIdx:
    def __index__(self):
        raise KeyError("boom")


@pytest.mark.parametrize("args,kwargs,max_history", [
    ((), {}, 0),
    (("memory", "msgpack", 5), {}, 5),
    ((), {"max_history": None}, None),
    ((), {"max_history": True}, 1),
    ((), {"max_history": Idx(3)}, 3),
    (("memory",), {"codec": "msgpack", "max_history": 2**64 - 1}, 2**64 - 1),
])
def test_constructor_accepts(args, kwargs, max_history):
    s = Store(*args, **kwargs)
    assert s.max_history == max_history and type(s.max_history) is type(max_history)
    assert s.codec == "msgpack"
    assert len(s) == 0
    assert repr(s) == "Store(backend='memory', codec='msgpack', entries=0)"


@pytest.mark.parametrize("args,kwargs,exc,message", [
    (("redis",), {}, ValueError, "backend 'redis' is not available in this build (only 'memory')"),
    ((), {"codec": "json"}, ValueError, "codec 'json' is not supported (only 'msgpack')"),
    (("redis", "json"), {}, ValueError, "backend 'redis' is not available in this build (only 'memory')"),
    # A wrong type wins over a wrong text, whatever the argument order.
    (("redis", 5), {}, TypeError, "argument 'codec': 'int' object is not an instance of 'str'"),
    ((1, 2, 3, 4), {}, TypeError,
     "Store.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    ((), {"history": 1}, TypeError, "Store.__new__() got an unexpected keyword argument 'history'"),
    (("memory",), {"backend": "memory"}, TypeError,
     "Store.__new__() got multiple values for argument 'backend'"),
])
def test_constructor_rejects(args, kwargs, exc, message):
    with pytest.raises(exc) as ei:
        Store(*args, **kwargs)
    assert type(ei.value) is exc
    assert str(ei.value) == message


@pytest.mark.parametrize("value,exc,start", [
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (BadIdx(), KeyError, None),  # passed through as is
    (1.5, TypeError, "argument 'max_history': "),
    ("5", TypeError, "argument 'max_history': "),
])
def test_constructor_max_history_rejects(value, exc, start):
    with pytest.raises(exc) as ei:
        Store(max_history=value)
    assert type(ei.value) is exc
    if start:
        assert str(ei.value).startswith(start)
    else:
        assert "max_history" not in str(ei.value)


# ---- class facts ----

def test_freed_instances_give_their_classes_back():
    # In a fresh interpreter, with the instances made and dropped on a thread of their own:
    # the free-threaded build counts a class's references per thread and adds them to the
    # class only when the thread ends, and a parallel run's other threads hold some too.
    code = """if True:
        import sys, threading
        from quorvalent._core import Snapshot, Store
        def churn():
            for _ in range(1000):
                Store().snapshot()
        before = sys.getrefcount(Store), sys.getrefcount(Snapshot)
        t = threading.Thread(target=churn)
        t.start()
        t.join()
        print(sys.getrefcount(Store) - before[0], sys.getrefcount(Snapshot) - before[1])
    """
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert [abs(int(d)) < 10 for d in out.stdout.split()] == [True, True], out.stdout


def test_class_facts():
    s = Store()
    assert Store.__module__ == Snapshot.__module__ == "quorvalent._core"
    assert Store.__qualname__ == "Store" and Store.__bases__ == (object,)
    assert Store.__text_signature__ == '(backend="memory", codec="msgpack", max_history=...)'
    with pytest.raises(TypeError):
        type("S", (Store,), {})
    with pytest.raises(TypeError):
        type("S", (Snapshot,), {})
    with pytest.raises(TypeError):
        Snapshot()
    snap_attrs = ["id", "timestamp", "parent", "size_bytes", "keys"]
    for obj, names in ((s, ["codec", "max_history"]), (s.snapshot(), snap_attrs)):
        for name in names:
            with pytest.raises(AttributeError):
                setattr(obj, name, getattr(obj, name))
            with pytest.raises(AttributeError):
                delattr(obj, name)
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.x = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


SIGNATURES = {
    (Store, "set"): "(namespace, key, value)", (Store, "get"): "(namespace, key, default=None)",
    (Store, "set_many"): "(items, *, fallback=None)", (Store, "get_many"): "(pairs)",
    (Store, "contains"): "(namespace, key)", (Store, "delete"): "(namespace, key)",
    (Store, "keys"): "(namespace, prefix=None)", (Store, "max_key"): "(namespace)",
    (Store, "namespaces"): "(prefix=None)", (Store, "clear"): "()", (Store, "snapshot"): "()",
    (Store, "history"): "()", (Store, "clear_history"): "()", (Store, "restore"): "(snapshot)",
    (Store, "scan"): "(namespace, prefix=None, *, start=None, stop=None, reverse=False, limit=None)",
    (Store, "copy_namespace"): "(source, target)", (Store, "drop_namespace"): "(namespace)",
    (Snapshot, "diff"): "(base)", (Snapshot, "get"): "(namespace, key, default=None)",
    (Snapshot, "get_many"): "(pairs)", (Snapshot, "keys_in"): "(namespace, prefix=None)",
    (Snapshot, "namespaces"): "(prefix=None)",
}


@pytest.mark.parametrize("cls,name", SIGNATURES)
def test_method_signatures(cls, name):
    sig = SIGNATURES[cls, name]
    assert getattr(cls, name).__text_signature__ == "($self" + (", " + sig[1:] if sig != "()" else ")")
    assert getattr(cls, name).__doc__
    obj = Store() if cls is Store else Store().snapshot()
    assert str(inspect.signature(getattr(obj, name))) == sig


# ---- binding errors of the methods ----

NS_INT = "argument 'namespace': 'int' object is not an instance of 'str'"


# One row per distinct message form; the binder path is shared by all methods.
@pytest.mark.parametrize("call,message", [
    (lambda s: s.set(),
     "Store.set() missing 3 required positional arguments: 'namespace', 'key', and 'value'"),
    (lambda s: s.get(), "Store.get() missing 2 required positional arguments: 'namespace' and 'key'"),
    (lambda s: s.set("a", "k"), "Store.set() missing 1 required positional argument: 'value'"),
    (lambda s: s.contains("a", "k", 1), "Store.contains() takes 2 positional arguments but 3 were given"),
    (lambda s: s.scan("a", None, None),
     "Store.scan() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda s: s.set("a", key="k", val=1), "Store.set() got an unexpected keyword argument 'val'"),
    (lambda s: s.get("a", "k", namespace="b"), "Store.get() got multiple values for argument 'namespace'"),
    # The namespace is converted before the value is encoded.
    (lambda s: s.set(5, "k", object()), NS_INT),
    (lambda s: s.set("a", None, 1), "argument 'key': 'None' is not an instance of 'str'"),
    (lambda s: s.get(namespace="a", key=b"k"), "argument 'key': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.keys("a", 5), "argument 'prefix': 'int' object is not an instance of 'str'"),
    (lambda s: s.restore(snapshot=Store()),
     "argument 'snapshot': 'Store' object is not an instance of 'Snapshot'"),
    (lambda s: s.snapshot().diff(None), "argument 'base': 'None' is not an instance of 'Snapshot'"),
    (lambda s: s.snapshot().diff(base=1), "argument 'base': 'int' object is not an instance of 'Snapshot'"),
    (lambda s: s.snapshot().diff(), "Snapshot.diff() missing 1 required positional argument: 'base'"),
    (lambda s: s.snapshot().diff(*[s.snapshot()] * 2),
     "Snapshot.diff() takes 1 positional arguments but 2 were given"),
    (lambda s: s.snapshot().get("a"), "Snapshot.get() missing 1 required positional argument: 'key'"),
    (lambda s: ("a", "k") in s, "argument 'namespace': 'tuple' object is not an instance of 'str'"),
])
def test_binding_errors(call, message):
    s = Store()
    s.set("a", "k", 1)
    with pytest.raises(TypeError) as ei:
        call(s)
    assert type(ei.value) is TypeError and str(ei.value) == message
    assert ei.value.__cause__ is None


@pytest.mark.parametrize("call", [
    lambda s: s.get("\ud800", "k"),
    lambda s: s.keys("a", "\ud800"),
    lambda s: "\ud800" in s,
    lambda s: s.get_many([("a", "\ud800")]),
])
def test_lone_surrogates_raise_unicode_error(call):
    with pytest.raises(UnicodeEncodeError):
        call(Store())


# ---- single-key operations ----

class StrSub(str):
    pass


def test_get_default_and_identity():
    s = Store()
    marker = [1]
    assert s.get("a", "k") is None
    assert s.get("a", "k", 7) == 7
    assert s.get("a", "k", marker) is marker
    assert s.get("a", "k", default=marker) is marker
    s.set("a", "k", None)
    assert s.get("a", "k", marker) is None
    s.set(StrSub("a"), StrSub("j"), 3)  # str subclasses are strings too
    s.set("n", "k", (1, (2,)))
    first = s.get("n", "k")
    assert first == [1, [2]]
    first.append(3)
    assert s.get("n", "k") == [1, [2]] and s.get("n", "k") is not s.get("n", "k")
    assert s.get("a", "j") == 3
    assert s.contains("a", "k") is True
    snap = s.snapshot()  # snapshots read the same way
    assert snap.get("a", "k", marker) is None and snap.get("a", "x", marker) is marker
    snap.get("n", "k").append(3)
    assert snap.get(namespace="n", key="k", default=5) == [1, [2]] and snap.get("a", "x") is None


@pytest.mark.parametrize("value", [
    None, True, False, 0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, "", "é\U0001f600", b"", b"\x00\xff",
    [], [1, [2, [3]]], {}, {"a": {"b": [None, 1.25]}, "c": b"x"}, {1: "int key"},
])
def test_set_get_round_trip(value):
    s = Store()
    s.set(namespace="n", key="k", value=value)
    got = s.get("n", "k")
    assert got == value and type(got) is type(value)


# Names differing only by case or normalisation, sharing a shard ("" and "ns"), and keys
# whose code-point order differs from UTF-16 order.
NAMES = ["", "ns", "Ns", "a", "e\u0301", "\xe9", "tenant:a", "threads"]
MKEYS = ["", "a", "ab", "Ab", "\xe9", "\xe9a", "b", "9", "10", "\uffff", "\U00010000"]
VALUES = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=4) | st.binary(
    max_size=3) | st.lists(st.integers(0, 300), max_size=3)
NAME, KEY = st.sampled_from(NAMES), st.sampled_from(MKEYS)
OPS = (st.tuples(st.just("set"), NAME, KEY, VALUES) | st.tuples(st.just("delete"), NAME, KEY)
       | st.tuples(st.just("many"), st.lists(st.tuples(NAME, KEY, VALUES), max_size=4))
       | st.tuples(st.just("clear")) | st.tuples(st.just("drop"), NAME)
       | st.tuples(st.just("copy"), NAME, NAME) | st.tuples(st.just("snap")))


@given(ops=st.lists(OPS, max_size=20))
def test_store_matches_dict_model(ops):
    s, live, taken = Store(), {}, []
    for kind, *a in ops:
        if kind == "snap":
            taken.append((s.snapshot(), dict(live)))
        elif kind == "set":
            s.set(*a)
            live[a[0], a[1]] = a[2]
        elif kind == "delete":
            assert s.delete(*a) is (tuple(a) in live)
            live.pop(tuple(a), None)
        elif kind == "many":
            s.set_many(a[0])
            live.update(((ns, k), v) for ns, k, v in a[0])
        elif kind == "clear":
            s.clear()
            live.clear()
        elif kind == "drop":
            assert s.drop_namespace(a[0]) == sum(ns == a[0] for ns, _ in live)
            live = {p: v for p, v in live.items() if p[0] != a[0]}
        else:
            s.copy_namespace(*a)
            copied = {(a[1], k): v for (ns, k), v in live.items() if ns == a[0]}
            live = {p: v for p, v in live.items() if p[0] != a[1]} | copied
    assert encoded(contents(s)) == encoded(live)
    assert len(s) == len(live) and repr(s) == f"Store(backend='memory', codec='msgpack', entries={len(live)})"
    names = {ns for ns, _ in live}
    for prefix in (None, "", "t", "tenant:a", "e", "x"):
        want = sorted(n for n in names if prefix is None or n.startswith(prefix))
        assert sorted(s.namespaces(prefix)) == want
    for ns in NAMES:
        keys = sorted(k for n, k in live if n == ns)
        assert (ns in s) is bool(keys) and s.max_key(ns) == (max(keys) if keys else None)
        for prefix in (None, "", "a", "A", "\xe9", "e", "abc"):
            assert sorted(s.keys(ns, prefix)) == [k for k in keys if prefix is None or k.startswith(prefix)]
        assert [k for k in MKEYS if s.contains(ns, k)] == [k for k in MKEYS if (ns, k) in live]
    snap = s.snapshot()
    assert sorted(snap.keys) == sorted(live)
    assert all(type(p) is tuple and len(p) == 2 and all(type(x) is str for x in p) for p in snap.keys)
    assert snap.size_bytes == sum(len(dumps(v)) for v in live.values())
    # Earlier snapshots read as the store did then, whatever came after.
    pairs = [(ns, k) for ns in NAMES for k in ("a", "b")] + [("a", "a")]
    for old, then in taken:
        assert encoded(contents(old)) == encoded(then)
        assert [dumps(v) for v in old.get_many(pairs)] == [dumps(then.get(p)) for p in pairs]
        for prefix in (None, "a", "t"):
            hit = {n for n, _ in then if prefix is None or n.startswith(prefix)}
            assert sorted(old.namespaces(prefix)) == sorted(hit)
            hit = [k for n, k in then if n == "a" and (prefix is None or k.startswith(prefix))]
            assert sorted(old.keys_in("a", prefix)) == sorted(hit)
        d = snap.diff(old)
        common = live.keys() & then.keys()
        assert sorted(d["added"]) == sorted(live.keys() - then.keys())
        assert sorted(d["removed"]) == sorted(then.keys() - live.keys())
        assert sorted(d["changed"]) == sorted(p for p in common if dumps(live[p]) != dumps(then[p]))


# ---- batches ----

Pair = collections.namedtuple("Pair", "ns key")
Triple = collections.namedtuple("Triple", "ns key value")


class MySeq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_batches_accepted_shapes():
    s = Store()
    assert s.set_many([]) is None and s.set_many(()) is None and len(s) == 0
    assert s.get_many([]) == [] and s.get_many(()) == []
    s.set_many((("a", "x", 1), Triple("default", "y", [2])))
    s.set_many(MySeq([("threads", "z", {"v": 3})]))
    s.set_many(items=[("a", "w", None)])
    assert s.get_many([("a", "x"), ("nope", "x"), ("default", "y"), ("threads", "z")]) == [
        1, None, [2], {"v": 3}]
    assert s.get_many((Pair("a", "x"),)) == [1]
    assert s.get_many(MySeq([("threads", "z")])) == [{"v": 3}]
    assert s.get_many(pairs=[("a", "w"), ("a", "missing")]) == [None, None]
    twice = s.get_many([("default", "y"), ("default", "y")])
    assert twice == [[2], [2]] and twice[0] is not twice[1]
    assert len(s) == 4


P, I = "argument 'pairs': ", "argument 'items': "


@pytest.mark.parametrize("method,arg,exc,message", [
    ("get_many", "ab", TypeError, P + "Can't extract `str` to `Vec`"),
    ("get_many", {("a", "k"): 1}, TypeError, P + "'dict' object is not an instance of 'Sequence'"),
    ("set_many", None, TypeError, I + "'None' is not an instance of 'Sequence'"),
    ("get_many", [["a", "k"]], TypeError, P + "'list' object is not an instance of 'tuple'"),
    ("get_many", [("a", "k"), "ak"], TypeError, P + "'str' object is not an instance of 'tuple'"),
    ("get_many", b"ab", TypeError, P + "'int' object is not an instance of 'tuple'"),
    # Neither list nor tuple: no size is read up front (a misread of its large bounds would show).
    ("get_many", range(2**64, 2**64 + 2), TypeError, P + "'int' object is not an instance of 'tuple'"),
    # Element by element: the first element's bad namespace wins over the second's length.
    ("get_many", [(5, "k"), ("a",)], TypeError, P + "'int' object is not an instance of 'str'"),
    ("set_many", [(5, "k", 1), ("a", "k")], TypeError, I + "'int' object is not an instance of 'str'"),
    # Type errors win over an earlier unencodable value.
    ("set_many", [("a", "k", object()), (b"a", "k", 1)], TypeError,
     I + "'bytes' object is not an instance of 'str'"),
    ("get_many", [("a", "k", "x")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("get_many", [("a",), (5, "k")], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("set_many", [("a", "k")], ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ("set_many", [("a", "k", 1, 2)], ValueError, "expected tuple of length 3, but got tuple of length 4"),
    # Shape errors win over an earlier unencodable value.
    ("set_many", [("a", "k", object()), ("a", "k")], ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
])
def test_batch_errors(method, arg, exc, message):
    s = Store()
    with pytest.raises(exc) as ei:
        getattr(s, method)(arg)
    assert type(ei.value) is exc and str(ei.value) == message
    assert len(s) == 0


# ---- snapshots, history, restore ----

def test_snapshot_ids_parents_and_repr():
    s = Store()
    first = s.snapshot()
    assert (first.id, first.parent, first.size_bytes) == (1, None, 0)
    assert repr(first) == "Snapshot(id=1, size_bytes=0, parent=None)"
    s.set("a", "k", "x" * 14)  # 15 bytes encoded
    second = s.snapshot()
    assert (second.id, second.parent) == (2, 1)
    assert repr(second) == f"Snapshot(id=2, size_bytes={len(dumps('x' * 14))}, parent=Some(1))"
    assert s.history() == []  # max_history 0 keeps nothing, ids still advance
    assert Store().snapshot().id == 1  # ids count per store
    assert isinstance(first.timestamp, float) and abs(first.timestamp - time.time()) < 3600
    assert first.timestamp <= second.timestamp


@pytest.mark.parametrize("max_history,kept", [
    (0, []),
    (None, [1, 2, 3, 4, 5]),
    (2, [4, 5]),
    (1, [5]),
    (5, [1, 2, 3, 4, 5]),
    (10, [1, 2, 3, 4, 5]),
])
def test_history_retention(max_history, kept):
    s = Store(max_history=max_history)
    s.set("n", "0", 0)
    first = s.snapshot()
    for i in range(1, 5):
        s.set("n", str(i), i)
        s.snapshot()
    assert [h.id for h in s.history()] == kept
    assert [h.parent for h in s.history()] == [i - 1 or None for i in kept]
    assert [h.size_bytes for h in s.history()] == [i for i in kept]  # one byte per value
    s.restore(first)  # valid even once trimmed from the history
    assert contents(s) == {("n", "0"): 0}


def test_history_objects_and_clear_history():
    s = Store(max_history=None)
    s.set("a", "k", 1)
    held = s.snapshot()
    s.snapshot()
    one, two = s.history(), s.history()
    assert [x.id for x in one] == [x.id for x in two] == [1, 2]
    assert one[0] is not two[0]
    assert s.clear_history() is None and s.history() == []
    s.set("a", "k", 2)
    nxt = s.snapshot()
    assert (nxt.id, nxt.parent) == (3, 2)
    assert held.keys == [("a", "k")] and held.size_bytes == 1


def test_restore_roundtrip_and_history_untouched():
    s = Store(max_history=None)
    s.set_many([("a", "k", {"x": 1}), ("default", "k", [1]), ("", "", "e")])
    snap = s.snapshot()
    s.set("a", "k", "other")
    s.delete("default", "k")
    s.snapshot()
    s.clear()  # keeps history and snapshots
    s.set("threads", "t", 9)
    assert s.restore(snap) is None
    assert contents(s) == {("a", "k"): {"x": 1}, ("default", "k"): [1], ("", ""): "e"}
    assert [h.id for h in s.history()] == [1, 2]
    after = s.snapshot()
    assert after.size_bytes == snap.size_bytes and after.parent == 2
    assert after.diff(snap) == {"added": [], "removed": [], "changed": []}
    # Writes after a restore do not reach the snapshot.
    s.set("a", "k", "later")
    assert snap.diff(s.snapshot())["changed"] == [("a", "k")]
    s.restore(snapshot=snap)
    assert s.get("a", "k") == {"x": 1}


def test_restore_from_other_store():
    src, dst = Store(), Store()
    src.set_many([("a", "k", 1), ("threads", "t", "v")])
    dst.set("default", "d", 0)
    dst.snapshot()
    dst.restore(src.snapshot())
    assert contents(dst) == {("a", "k"): 1, ("threads", "t"): "v"}
    dst.set("a", "k", 2)
    src.delete("threads", "t")
    assert contents(src) == {("a", "k"): 1}
    assert contents(dst) == {("a", "k"): 2, ("threads", "t"): "v"}
    assert dst.snapshot().parent == 1


# ---- diff ----

def diff(a, b):
    d = a.diff(base=b)
    assert set(d) == {"added", "removed", "changed"}
    return {k: sorted(v) for k, v in d.items()}


EMPTY = {"added": [], "removed": [], "changed": []}


@pytest.mark.parametrize("before,after,expected", [
    ({}, {}, EMPTY),
    ({}, {("n", "a"): 1}, {"added": [("n", "a")], "removed": [], "changed": []}),
    ({("n", "a"): 1}, {}, {"added": [], "removed": [("n", "a")], "changed": []}),
    ({("n", "a"): 1}, {("n", "a"): True}, {"added": [], "removed": [], "changed": [("n", "a")]}),
    ({("n", "a"): 1}, {("n", "a"): 1.0}, {"added": [], "removed": [], "changed": [("n", "a")]}),
    ({("n", "a"): [1, "x"]}, {("n", "a"): (1, "x")}, EMPTY),  # same encoding
    ({("n", "a"): "ab"}, {("n", "a"): "ac"}, {"added": [], "removed": [], "changed": [("n", "a")]}),
    # Namespaces sharing a shard: one changes, one stays, one appears.
    ({("", "k"): 1, ("ns", "k"): 1}, {("", "k"): 1, ("ns", "k"): 2, ("ns", "j"): 3},
     {"added": [("ns", "j")], "removed": [], "changed": [("ns", "k")]}),
    ({("", "k"): 1, ("ns", "k"): 1}, {("ns", "k"): 1},
     {"added": [], "removed": [("", "k")], "changed": []}),
    ({("a", "x"): 1, ("a", "y"): 2, ("threads", "t"): 3},
     {("a", "y"): 2, ("a", "z"): 0, ("threads", "t"): 4, ("default", "d"): 5},
     {"added": [("a", "z"), ("default", "d")], "removed": [("a", "x")], "changed": [("threads", "t")]}),
])
def test_diff_table(before, after, expected):
    # Both within one store (shared structure) and across two stores (none shared).
    s = Store()
    for (ns, k), v in before.items():
        s.set(ns, k, v)
    s1 = s.snapshot()
    for pair in before.keys() - after.keys():
        s.delete(*pair)
    for (ns, k), v in after.items():
        s.set(ns, k, v)
    s2 = s.snapshot()
    other = Store()
    other.set_many([(ns, k, v) for (ns, k), v in after.items()])
    s2_other = other.snapshot()
    reverse = {"added": expected["removed"], "removed": expected["added"],
               "changed": expected["changed"]}
    for newer in (s2, s2_other):
        assert diff(newer, s1) == expected
        assert diff(s1, newer) == reverse
        assert diff(newer, newer) == EMPTY


# ---- key and namespace queries ----
