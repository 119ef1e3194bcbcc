"""An agent handoff workflow on quorvalent: per-thread state in a Store, snapshots and a
diff between turns, a rollback after a bad turn, and a HandoffGraph that decides which
agent acts next from the thread's state."""

from typing import Any

import quorvalent as qv


def show(title: str, value: Any = None) -> None:
    print(f"\n== {title}")
    if value is not None:
        print(value)


def main() -> None:
    print("quorvalent core", qv.core_version())

    # The codec: exact, deterministic msgpack.
    state = {"user": {"tier": "pro", "name": "Ada"}, "score": 0.75, "flags": {"blocked": False}}
    wire = qv.dumps(state)
    show("codec", f"{len(wire)} bytes: {wire.hex()}")
    assert qv.loads(wire) == state

    # State per conversation thread, with history kept for rollback.
    store = qv.Store(max_history=10)
    store.set("threads", "t1", state)
    store.set("threads", "t2", {"user": {"tier": "free"}, "score": 0.2, "flags": {"blocked": True}})
    store.set("messages:t1", "0001", {"role": "user", "content": "Please refund order 42"})
    before = store.snapshot()
    show("store", store)

    # One agent turn: writes a message and updates the score.
    store.set("messages:t1", "0002", {"role": "triage", "content": "Routing to billing"})
    store.set("threads", "t1", {**state, "score": 0.9})
    after = store.snapshot()
    show("diff of the turn", after.diff(before))
    show("newest message key of t1", store.max_key("messages:t1"))

    # A bad turn corrupts the state; roll back to the snapshot before it.
    store.set("threads", "t1", {"user": None})
    store.restore(after)
    show("after rollback", store.get("threads", "t1"))
    show("history", store.history())

    graph_cls = getattr(qv, "HandoffGraph", None)
    if graph_cls is None:
        return
    graph = graph_cls()
    graph.add_edge("triage", "blocked", "flags.blocked")
    graph.add_edge("triage", "billing", "user.tier == 'pro' and score >= 0.5")
    graph.add_edge("triage", "faq")
    graph.add_edge("billing", "done")
    show("graph", graph)
    for thread in ("t1", "t2"):
        thread_state = store.get("threads", thread)
        node, path = "triage", ["triage"]
        while (node := graph.route(node, thread_state)) is not None:
            path.append(node)
        print(f"{thread}: {' -> '.join(path)}")


if __name__ == "__main__":
    main()
