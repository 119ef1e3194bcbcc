"""Encoded bytes in and out of a Store, one atomic batch, and restoring one namespace."""

import os
import subprocess
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quorvalent._core import Snapshot, Store, dumps, loads

DEPTH = ("value nests deeper than 128 levels (or is self-referential); the quorvalent msgpack "
         "codec rejects it to protect the native stack")
EXT = "msgpack extension types are not supported by the quorvalent codec"


def contents(s):
    # Bytes, not decoded values, so that 1 and True count as different.
    return {(ns, k): s.get_raw(ns, k) for ns in s.namespaces() for k in s.keys(ns)}


def size_bytes(s):
    return s.snapshot().size_bytes


# ---- set_raw: what is accepted, what is refused ----

VALUES = [None, True, 0, -1, 2**64 - 1, -(2**63), 1.5, float("inf"), "", "é" * 40, b"\x00" * 300,
          [], [1, [2, [3]]], {"a": {"b": [None]}}, {1: "int key", b"k": 1.0, None: 0},
          ["x" * 70_000], {str(i): i for i in range(40)}]


@pytest.mark.parametrize("value", VALUES, ids=range(len(VALUES)))
def test_set_raw_round_trips_dumps(value):
    s = Store()
    data = dumps(value)
    s.set_raw("ns", "k", data)
    assert s.get_raw("ns", "k") == data
    assert s.get("ns", "k") == loads(data)
    assert s.snapshot().get_raw("ns", "k") == data
    assert size_bytes(s) == len(data)
    s.set("ns", "k", value)  # the same bytes through the codec
    assert s.get_raw("ns", "k") == data


def nested(n):
    return b"\x91" * n + b"\xc0"


# What loads reads besides what dumps writes: float 32, non-minimal ints, invalid UTF-8 is
# refused though (see below).
ACCEPTED = [b"\xca\x3f\x80\x00\x00", b"\xcd\x00\x05", b"\xd3" + b"\x00" * 8, nested(128),
            b"\x82\xa1a\x01\xa1a\x02", b"\xdd\x00\x00\x00\x00", b"\x80", b"\xa0", b"\xc4\x00"]


@pytest.mark.parametrize("data", ACCEPTED, ids=range(len(ACCEPTED)))
def test_set_raw_accepts_what_loads_reads(data):
    s = Store()
    s.set_raw("ns", "k", data)
    assert s.get_raw("ns", "k") == data  # kept as given, not re-encoded
    assert s.get("ns", "k") == loads(data)


REFUSED = [
    (b"", "msgpack decode error: unexpected end of input"),
    (b"\x92\x01", "msgpack decode error: unexpected end of input"),
    (b"\xdd\xff\xff\xff\xff", "msgpack decode error: unexpected end of input"),
    (b"\xa5abc", "msgpack decode error: unexpected end of input"),
    (b"\xc1", "msgpack decode error: reserved marker 0xc1"),
    (b"\x91\xc1", "msgpack decode error: reserved marker 0xc1"),
    (b"\xd4\x01\x00", EXT),
    (b"\xc7\x00\x05", EXT),
    (nested(129), DEPTH),
    (b"\x91" * 129, DEPTH),  # the depth is checked before the input runs out
    (b"\x01\x02", "msgpack decode error: trailing data after the value, at byte 1 of 2"),
    (b"\x90\xc0\xc0\xc0", "msgpack decode error: trailing data after the value, at byte 1 of 4"),
    (b"\xa2\xff\xfe", "msgpack decode error: the str at byte 0 is not valid UTF-8"),
    (b"\x92\x01\xa3\xed\xa0\x80", "msgpack decode error: the str at byte 2 is not valid UTF-8"),
    (b"\xa2\xc0\x80", "msgpack decode error: the str at byte 0 is not valid UTF-8"),  # overlong
    (b"\x81\x90\x01",
     "msgpack decode error: the map key at byte 1 is an array or a map, which cannot be a dict key"),
    (b"\x91\x81\x80\x01",
     "msgpack decode error: the map key at byte 2 is an array or a map, which cannot be a dict key"),
    # An unhashable key is found after its value, as loads finds it.
    (b"\x81\x90\xc1", "msgpack decode error: reserved marker 0xc1"),
]


@pytest.mark.parametrize("data,message", REFUSED, ids=range(len(REFUSED)))
def test_set_raw_refuses_and_keeps_the_old_value(data, message):
    s = Store()
    s.set("ns", "k", [1, 2])
    before = s.get_raw("ns", "k")
    with pytest.raises(ValueError) as ei:
        s.set_raw("ns", "k", data)
    assert type(ei.value) is ValueError and str(ei.value) == message
    with pytest.raises(ValueError):
        s.set_raw("ns", "new", data)
    assert contents(s) == {("ns", "k"): before} and size_bytes(s) == len(before)


@given(st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text()
    | st.binary(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=20))
def test_everything_dumps_writes_is_accepted(value):
    s = Store()
    data = dumps(value)
    s.set_raw("n", "k", data)
    assert s.get_raw("n", "k") == data


def has_bytes(v):
    if isinstance(v, bytes):
        return True
    if isinstance(v, list):
        return any(map(has_bytes, v))
    if isinstance(v, dict):
        return any(map(has_bytes, v)) or any(map(has_bytes, v.values()))
    return False


def loads_or_none(data):
    try:
        return (loads(data),)
    except (ValueError, TypeError):
        return None


@given(st.binary(max_size=24))
def test_set_raw_accepts_exactly_one_valid_loads_value(data):
    s = Store()
    try:
        s.set_raw("n", "k", data)
        accepted = True
    except ValueError:
        accepted = False
    got = loads_or_none(data)
    # loads ignores what follows the value: the value ends where a prefix first decodes.
    ends_at_end = got is not None and loads_or_none(data[:-1]) is None
    if accepted:
        assert ends_at_end and s.get_raw("n", "k") == data
    elif ends_at_end:
        assert has_bytes(got[0])  # only a str that is not UTF-8 (read back as bytes) is left


# ---- argument errors ----

STORE_ARG_ERRORS = [
    ("set_raw", ("ns", "k", bytearray(b"\xc0")), {}, TypeError,
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    ("set_raw", ("ns", "k", "\xc0"), {}, TypeError,
     "argument 'data': 'str' object is not an instance of 'bytes'"),
    ("set_raw", ("ns", "k", None), {}, TypeError,
     "argument 'data': 'None' is not an instance of 'bytes'"),
    ("set_raw", (1, "k", b"\xc0"), {}, TypeError,
     "argument 'namespace': 'int' object is not an instance of 'str'"),
    ("set_raw", ("ns", "k"), {}, TypeError, "Store.set_raw() missing 1 required positional argument: 'data'"),
    ("get_raw", ("ns",), {}, TypeError, "Store.get_raw() missing 1 required positional argument: 'key'"),
    ("get_raw", ("ns", b"k"), {}, TypeError,
     "argument 'key': 'bytes' object is not an instance of 'str'"),
    ("get_many_raw", ("ab",), {}, TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    ("get_many_raw", ([("a", "b", "c")],), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("apply_raw", ([("a", "b")],), {}, ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    ("apply_raw", ([("a", "b", "\xc0")],), {}, TypeError,
     "argument 'items': 'str' object is not an instance of 'bytes'"),
    ("apply_raw", ([], [("a",)]), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("apply_raw", ([], [["a", "b"]]), {}, TypeError,
     "argument 'deletes': 'list' object is not an instance of 'tuple'"),
    ("apply_raw", ([],), {"deletes": None}, TypeError,
     "argument 'deletes': 'None' is not an instance of 'Sequence'"),
    ("apply_raw", ((x for x in []),), {}, TypeError,
     "argument 'items': 'generator' object is not an instance of 'Sequence'"),
    ("restore_namespace", (42, "ns"), {}, TypeError,
     "argument 'snapshot': 'int' object is not an instance of 'Snapshot'"),
    ("restore_namespace", (None, "ns"), {}, TypeError,
     "argument 'snapshot': 'None' is not an instance of 'Snapshot'"),
    ("restore_namespace", ("SNAP", 5), {}, TypeError,
     "argument 'namespace': 'int' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("method,args,kwargs,exc,message", STORE_ARG_ERRORS,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(STORE_ARG_ERRORS)])
def test_argument_errors_change_nothing(method, args, kwargs, exc, message):
    s = Store()
    s.set("ns", "k", 1)
    snap = s.snapshot()
    args = tuple(snap if a == "SNAP" else a for a in args)
    before = contents(s)
    with pytest.raises(exc) as ei:
        getattr(s, method)(*args, **kwargs)
    assert type(ei.value) is exc and str(ei.value) == message
    assert contents(s) == before


def test_snapshot_reads_take_the_same_arguments():
    s = Store()
    snap = s.snapshot()
    with pytest.raises(TypeError, match="^argument 'namespace': 'int' object is not an instance of 'str'$"):
        snap.get_raw(1, "k")
    with pytest.raises(TypeError, match=r"^Snapshot.get_many_raw\(\) missing 1 required"):
        snap.get_many_raw()
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 1$"):
        snap.get_many_raw([("a",)])


SIGNATURES = [
    (Store.get_raw, "($self, namespace, key)"),
    (Store.get_many_raw, "($self, pairs)"),
    (Store.set_raw, "($self, namespace, key, data)"),
    (Store.apply_raw, "($self, items, deletes=(), base=None)"),
    (Store.restore_namespace, "($self, snapshot, namespace, base=None)"),
    (Snapshot.get_raw, "($self, namespace, key)"),
    (Snapshot.get_many_raw, "($self, pairs)"),
]


@pytest.mark.parametrize("method,sig", SIGNATURES, ids=[m.__qualname__ for m, _ in SIGNATURES])
def test_text_signatures(method, sig):
    assert method.__text_signature__ == sig
    assert method.__doc__.split("\n")[0]


# ---- batch reads ----

def test_get_many_raw_keeps_input_order_and_misses():
    s = Store()
    s.set_many([("a", "x", 1), ("default", "y", "two"), ("threads", "z", [3])])
    pairs = [("threads", "z"), ("a", "nope"), ("a", "x"), ("default", "y"), ("a", "x"), ("gone", "x")]
    want = [dumps([3]), None, dumps(1), dumps("two"), dumps(1), None]
    assert s.get_many_raw(pairs) == want
    assert s.get_many_raw(tuple(pairs)) == want
    snap = s.snapshot()
    s.clear()
    assert snap.get_many_raw(pairs) == want and snap.get_raw("a", "x") == dumps(1)
    assert s.get_many_raw(pairs) == [None] * len(pairs) and s.get_many_raw([]) == []
    assert snap.get_raw("a", "nope") is None


# ---- apply_raw ----

def test_apply_raw_deletes_first_then_stores():
    s = Store()
    s.set_many([("a", "1", 1), ("a", "2", 2), ("threads", "t", "old"), ("gone", "only", 0)])
    s.apply_raw([("a", "2", dumps("again")), ("new", "k", dumps(None)), ("a", "3", dumps(3)),
                 ("a", "3", dumps(33))],
                deletes=[("a", "2"), ("a", "1"), ("gone", "only"), ("missing", "x"), ("a", "1")])
    assert contents(s) == {("a", "2"): dumps("again"), ("a", "3"): dumps(33),
                           ("new", "k"): dumps(None), ("threads", "t"): dumps("old")}
    assert "gone" not in s and s.namespaces("gone") == []
    assert size_bytes(s) == sum(len(v) for v in contents(s).values())
    s.apply_raw([], [("a", "2"), ("a", "3"), ("new", "k"), ("threads", "t")])
    assert len(s) == 0 and s.namespaces() == [] and size_bytes(s) == 0
    assert s.apply_raw(()) is None


def test_apply_raw_validates_everything_before_changing_anything():
    s = Store()
    s.set("a", "k", 1)
    before = contents(s)
    with pytest.raises(ValueError) as ei:
        s.apply_raw([("a", "new", dumps(2)), ("b", "k", b"\x92\x01")], deletes=[("a", "k")])
    assert str(ei.value) == ("items[1] ('b', 'k'): msgpack decode error: unexpected end of input")
    with pytest.raises(TypeError):
        s.apply_raw([("a", "new", dumps(2))], deletes=[("a", 5)])
    assert contents(s) == before


def test_apply_raw_is_seen_whole_by_snapshots_and_batch_reads():
    # Keys spread over many shards, always written together with one tag; readers on other
    # threads must never see two tags at once.
    names = [f"ns{i}" for i in range(24)]
    s = Store()
    s.apply_raw([(ns, "k", dumps(0)) for ns in names])
    stop = threading.Event()
    torn = []

    def writer():
        for tag in range(1, 400):
            s.apply_raw([(ns, "k", dumps(tag)) for ns in names[tag % 2::2]],
                        deletes=[(ns, "k") for ns in names[(tag + 1) % 2::2]])
        stop.set()

    def consistent(view):
        present = {ns: v for ns, v in view.items() if v is not None}
        tags = {loads(v) for v in present.values()}
        if len(tags) != 1:
            return False
        tag = tags.pop()
        return set(present) == (set(names) if tag == 0 else set(names[tag % 2::2]))

    def reader():
        while not stop.is_set():
            snap = s.snapshot()
            for view in ({ns: snap.get_raw(ns, "k") for ns in names},
                         dict(zip(names, snap.get_many_raw([(ns, "k") for ns in names]))),
                         dict(zip(names, s.get_many_raw([(ns, "k") for ns in names])))):
                if not consistent(view):
                    torn.append(view)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert torn == []


# ---- restore_namespace ----

def test_restore_namespace_takes_one_namespace_back():
    s = Store(max_history=None)
    s.set_many([("t1", "a", 1), ("t1", "b", 2), ("t2", "a", 3)])
    snap = s.snapshot()
    s.set_many([("t1", "a", "changed"), ("t1", "c", 4), ("t2", "a", "kept"), ("t3", "x", 5)])
    s.restore_namespace(snap, "t1")
    assert contents(s) == {("t1", "a"): dumps(1), ("t1", "b"): dumps(2), ("t2", "a"): dumps("kept"),
                           ("t3", "x"): dumps(5)}
    s.restore_namespace(snap, "t3")  # absent in the snapshot: removed
    assert "t3" not in s and "t3" not in s.namespaces()
    s.restore_namespace(snap, "never")
    assert size_bytes(s) == sum(len(v) for v in contents(s).values())
    # The restored namespace diverges from the snapshot copy-on-write.
    s.set("t1", "a", "again")
    assert snap.get("t1", "a") == 1
    assert sorted(s.snapshot().diff(snap)["changed"]) == [("t1", "a"), ("t2", "a")]


def test_restore_namespace_from_another_store():
    src, dst = Store(), Store()
    src.set_many([("t", str(i), i) for i in range(500)])
    dst.set_many([("t", "only-here", 0), ("u", "k", 1)])
    snap = src.snapshot()
    dst.restore_namespace(snap, "t")
    assert sorted(dst.keys("t"), key=int) == [str(i) for i in range(500)]
    dst.delete("t", "7")
    dst.set("t", "new", 1)
    assert src.get("t", "7") == 7 and not src.contains("t", "new")
    d = dst.snapshot().diff(snap)
    assert d["removed"] == [("t", "7")] and sorted(d["added"]) == [("t", "new"), ("u", "k")]
    assert d["changed"] == []


# ---- changes conditional on a base snapshot ----

# Each row: the store's value of ("n", "k") at the base, then now (None: absent), and
# whether an item or a delete of the pair takes effect.
CONDITIONS = [
    (1, 1, True),  # untouched since the base
    (None, None, True),  # absent at the base and now
    (1, 2, False),  # changed since
    (1, None, False),  # deleted since
    (None, 1, False),  # made since
    (1, True, False),  # equal in Python, other bytes
]


@pytest.mark.parametrize("then,now,applies", CONDITIONS)
def test_apply_raw_with_base_changes_only_what_is_as_the_base_has_it(then, now, applies):
    for change in ("item", "delete"):
        s = Store()
        if then is not None:
            s.set("n", "k", then)
        base = s.snapshot()
        s.delete("n", "k")
        if now is not None:
            s.set("n", "k", now)
        s.set("n", "other", 0)  # made since the base: never touched
        if change == "item":
            s.apply_raw([("n", "k", dumps("new")), ("n", "other", dumps("new"))], base=base)
            assert s.get("n", "k", "absent") == ("new" if applies else "absent" if now is None else now)
        else:
            s.apply_raw([], [("n", "k"), ("n", "other")], base=base)
            assert s.contains("n", "k") == (not applies and now is not None)
        assert s.get("n", "other") == 0


def test_apply_raw_with_base_judges_a_pair_in_both_lists_before_the_change():
    s = Store()
    s.set("n", "k", 1)
    base = s.snapshot()
    s.apply_raw([("n", "k", dumps(2))], [("n", "k")], base=base)
    assert s.get("n", "k") == 2  # the item was judged on the store before the delete
    s.apply_raw([("n", "k", dumps(3))], [("n", "k")], base=base)
    assert s.get("n", "k") == 2  # changed since the base: neither part applies


def test_restore_namespace_with_base_needs_the_same_key_map():
    s = Store()
    s.set("n", "k", 1)
    base = s.snapshot()
    other = Store()
    other.set_many([("n", "x", 9), ("m", "y", 8)])
    theirs = other.snapshot()
    assert s.restore_namespace(theirs, "m", base=base)  # absent at the base and now
    assert s.restore_namespace(theirs, "n", base=base)  # the very map the base has
    assert s.get("n", "x") == 9 and not s.contains("n", "k")
    assert not s.restore_namespace(base, "n", base=base)  # no longer the base's map
    s.set("n", "k", 1)
    s.delete("n", "x")  # the same contents again, but not the same map
    assert not s.restore_namespace(theirs, "n", base=base)
    assert s.restore_namespace(theirs, "n") and s.get("n", "x") == 9  # unconditional


# ---- memory: many calls, many short-lived threads ----

RSS_SCRIPT = """
import os, threading
from quorvalent._core import Store, dumps
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
s = Store()
blob = dumps(["x" * 1000] * 100)  # about 100 KB
snap = s.snapshot()
def work(t):
    for i in range(20):
        s.set_raw("ns", str(i), blob)
        s.apply_raw([("ns", str(i), blob), ("other", str(t), blob)], [("ns", str(i + 1))])
        s.get_raw("ns", str(i)); s.get_many_raw([("ns", str(i)), ("other", str(t))])
        s.restore_namespace(snap, "other")
        try:
            s.set_raw("ns", "bad", blob[:-1])
        except ValueError:
            pass
sizes = []
for _ in range(6):
    for _ in range(5):
        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    sizes.append(rss())
print(*sizes)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_raw_calls_and_threads_keep_rss_flat():
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:  # the sanitizer's quarantine holds freed blocks back on purpose
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    out = subprocess.run([sys.executable, "-c", RSS_SCRIPT], env=env, check=True,
                         capture_output=True, text=True).stdout
    sizes = [int(x) for x in out.split()]
    # Each batch of threads moves about 160 MiB of values through the store; a value or a
    # copy kept per call would add that much per batch.
    assert sizes[-1] - sizes[1] < 24 << 20, sizes
