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
    return {"data": data, "len": len(s), "repr": repr(s), "history": history,
            "size": snap.size_bytes, "snap": snap}


U = UnicodeEncodeError
FAILURES = [
    # set
    ("set", (), {}, TypeError),
    ("set", ("a", "k"), {}, TypeError),
    ("set", ("a", "k", 1, 2), {}, TypeError),
    ("set", ("a", "k"), {"value": 1, "extra": 2}, TypeError),
    ("set", ("a", "k", 1), {"key": "k"}, TypeError),
    ("set", (5, "k", 1), {}, TypeError),
    ("set", ("a", None, 1), {}, TypeError),
    ("set", ("\ud800", "k", 1), {}, U),
    ("set", ("a", "k\udc00", 1), {}, U),
    ("set", ("a", "k", object()), {}, TypeError),
    ("set", ("a", "k", 2**64), {}, ValueError),
    ("set", ("a", "k", -(2**63) - 1), {}, ValueError),
    ("set", ("a", "k", {"x": {1, 2}}), {}, TypeError),
    ("set", ("new", "k", deep(200)), {}, ValueError),
    ("set", ("new", "k", cyclic()), {}, ValueError),
    ("set", ("a", "k", {"k": [1, 1j]}), {}, TypeError),
    # set_many
    ("set_many", (), {}, TypeError),
    ("set_many", ("abc",), {}, TypeError),
    ("set_many", ({"a": 1},), {}, TypeError),
    ("set_many", (None,), {}, TypeError),
    ("set_many", ((t for t in [("new", "k", 1)]),), {}, TypeError),
    ("set_many", ([("new", "k", 1), ["new", "j", 2]],), {}, TypeError),
    ("set_many", ([("new", "k", 1), ("new", "j")],), {}, ValueError),
    ("set_many", ([("new", "k", 1), ("new", "j", 2, 3)],), {}, ValueError),
    ("set_many", ([("a", "k", 1), (5, "j", 2)],), {}, TypeError),
    ("set_many", ([("a", "k", 1), ("a", b"j", 2)],), {}, TypeError),
    ("set_many", ([("a", "k", 1), ("\ud800", "j", 2)],), {}, U),
    ("set_many", ([("a", "k", 1), ("default", "k", 2), ("threads", "t1", object())],), {}, TypeError),
    ("set_many", ([("threads", "t1", object()), ("a", "k", 1)],), {}, TypeError),
    ("set_many", ([("a", "k", 1), ("new", "x", 2**64)],), {}, ValueError),
    ("set_many", ([("a", "k", 1), ("new", "x", deep(200))],), {}, ValueError),
    ("set_many", (Exploding(),), {}, RuntimeError),
    # delete
    ("delete", (), {}, TypeError),
    ("delete", ("a",), {}, TypeError),
    ("delete", ("a", "k", "j"), {}, TypeError),
    ("delete", (5, "k"), {}, TypeError),
    ("delete", ("a", 5), {}, TypeError),
    ("delete", ("\ud800", "k"), {}, U),
    ("delete", ("a", "\udfff"), {}, U),
    # clear
    ("clear", (1,), {}, TypeError),
    ("clear", (), {"all": True}, TypeError),
    # restore
    ("restore", (), {}, TypeError),
    ("restore", (42,), {}, TypeError),
    ("restore", (None,), {}, TypeError),
    ("restore", (Store(),), {}, TypeError),
    ("restore", (), {"snap": None}, TypeError),
    ("restore", (BadIndex(),), {}, TypeError),
    # snapshot, clear_history
    ("snapshot", (1,), {}, TypeError),
    ("clear_history", (1,), {}, TypeError),
    ("clear_history", (), {"x": 1}, TypeError),
]


@pytest.mark.parametrize("method,args,kwargs,exc", FAILURES)
def test_failure_leaves_store_unchanged(method, args, kwargs, exc):
    s = seeded()
    before = state(s)
    with pytest.raises(exc) as ei:
        getattr(s, method)(*args, **kwargs)
    assert type(ei.value) is exc
    after = state(s)
    assert after["data"] == before["data"]
    assert after["len"] == before["len"] == len(before["data"])
    assert after["repr"] == before["repr"]
    assert after["size"] == before["size"] == sum(len(v) for v in before["data"].values())
    # A failing call draws no snapshot id and retains nothing.
    assert after["history"] == before["history"] + [before["snap"].id]
    assert after["snap"].id == before["snap"].id + 1
    assert after["snap"].diff(before["snap"]) == {"added": [], "removed": [], "changed": []}


def test_failing_set_keeps_previous_value():
    s = Store()
    s.set("a", "k", [1])
    with pytest.raises(TypeError):
        s.set("a", "k", [1, object()])
    assert s.get("a", "k") == [1]
