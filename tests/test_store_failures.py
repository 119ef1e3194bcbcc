"""A failing call leaves the store exactly as it was."""

import pytest

from quorvalent._core import Store, dumps

SEED = [
    ("a", "k", {"x": [1, 2]}),
    ("a", "j", True),
    ("default", "k", "v" * 40),
    ("", "", None),
    ("ns", "k", b"\x00\x01"),
    ("threads", "t1", 2**63),
]


def deep(n):
    v = []
    for _ in range(n):
        v = [v]
    return v


def cyclic():
    v = []
    v.append(v)
    return v


class Exploding:
    """A sequence whose iteration fails after two good elements."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i < 2:
            return ("new", str(i), i)
        raise RuntimeError("boom")


class BadIndex:
    def __index__(self):
        raise RuntimeError("no index")


def seeded():
    s = Store(max_history=None)
    s.set_many(SEED)
    s.snapshot()
    s.set("a", "k", {"x": [1, 2, 3]})
    return s


def state(s):
    # Bytes, not decoded values, so that 1 and True count as different.
    data = {(ns, k): dumps(s.get(ns, k)) for ns in s.namespaces() for k in s.keys(ns)}
    history = [h.id for h in s.history()]
    snap = s.snapshot()
    return (data, len(s), repr(s), snap.size_bytes), history, snap


U = UnicodeEncodeError
FAILURES = [
    # Argument binding fails before anything is touched; one row per method.
    ("set", (5, "k", 1), {}, TypeError),
    ("delete", ("a", "\udfff"), {}, U),
    ("clear", (1,), {}, TypeError),
    ("restore", (42,), {}, TypeError),
    ("restore", (BadIndex(),), {}, TypeError),
    ("snapshot", (1,), {}, TypeError),
    ("clear_history", (1,), {}, TypeError),
    # Encoding fails after the arguments are bound.
    ("set", ("\ud800", "k", 1), {}, U),
    ("set", ("a", "k", object()), {}, TypeError),
    ("set", ("a", "k", 2**64), {}, ValueError),
    ("set", ("a", "k", -(2**63) - 1), {}, ValueError),
    ("set", ("a", "k", {"k": [1, 1j]}), {}, TypeError),
    ("set", ("new", "k", deep(200)), {}, ValueError),
    ("set", ("new", "k", cyclic()), {}, ValueError),
    # set_many is all or nothing, whichever element fails.
    ("set_many", ([("new", "k", 1), ("new", "j")],), {}, ValueError),
    ("set_many", ([("a", "k", 1), (5, "j", 2)],), {}, TypeError),
    ("set_many", ([("a", "k", 1), ("\ud800", "j", 2)],), {}, U),
    ("set_many", ([("a", "k", 1), ("default", "k", 2), ("threads", "t1", object())],), {}, TypeError),
    ("set_many", ([("a", "k", 1), ("new", "x", 2**64)],), {}, ValueError),
    ("set_many", ([("a", "k", 1), ("new", "x", deep(200))],), {}, ValueError),
    # The first unencodable value in input order is the one reported.
    ("set_many", ([("a", "k", {1j}), ("a", "j", 2**64)],), {}, TypeError),
    ("set_many", ([("a", "k", 2**64), ("a", "j", object())],), {}, ValueError),
    ("set_many", (Exploding(),), {}, RuntimeError),
    # A fallback: checked before anything else; when it raises, or makes what cannot be
    # encoded, nothing is stored.
    ("set_many", ([("a", "k", 1)],), {"fallback": 1}, TypeError),
    ("set_many", ([("a", "k", 1), ("new", "x", (1,))],), {"fallback": lambda v: 1 / 0}, ZeroDivisionError),
    ("set_many", ([("a", "k", 1), ("new", "x", (1,))],), {"fallback": lambda v: v + (1j,)}, TypeError),
]


@pytest.mark.parametrize("method,args,kwargs,exc", FAILURES)
def test_failure_leaves_store_unchanged(method, args, kwargs, exc):
    s = seeded()
    before, history, snap = state(s)
    with pytest.raises(exc) as ei:
        getattr(s, method)(*args, **kwargs)
    assert type(ei.value) is exc
    after, after_history, after_snap = state(s)
    assert after == before
    assert before[1] == len(before[0]) and before[3] == sum(len(v) for v in before[0].values())
    # A failing call draws no snapshot id and retains nothing.
    assert after_history == history + [snap.id] and after_snap.id == snap.id + 1
    assert after_snap.diff(snap) == {"added": [], "removed": [], "changed": []}
