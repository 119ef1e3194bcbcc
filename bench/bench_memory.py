"""QuorvalentStore against LangGraph's InMemoryStore and SqliteStore (in-memory SQLite),
side by side in one process, on the calls an agent's long-term memory makes.

Each store holds ("docs",) with 1,000 items and ("users", "u0".."u99") with 10 each, every
value a small dict (a 100-character text and two ints).
"""

from __future__ import annotations

import itertools
import sqlite3

from harness import Case, Settings, run_table

NEEDS = "Store"
REF = "InMemoryStore"
PEERS = ["quorvalent", REF, "SqliteStore"]


def value(i: int) -> dict[str, object]:
    return {"text": f"{i:06d} " + "m" * 93, "kind": i % 100, "n": i}


def stores(peers=PEERS):
    from langgraph.store.memory import InMemoryStore
    from langgraph.store.sqlite import SqliteStore

    from quorvalent.langgraph import QuorvalentStore

    out = {"quorvalent": QuorvalentStore(), REF: InMemoryStore()}
    if "SqliteStore" in peers:
        out["SqliteStore"] = SqliteStore(sqlite3.connect(":memory:", check_same_thread=False, isolation_level=None))
        out["SqliteStore"].setup()
    for s in out.values():
        for i in range(1000):
            s.put(("docs",), f"d{i}", value(i))
        for u in range(100):
            for i in range(10):
                s.put(("users", f"u{u}"), f"m{i}", value(i))
    return out


def cases() -> list[Case]:
    ss = stores()

    def each(call):
        return {p: (lambda s=s: call(s)) for p, s in ss.items()}

    counters = {p: itertools.count() for p in ss}
    return [
        Case("put new item", {p: (lambda s=s, c=counters[p]: (n := next(c), s.put(("new", str(n % 10)), f"k{n}", value(n))))
                              for p, s in ss.items()}, REF),
        Case("put over an item", each(lambda s: s.put(("docs",), "d500", value(2))), REF),
        Case("get", each(lambda s: s.get(("docs",), "d700")), REF),
        Case("get missing", each(lambda s: s.get(("docs",), "nope")), REF),
        Case("search 10 of 1,000", each(lambda s: s.search(("docs",))), REF),
        Case("search filter=, 10 of 1,000", each(lambda s: s.search(("docs",), filter={"kind": 7}, limit=10)), REF),
        Case("search 100 namespaces", each(lambda s: s.search(("users",), limit=20)), REF),
        Case("list_namespaces (101)", each(lambda s: s.list_namespaces(limit=200)), REF),
        Case("delete + put", each(lambda s: (s.delete(("docs",), "d1"), s.put(("docs",), "d1", value(1)))), REF),
    ]


def run(settings: Settings) -> None:
    try:
        import langgraph.store.sqlite  # noqa: F401
    except ImportError as e:
        print(f"\n== memory: skipped ({e.name} is not installed)")
        return
    run_table("langgraph long-term memory (BaseStore)", cases(), settings, PEERS)


if __name__ == "__main__":
    run(Settings())
