"""QuorvalentSaver against LangGraph's own InMemorySaver and SqliteSaver (in-memory
SQLite), side by side in one process, on the calls a graph run makes and on the thread
operations an application makes; then whole graph runs (lg_graphs.py) against
InMemorySaver, delta-channel history, and the reads that must not grow with a thread.

Two payloads: chat-like (ten 100-character messages and a step counter, both channels
new in every checkpoint) and tiny (one int). Memory per checkpoint is the growth of
resident memory (/proc/self/statm) over many checkpoints, each saver in a fresh
subprocess, so native memory (the store's, SQLite's) counts as much as Python objects.
"""

from __future__ import annotations

import itertools
import os
import sqlite3
import subprocess
import sys
import textwrap

from harness import Case, Settings, run_table

NEEDS = "Store"
REF = "InMemorySaver"
PEERS = ["quorvalent", REF, "SqliteSaver"]

PAYLOADS = {
    "chat": lambda n: {"messages": [f"{n:06d}-{i} " + "m" * 92 for i in range(10)], "step": n},
    "tiny": lambda n: {"n": n},
}


def savers():
    from langgraph.checkpoint.memory import InMemorySaver
    from langgraph.checkpoint.sqlite import SqliteSaver

    from quorvalent.langgraph import QuorvalentSaver

    return {
        "quorvalent": QuorvalentSaver(),
        REF: InMemorySaver(),
        "SqliteSaver": SqliteSaver(sqlite3.connect(":memory:", check_same_thread=False)),
    }


class Writer:
    """Appends checkpoints to a thread as a graph loop does: put, then two task writes."""

    def __init__(self, saver, thread: str, payload: str):
        self.saver, self.thread, self.values = saver, thread, PAYLOADS[payload]
        self.n = itertools.count(1)
        self.parent: str | None = None

    def step(self) -> None:
        n = next(self.n)
        values = self.values(n)
        version = f"{n:032}.0"
        versions = {k: version for k in values}
        ck = {
            "v": 4,
            "id": f"{n:08x}-0000-6000-8000-{n:012x}",  # increasing, like uuid6 ids
            "ts": "2026-12-06T20:00:00+00:00",
            "channel_values": values,
            "channel_versions": versions,
            "versions_seen": {"agent": versions},
            "updated_channels": list(values),
        }
        conf = {"thread_id": self.thread, "checkpoint_ns": ""}
        if self.parent:
            conf["checkpoint_id"] = self.parent
        md = {"source": "input" if n % 100 == 0 else "loop", "step": n, "parents": {}}
        cfg = self.saver.put({"configurable": conf}, ck, md, versions)
        self.saver.put_writes(cfg, [("messages", "reply"), ("step", n)], f"task-{n}")
        self.parent = ck["id"]


def generic_copy(saver, src: str, dst: str) -> None:
    """What copying a thread takes on a saver without copy_thread: list, then put again."""
    for tup in reversed(list(saver.list({"configurable": {"thread_id": src}}))):
        conf = dict(tup.config["configurable"], thread_id=dst)
        if tup.parent_config:
            conf["checkpoint_id"] = tup.parent_config["configurable"]["checkpoint_id"]
        else:
            conf.pop("checkpoint_id")
        ck = tup.checkpoint
        cfg = saver.put({"configurable": conf}, ck, tup.metadata, ck["channel_versions"])
        for task, channel, value in tup.pending_writes:
            saver.put_writes(cfg, [(channel, value)], task)


def cases(payload: str) -> list[Case]:
    ss = savers()
    for s in ss.values():
        for thread, n in (("t10", 10), ("t100", 100), ("t1000", 1000)):
            w = Writer(s, thread, payload)
            for _ in range(n):
                w.step()
    writers = {p: Writer(s, "growing", payload) for p, s in ss.items()}

    def each(call):
        return {p: (lambda s=s: call(s)) for p, s in ss.items()}

    latest = {"configurable": {"thread_id": "t100"}}
    copies = {
        p: (s.copy_thread if p == "quorvalent" else lambda a, b, s=s: generic_copy(s, a, b))
        for p, s in ss.items()
    }
    return [
        Case(f"{payload}: put + put_writes", {p: w.step for p, w in writers.items()}, REF),
        Case(f"{payload}: get_tuple latest", each(lambda s: s.get_tuple(latest)), REF),
        Case(f"{payload}: list 100-checkpoint thread", each(lambda s: list(s.list(latest))), REF),
        Case(
            f"{payload}: list(limit=10) of 1,000",
            each(lambda s: list(s.list({"configurable": {"thread_id": "t1000"}}, limit=10))),
            REF,
        ),
        Case(
            f"{payload}: list(filter=) 10 of 1,000",
            each(lambda s: list(s.list({"configurable": {"thread_id": "t1000"}}, filter={"source": "input"}))),
            REF,
        ),
        Case(f"{payload}: copy_thread 10", {p: (lambda c=c: c("t10", "c10")) for p, c in copies.items()}, REF,
             note="peers: list + put"),
        Case(f"{payload}: copy_thread 1,000", {p: (lambda c=c: c("t1000", "c1000")) for p, c in copies.items()},
             REF, note="peers: list + put"),
    ]


MEMORY_PROBE = textwrap.dedent(
    """
    import gc, os, sys
    sys.path.insert(0, {here!r})
    from bench_langgraph import Writer, savers

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    saver = savers()[{peer!r}]
    w = Writer(saver, "warm", {payload!r})
    for _ in range(200):
        w.step()
    w = Writer(saver, "thread", {payload!r})
    gc.collect()
    before = rss()
    for _ in range({n}):
        w.step()
    gc.collect()
    print((rss() - before) / {n})
    """
)


def memory(payload: str, n: int = 5000) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    cells = []
    for peer in PEERS:
        code = MEMORY_PROBE.format(here=here, peer=peer, payload=payload, n=n)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        cells.append(f"{peer} {float(out.stdout):,.0f} B")
    print(f"  {payload}: memory per checkpoint (RSS growth over {n:,}, with its writes): " + ", ".join(cells))


def graph_cases(kind: str) -> list[Case]:
    from langgraph.checkpoint.memory import InMemorySaver
    from lg_graphs import STEPS, Run

    from quorvalent.langgraph import QuorvalentSaver

    runs = {"quorvalent": Run(QuorvalentSaver(), kind), REF: Run(InMemorySaver(), kind)}
    return [
        Case(f"{kind} state: invoke, {STEPS} steps", {p: r.invoke for p, r in runs.items()}, REF),
        Case(f"{kind} state: get_state_history", {p: r.history for p, r in runs.items()}, REF),
        Case(f"{kind} state: forked invoke, {STEPS // 2} steps", {p: r.fork for p, r in runs.items()}, REF),
    ]


def delta_cases(steps: int = 1000) -> list[Case]:
    from langgraph.checkpoint.base import BaseCheckpointSaver
    from langgraph.checkpoint.memory import InMemorySaver
    from lg_graphs import Run

    from quorvalent.langgraph import QuorvalentSaver

    runs = {p: Run(s, "delta", steps, fork=False) for p, s in (("quorvalent", QuorvalentSaver()), (REF, InMemorySaver()))}
    ours = runs["quorvalent"].saver
    # From the newest checkpoint back to the last snapshot (every 100 updates).
    latest = {p: r.saver.get_tuple(r.done).config for p, r in runs.items()}
    peers = {p: (lambda r=r, c=latest[p]: r.saver.get_delta_channel_history(config=c, channels=["messages"]))
             for p, r in runs.items()}
    peers["base-class walk"] = lambda: BaseCheckpointSaver.get_delta_channel_history(
        ours, config=latest["quorvalent"], channels=["messages"])
    return [Case(f"get_delta_channel_history, {steps:,}-step thread", peers, REF,
                 note="base-class walk: get_tuple per ancestor, on quorvalent")]


LONG = (1_000, 50_000)


def long_cases() -> list[Case]:
    from langgraph.checkpoint.memory import InMemorySaver

    from quorvalent.langgraph import QuorvalentSaver

    ss = {"quorvalent": QuorvalentSaver(), REF: InMemorySaver()}
    for s in ss.values():
        for n in LONG:
            w = Writer(s, f"long{n}", "tiny")
            for _ in range(n):
                w.step()
    out = []
    for n in LONG:
        cfg = {"configurable": {"thread_id": f"long{n}"}}
        out.append(Case(f"get_tuple latest, {n:,} checkpoints",
                        {p: (lambda s=s, c=cfg: s.get_tuple(c)) for p, s in ss.items()}, REF))
    for n in LONG:
        cfg = {"configurable": {"thread_id": f"long{n}"}}
        out.append(Case(f"list(limit=10), {n:,} checkpoints",
                        {p: (lambda s=s, c=cfg: list(s.list(c, limit=10))) for p, s in ss.items()}, REF))
    return out


def run(settings: Settings) -> None:
    try:
        import langgraph.checkpoint.sqlite  # noqa: F401
    except ImportError as e:
        print(f"\n== langgraph: skipped ({e.name} is not installed)")
        return
    for payload in PAYLOADS:
        results = run_table(f"langgraph checkpointers, {payload} payload", cases(payload), settings, PEERS)
        ten, thousand = (r for r in results if r.case.name.startswith(f"{payload}: copy_thread"))
        print(
            f"  copy_thread 1,000 / copy_thread 10 (quorvalent): "
            f"{thousand.best['quorvalent'] / ten.best['quorvalent']:.2f}x the time"
        )
        memory(payload)
    for kind in ("dict", "messages"):
        run_table(f"langgraph end to end, 5-node graph, {kind} state", graph_cases(kind), settings,
                  ["quorvalent", REF])
    run_table("langgraph delta channel", delta_cases(), settings, ["quorvalent", REF, "base-class walk"])
    results = run_table("langgraph long threads", long_cases(), settings, ["quorvalent", REF])
    for what in ("get_tuple latest", "list(limit=10)"):
        small, large = (r for r in results if r.case.name.startswith(what))
        print(f"  {what}: {LONG[1]:,} / {LONG[0]:,} checkpoints: " + ", ".join(
            f"{p} {large.best[p] / small.best[p]:.2f}x the time" for p in ("quorvalent", REF)))


if __name__ == "__main__":
    run(Settings())
