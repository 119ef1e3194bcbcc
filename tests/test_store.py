import collections
import inspect
import weakref

import pytest

from quorvalent._core import Snapshot, Store, dumps

# "" and "ns" share shard 15; "a", "default", "threads" lie in shards 3, 1, 11.
SAME_SHARD = ("", "ns")


def contents(store):
    return {(ns, k): store.get(ns, k) for ns in store.namespaces() for k in store.keys(ns)}


def type_msg(fn, *args, **kwargs):
    with pytest.raises(TypeError) as ei:
        fn(*args, **kwargs)
    assert type(ei.value) is TypeError
    return str(ei.value)


# ---- construction ----

class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("args,kwargs,max_history", [
    ((), {}, 0),
    (("memory", "msgpack", 5), {}, 5),
    ((), {"max_history": None}, None),
    ((), {"max_history": 0}, 0),
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
    (("Memory",), {}, ValueError, "backend 'Memory' is not available in this build (only 'memory')"),
    (("",), {}, ValueError, "backend '' is not available in this build (only 'memory')"),
    ((), {"codec": "json"}, ValueError, "codec 'json' is not supported (only 'msgpack')"),
    (("memory", "msgpack "), {}, ValueError, "codec 'msgpack ' is not supported (only 'msgpack')"),
    (("redis", "json"), {}, ValueError, "backend 'redis' is not available in this build (only 'memory')"),
    # A wrong type wins over a wrong text, whatever the argument order.
    (("redis", 5), {}, TypeError, "argument 'codec': 'int' object is not an instance of 'str'"),
    ((None,), {}, TypeError, "argument 'backend': 'None' is not an instance of 'str'"),
    ((), {"codec": None}, TypeError, "argument 'codec': 'None' is not an instance of 'str'"),
    ((b"memory",), {}, TypeError, "argument 'backend': 'bytes' object is not an instance of 'str'"),
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


def test_constructor_index_error_passes_through():
    class Bad:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        Store(max_history=Bad())


# ---- class facts ----

def test_class_facts():
    s = Store()
    assert Store.__module__ == Snapshot.__module__ == "quorvalent._core"
    assert Store.__qualname__ == "Store" and Store.__bases__ == (object,)
    assert Store.__doc__ == "Framework-agnostic state store with immutable snapshots."
    assert Store.__text_signature__ == '(backend="memory", codec="msgpack", max_history=...)'
    assert Snapshot.__doc__ == "A cheap, immutable point-in-time view of a [`Store`]."
    with pytest.raises(TypeError):
        type("S", (Store,), {})
    with pytest.raises(TypeError):
        type("S", (Snapshot,), {})
    with pytest.raises(TypeError):
        Snapshot()
    for obj in (s, s.snapshot()):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.x = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


@pytest.mark.parametrize("name", ["codec", "max_history"])
def test_store_properties_read_only(name):
    s = Store(max_history=3)
    with pytest.raises(AttributeError):
        setattr(s, name, getattr(s, name))
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert (s.codec, s.max_history) == ("msgpack", 3)


@pytest.mark.parametrize("name", ["id", "timestamp", "parent", "size_bytes", "keys"])
def test_snapshot_attributes_read_only(name):
    snap = Store().snapshot()
    with pytest.raises(AttributeError):
        setattr(snap, name, 1)


@pytest.mark.parametrize("cls,name,sig,first", [
    (Store, "set", "(namespace, key, value)",
     "Store `value` under `(namespace, key)`, replacing any existing value."),
    (Store, "get", "(namespace, key, default=None)",
     "Return the value at `(namespace, key)`, or `default` (None) if absent."),
    (Store, "set_many", "(items)", "Store many `(namespace, key, value)` triples in one call."),
    (Store, "get_many", "(pairs)",
     "Fetch many `(namespace, key)` pairs in one call, preserving input order."),
    (Store, "contains", "(namespace, key)", "Return whether `(namespace, key)` exists."),
    (Store, "delete", "(namespace, key)",
     "Delete `(namespace, key)`. Returns True if a value was removed."),
    (Store, "keys", "(namespace, prefix=None)",
     "Keys within `namespace`, optionally only those starting with `prefix`."),
    (Store, "max_key", "(namespace)",
     "The greatest key in `namespace`, or `None` if it holds nothing."),
    (Store, "namespaces", "(prefix=None)",
     "Namespaces in the store, optionally only those starting with `prefix`."),
    (Store, "clear", "()", "Remove all entries (does not clear snapshot history)."),
    (Store, "snapshot", "()", "Capture a cheap, immutable snapshot of the current state."),
    (Store, "history", "()", "Snapshots retained by this store, oldest first."),
    (Store, "clear_history", "()", "Drop every retained snapshot, releasing the state they pin."),
    (Store, "restore", "(snapshot)", "Roll the store back to a previously captured snapshot."),
    (Snapshot, "diff", "(base)", "Incremental diff describing how to go from `base` to `self`."),
])
def test_method_signatures_and_docs(cls, name, sig, first):
    method = getattr(cls, name)
    self_sig = "($self" + (", " + sig[1:] if sig != "()" else ")")
    assert method.__text_signature__ == self_sig
    assert method.__doc__.split("\n")[0] == first
    obj = Store() if cls is Store else Store().snapshot()
    assert str(inspect.signature(getattr(obj, name))) == sig


# ---- binding errors of the methods ----

NS_INT = "argument 'namespace': 'int' object is not an instance of 'str'"


@pytest.mark.parametrize("name,args,kwargs,message", [
    ("set", (), {}, "Store.set() missing 3 required positional arguments: 'namespace', 'key', and 'value'"),
    ("set", ("a", "k"), {}, "Store.set() missing 1 required positional argument: 'value'"),
    ("set", ("a", "k", 1, 2), {}, "Store.set() takes 3 positional arguments but 4 were given"),
    ("set", (5, "k", 1), {}, NS_INT),
    ("set", ("a", None, 1), {}, "argument 'key': 'None' is not an instance of 'str'"),
    # The namespace is converted before the value is encoded.
    ("set", (5, "k", object()), {}, NS_INT),
    ("set", ("a",), {"key": "k", "val": 1}, "Store.set() got an unexpected keyword argument 'val'"),
    ("get", (), {}, "Store.get() missing 2 required positional arguments: 'namespace' and 'key'"),
    ("get", ("a",), {}, "Store.get() missing 1 required positional argument: 'key'"),
    ("get", ("a", "k", None, None), {},
     "Store.get() takes from 2 to 3 positional arguments but 4 were given"),
    ("get", ("a", "k"), {"namespace": "b"}, "Store.get() got multiple values for argument 'namespace'"),
    ("get", ("a", "k"), {"dflt": 1}, "Store.get() got an unexpected keyword argument 'dflt'"),
    ("get", (5, "k"), {}, NS_INT),
    ("get", (), {"namespace": "a", "key": b"k"},
     "argument 'key': 'bytes' object is not an instance of 'str'"),
    ("contains", ("a",), {}, "Store.contains() missing 1 required positional argument: 'key'"),
    ("contains", (5, "k"), {}, NS_INT),
    ("contains", ("a", "k", "x"), {}, "Store.contains() takes 2 positional arguments but 3 were given"),
    ("delete", (), {"key": "k"}, "Store.delete() missing 1 required positional argument: 'namespace'"),
    ("delete", (5, "k"), {}, NS_INT),
    ("delete", ("a", "k"), {"key": "k"}, "Store.delete() got multiple values for argument 'key'"),
    ("keys", (), {}, "Store.keys() missing 1 required positional argument: 'namespace'"),
    ("keys", (5,), {}, NS_INT),
    ("keys", ("a", 5), {}, "argument 'prefix': 'int' object is not an instance of 'str'"),
    ("keys", ("a", None, None), {}, "Store.keys() takes from 1 to 2 positional arguments but 3 were given"),
    ("max_key", (), {}, "Store.max_key() missing 1 required positional argument: 'namespace'"),
    ("max_key", (5,), {}, NS_INT),
    ("max_key", ("a",), {"prefix": ""}, "Store.max_key() got an unexpected keyword argument 'prefix'"),
    ("namespaces", (b"",), {}, "argument 'prefix': 'bytes' object is not an instance of 'str'"),
    ("namespaces", ("", ""), {}, "Store.namespaces() takes from 0 to 1 positional arguments but 2 were given"),
    ("set_many", (), {}, "Store.set_many() missing 1 required positional argument: 'items'"),
    ("set_many", ([],), {"items": []}, "Store.set_many() got multiple values for argument 'items'"),
    ("get_many", ([], []), {}, "Store.get_many() takes 1 positional arguments but 2 were given"),
    ("get_many", (), {"items": []}, "Store.get_many() got an unexpected keyword argument 'items'"),
    ("restore", (), {}, "Store.restore() missing 1 required positional argument: 'snapshot'"),
    ("restore", (42,), {}, "argument 'snapshot': 'int' object is not an instance of 'Snapshot'"),
    ("restore", (None,), {}, "argument 'snapshot': 'None' is not an instance of 'Snapshot'"),
    ("restore", (), {"snapshot": Store()},
     "argument 'snapshot': 'Store' object is not an instance of 'Snapshot'"),
])
def test_method_binding_errors(name, args, kwargs, message):
    s = Store()
    assert type_msg(getattr(s, name), *args, **kwargs) == message


@pytest.mark.parametrize("name", ["clear", "snapshot", "history", "clear_history"])
def test_no_argument_methods_reject_arguments(name):
    s = Store()
    with pytest.raises(TypeError):
        getattr(s, name)(1)
    with pytest.raises(TypeError):
        getattr(s, name)(x=1)


@pytest.mark.parametrize("base,message", [
    (None, "argument 'base': 'None' is not an instance of 'Snapshot'"),
    (1, "argument 'base': 'int' object is not an instance of 'Snapshot'"),
])
def test_diff_binding_errors(base, message):
    snap = Store().snapshot()
    assert type_msg(snap.diff, base) == message
    assert type_msg(snap.diff, base=base) == message
    assert type_msg(snap.diff) == "Snapshot.diff() missing 1 required positional argument: 'base'"
    assert type_msg(snap.diff, snap, snap) == "Snapshot.diff() takes 1 positional arguments but 2 were given"


@pytest.mark.parametrize("operand,message", [
    (("a", "k"), "argument 'namespace': 'tuple' object is not an instance of 'str'"),
    (5, NS_INT),
    (None, "argument 'namespace': 'None' is not an instance of 'str'"),
])
def test_in_operand_type(operand, message):
    s = Store()
    s.set("a", "k", 1)
    assert type_msg(lambda: operand in s) == message


def test_argument_error_cause():
    with pytest.raises(TypeError) as ei:
        Store().get(5, "k")
    assert ei.value.__cause__ is None


@pytest.mark.parametrize("call", [
    lambda s: s.set("\ud800", "k", 1),
    lambda s: s.set("a", "\udfff", 1),
    lambda s: s.get("\ud800", "k"),
    lambda s: s.contains("a", "\ud800"),
    lambda s: s.delete("\ud800", "k"),
    lambda s: s.keys("a", "\ud800"),
    lambda s: s.namespaces("\ud800"),
    lambda s: s.max_key("\ud800"),
    lambda s: "\ud800" in s,
    lambda s: s.set_many([("a", "k", 1), ("\ud800", "k", 1)]),
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
    assert s.get("a", "k", None) is None
    s.set("a", "k", None)
    assert s.get("a", "k", marker) is None
    assert s.contains("a", "k") is True


@pytest.mark.parametrize("value", [
    None, True, False, 0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, "", "é\U0001f600", b"", b"\x00\xff",
    [], [1, [2, [3]]], {}, {"a": {"b": [None, 1.25]}, "c": b"x"}, {1: "int key"},
])
def test_set_get_round_trip(value):
    s = Store()
    s.set(namespace="n", key="k", value=value)
    got = s.get("n", "k")
    assert got == value and type(got) is type(value)


def test_tuple_comes_back_as_list():
    s = Store()
    s.set("n", "k", (1, (2,)))
    assert s.get("n", "k") == [1, [2]]


def test_get_returns_fresh_objects():
    s = Store()
    s.set("a", "k", [1, 2])
    first = s.get("a", "k")
    first.append(3)
    second = s.get("a", "k")
    assert second == [1, 2] and second is not s.get("a", "k")


def test_single_key_operations():
    s = Store()
    s.set("a", "k", 1)
    s.set("b", "k", 1)
    assert len(s) == 2
    s.set("a", "k", 2)
    assert len(s) == 2 and s.get("a", "k") == 2
    s.set(StrSub("a"), StrSub("j"), 3)  # str subclasses are strings too
    assert s.get("a", "j") == 3 and "a" in s and len(s) == 3
    assert s.delete("a", "missing") is False
    assert s.delete("zz", "k") is False
    assert s.delete("a", "k") is True
    assert "a" in s  # one key left
    assert s.delete("a", "j") is True
    assert "a" not in s and s.namespaces() == ["b"] and s.keys("a") == []
    assert s.delete("a", "j") is False
    assert "never" not in s
    assert s.contains("a", "j") is False
    assert repr(s) == "Store(backend='memory', codec='msgpack', entries=1)"


def test_empty_strings_and_exact_bytes():
    s = Store()
    s.set("", "", "empty")
    s.set("Ns", "k", 1)
    s.set("ns", "k", 2)
    s.set("e\u0301", "k", 3)  # not normalised to "é"
    assert s.get("", "") == "empty" and "" in s
    assert s.get("Ns", "k") == 1 and s.get("ns", "k") == 2
    assert "é" not in s and s.get("é", "k") is None
    assert sorted(s.namespaces()) == sorted(["", "Ns", "ns", "e\u0301"])


def test_clear_keeps_history_and_snapshots():
    s = Store(max_history=None)
    s.clear()
    s.set("a", "k", 1)
    s.set("default", "k", 2)
    before = s.snapshot()
    s.clear()
    assert len(s) == 0 and s.namespaces() == [] and "a" not in s
    assert [h.id for h in s.history()] == [1]
    assert sorted(before.keys) == [("a", "k"), ("default", "k")]
    assert s.snapshot().size_bytes == 0
    assert s.snapshot().parent == 2
    s.restore(before)
    assert contents(s) == {("a", "k"): 1, ("default", "k"): 2}


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


def gen_pairs():
    yield ("a", "k")


@pytest.mark.parametrize("arg,inner", [
    ("ab", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    ({("a", "k"): 1}, "'dict' object is not an instance of 'Sequence'"),
    ({("a", "k")}, "'set' object is not an instance of 'Sequence'"),
    (gen_pairs(), "'generator' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    (5, "'int' object is not an instance of 'Sequence'"),
    ([["a", "k"]], "'list' object is not an instance of 'tuple'"),
    ([("a", "k"), "ak"], "'str' object is not an instance of 'tuple'"),
    (b"ab", "'int' object is not an instance of 'tuple'"),
    ([(5, "k")], "'int' object is not an instance of 'str'"),
    ([("a", None)], "'None' is not an instance of 'str'"),
    # Element by element: the first element's bad namespace wins over the second's length.
    ([(5, "k"), ("a",)], "'int' object is not an instance of 'str'"),
])
def test_get_many_type_errors(arg, inner):
    assert type_msg(Store().get_many, arg) == f"argument 'pairs': {inner}"


@pytest.mark.parametrize("arg,inner", [
    ("abc", "Can't extract `str` to `Vec`"),
    ({"a": 1}, "'dict' object is not an instance of 'Sequence'"),
    (frozenset(), "'frozenset' object is not an instance of 'Sequence'"),
    ((t for t in [("a", "k", 1)]), "'generator' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    ([["a", "k", 1]], "'list' object is not an instance of 'tuple'"),
    ([("a", "k", 1), (5, "k", 1)], "'int' object is not an instance of 'str'"),
    ([("a", 5, 1)], "'int' object is not an instance of 'str'"),
    ([("a", "k", object()), (b"a", "k", 1)], "'bytes' object is not an instance of 'str'"),
    ([(5, "k", 1), ("a", "k")], "'int' object is not an instance of 'str'"),
])
def test_set_many_type_errors(arg, inner):
    s = Store()
    assert type_msg(s.set_many, arg) == f"argument 'items': {inner}"
    assert len(s) == 0


@pytest.mark.parametrize("method,arg,message", [
    ("get_many", [("a", "k", "x")], "expected tuple of length 2, but got tuple of length 3"),
    ("get_many", [("a", "k"), ()], "expected tuple of length 2, but got tuple of length 0"),
    ("get_many", [("a",), (5, "k")], "expected tuple of length 2, but got tuple of length 1"),
    ("set_many", [("a", "k")], "expected tuple of length 3, but got tuple of length 2"),
    ("set_many", [Pair("a", "k")], "expected tuple of length 3, but got tuple of length 2"),
    ("set_many", [("a", "k", 1, 2)], "expected tuple of length 3, but got tuple of length 4"),
    # Shape errors win over an earlier unencodable value.
    ("set_many", [("a", "k", object()), ("a", "k")],
     "expected tuple of length 3, but got tuple of length 2"),
])
def test_batch_length_errors(method, arg, message):
    s = Store()
    with pytest.raises(ValueError) as ei:
        getattr(s, method)(arg)
    assert type(ei.value) is ValueError and str(ei.value) == message
    assert len(s) == 0


@pytest.mark.parametrize("items,exc", [
    ([("a", "k", 1), ("default", "k", 2), ("threads", "k", object())], TypeError),
    ([("a", "k", 1), ("a", "j", 2**64)], ValueError),
    # The first unencodable value in input order is the one reported.
    ([("a", "k", {1j}), ("a", "j", 2**64)], TypeError),
    ([("a", "k", 2**64), ("a", "j", object())], ValueError),
])
def test_set_many_all_or_nothing(items, exc):
    s = Store()
    s.set("a", "k", "old")
    with pytest.raises(exc):
        s.set_many(items)
    assert contents(s) == {("a", "k"): "old"}


def test_set_many_semantics():
    s = Store()
    s.set("a", "k", 0)
    s.set_many([("a", "k", "x" * 100), ("a", "n", 1), ("default", "n", 2), ("a", "k", "short")])
    assert len(s) == 3  # grew by the distinct new pairs only
    assert s.get("a", "k") == "short"
    assert s.snapshot().size_bytes == len(dumps("short")) + len(dumps(1)) + len(dumps(2))


def test_get_many_missing_middle_across_shards():
    s = Store()
    s.set_many([("a", "k", 1), ("threads", "k", 3)])
    assert s.get_many([("a", "k"), ("default", "k"), ("threads", "k")]) == [1, None, 3]
    assert s.get_many([("threads", "k"), ("a", "k")]) == [3, 1]


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
    other = Store()
    assert other.snapshot().id == 1
    assert isinstance(first.timestamp, float)
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
    for i in range(5):
        s.set("n", str(i), i)
        s.snapshot()
    assert [h.id for h in s.history()] == kept
    assert [h.parent for h in s.history()] == [i - 1 or None for i in kept]
    assert [h.size_bytes for h in s.history()] == [i for i in kept]  # one byte per value


def test_history_objects_and_clear_history():
    s = Store(max_history=None)
    s.set("a", "k", 1)
    held = s.snapshot()
    s.snapshot()
    one, two = s.history(), s.history()
    assert [x.id for x in one] == [x.id for x in two] == [1, 2]
    assert one[0] is not two[0]
    assert s.clear_history() is None
    assert s.history() == []
    s.set("a", "k", 2)
    nxt = s.snapshot()
    assert (nxt.id, nxt.parent) == (3, 2)
    assert held.keys == [("a", "k")] and held.size_bytes == 1
    s.restore(held)
    assert s.get("a", "k") == 1


def test_trimmed_snapshot_stays_valid():
    s = Store(max_history=1)
    s.set("a", "k", [1, 2, 3])
    old = s.snapshot()
    s.set("a", "k", "gone")
    s.snapshot()
    assert [h.id for h in s.history()] == [2]
    s.restore(old)
    assert s.get("a", "k") == [1, 2, 3]


def test_snapshot_isolated_from_later_writes():
    s = Store()
    s.set_many([("a", "k", 1), ("a", "j", 2), ("threads", "k", 3)])
    snap = s.snapshot()
    size = snap.size_bytes
    s.set("a", "k", "changed")
    s.delete("a", "j")
    s.set("new", "k", 4)
    s.clear()
    assert sorted(snap.keys) == [("a", "j"), ("a", "k"), ("threads", "k")]
    assert snap.size_bytes == size == 3


def test_restore_roundtrip_and_history_untouched():
    s = Store(max_history=None)
    s.set_many([("a", "k", {"x": 1}), ("default", "k", [1]), ("", "", "e")])
    snap = s.snapshot()
    s.set("a", "k", "other")
    s.delete("default", "k")
    s.set("threads", "t", 9)
    s.snapshot()
    assert s.restore(snap) is None
    assert contents(s) == {("a", "k"): {"x": 1}, ("default", "k"): [1], ("", ""): "e"}
    assert len(s) == 3 and "threads" not in s
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


def test_restore_failure_leaves_store():
    s = Store()
    s.set("a", "k", 1)
    with pytest.raises(TypeError):
        s.restore(42)
    assert contents(s) == {("a", "k"): 1}


@pytest.mark.parametrize("ops", [
    [("set", "a", "k", 1)],
    [("set", "a", "k", "x" * 300), ("set", "a", "k", [1, 2])],
    [("set", "a", "k", 1), ("set", "b", "k", 1), ("delete", "a", "k")],
    [("set", "ns", "k", b"\x00" * 70000), ("set", "", "k", {"a": [1.5, None]})],
    [("many", [("a", "k", "long" * 50), ("threads", "t", 2**40), ("a", "k", "s")])],
    [("set", "a", "k", 1), ("clear",), ("set", "default", "k", "v")],
])
def test_size_bytes_is_sum_of_live_encodings(ops):
    s = Store()
    live = {}
    for op in ops:
        if op[0] == "set":
            s.set(*op[1:])
            live[op[1:3]] = op[3]
        elif op[0] == "delete":
            s.delete(*op[1:])
            del live[op[1:]]
        elif op[0] == "clear":
            s.clear()
            live.clear()
        else:
            s.set_many(op[1])
            for ns, k, v in op[1]:
                live[(ns, k)] = v
    snap = s.snapshot()
    assert snap.size_bytes == sum(len(dumps(v)) for v in live.values())
    assert sorted(snap.keys) == sorted(live)
    assert len(s) == len(live)


def test_snapshot_keys():
    s = Store()
    assert s.snapshot().keys == []
    s.set_many([("a", "1", 0), ("a", "2", 0), ("threads", "1", 0), ("threads", "2", 0)])
    keys = s.snapshot().keys
    assert sorted(keys) == [("a", "1"), ("a", "2"), ("threads", "1"), ("threads", "2")]
    assert all(type(p) is tuple and len(p) == 2 and all(type(x) is str for x in p) for p in keys)


# ---- diff ----

def diff(a, b):
    d = a.diff(b)
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


def test_diff_identical_snapshots_and_rewrite():
    s = Store()
    s.set_many([("a", "k", {"x": [1, 2]}), ("ns", "k", 1)])
    s1 = s.snapshot()
    s2 = s.snapshot()
    assert diff(s2, s1) == EMPTY
    s.set("a", "k", {"x": [1, 2]})  # a new stored value with the same bytes
    assert diff(s.snapshot(), s1) == EMPTY
    s.delete("ns", "k")
    assert diff(s.snapshot(), s1) == {"added": [], "removed": [("ns", "k")], "changed": []}
    assert s1.diff(base=s.snapshot()) == {"added": [("ns", "k")], "removed": [], "changed": []}


# ---- key and namespace queries ----

def test_keys_and_prefixes():
    s = Store()
    s.set_many([("n", k, 0) for k in ("a", "ab", "b", "Ab", "é", "éa")])
    assert sorted(s.keys("n")) == ["Ab", "a", "ab", "b", "é", "éa"]
    assert sorted(s.keys("n", "a")) == ["a", "ab"]
    assert sorted(s.keys("n", prefix="")) == sorted(s.keys("n")) == sorted(s.keys("n", None))
    assert s.keys("n", "ab") == ["ab"]
    assert s.keys("n", "abc") == []
    assert s.keys("n", "A") == ["Ab"]
    assert sorted(s.keys("n", "é")) == ["é", "éa"]
    assert s.keys("n", "e") == []
    assert s.keys("missing") == [] and s.keys("missing", "a") == []
    for k in ("a", "ab", "b", "Ab", "é", "éa"):
        s.delete("n", k)
    assert s.keys("n") == []


@pytest.mark.parametrize("keys,expected", [
    ([], None),
    (["9", "10"], "9"),
    (["a", "ab"], "ab"),
    (["z", "é"], "é"),
    (["\uffff", "\U00010000"], "\U00010000"),
    (["B", "a", "A"], "a"),
    ([""], ""),
    (["ckpt-0001", "ckpt-0010", "ckpt-0002"], "ckpt-0010"),
])
def test_max_key(keys, expected):
    s = Store()
    for k in keys:
        s.set("t", k, None)
    got = s.max_key("t")
    assert got == expected
    if keys:
        assert got == max(s.keys("t"))
    assert s.max_key(namespace="other") is None


def test_namespaces():
    s = Store()
    assert s.namespaces() == []
    names = ["tenant:a", "tenant:b", "thread:1", "", "ns", "default"]
    for n in names:
        s.set(n, "k", 1)
        s.set(n, "j", 2)
    listed = s.namespaces()
    assert sorted(listed) == sorted(names) and len(listed) == len(names)
    assert sorted(s.namespaces("tenant:")) == ["tenant:a", "tenant:b"]
    assert sorted(s.namespaces("t")) == ["tenant:a", "tenant:b", "thread:1"]
    assert sorted(s.namespaces(prefix="")) == sorted(s.namespaces(None)) == sorted(names)
    assert s.namespaces("tenant:ab") == [] and s.namespaces("x") == []
    s.delete("tenant:a", "k")
    assert "tenant:a" in s.namespaces()
    s.delete("tenant:a", "j")
    assert sorted(s.namespaces("tenant")) == ["tenant:b"]
    assert all(type(n) is str for n in listed)
