"""The durable QuorvalentSaver against LangGraph's SqliteSaver, both on a file with the
same synchronous setting (QV_BENCH_SYNC, default "full"), side by side in one process.

Rows: put + put_writes (chat and tiny payloads); get_tuple of the latest and
list(limit=10) on a 50,000-checkpoint thread; copy_thread of 1,000 checkpoints (the peer
has none: list + put); open plus the first read of one thread in databases of 100 and
10,000 threads. Then the bytes each saver writes per step (write(2) calls to the database
and its WAL, from /proc/self/io), in a fresh process each, for a 5-channel state where one
channel changes per step and for one growing message list.
"""

from __future__ import annotations

import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import textwrap

from bench_langgraph import PAYLOADS, Writer, generic_copy
from harness import Case, Settings, run_table

NEEDS = "Store"
REF = "SqliteSaver"
PEERS = ["quorvalent", REF]
SYNC = os.environ.get("QV_BENCH_SYNC", "full")


def sqlite_saver(path: str):
    from langgraph.checkpoint.sqlite import SqliteSaver

    saver = SqliteSaver(sqlite3.connect(path, check_same_thread=False))
    saver.setup()
    saver.conn.execute(f"PRAGMA synchronous={SYNC}")
    return saver


def quorvalent_saver(path: str):
    from quorvalent.langgraph import QuorvalentSaver

    return QuorvalentSaver.from_conn_string(f"sqlite:///{path}", synchronous=SYNC).__enter__()


OPEN = {"quorvalent": quorvalent_saver, REF: sqlite_saver}


def close(peer: str, saver) -> None:
    if peer == REF:
        saver.conn.close()
    else:
        saver.db.close()


def fill(path: str, peer: str, threads: dict[str, int], payload: str) -> None:
    """Writes the threads fast (synchronous off), then closes: measured savers reopen."""
    saver = OPEN[peer](path)
    if peer == REF:
        saver.conn.execute("PRAGMA synchronous=OFF")
        for thread, n in threads.items():
            w = Writer(saver, thread, payload)
            for _ in range(n):
                w.step()
        saver.conn.commit()
    else:
        from quorvalent.langgraph import QuorvalentSaver

        mem = QuorvalentSaver(saver.db.store)  # in memory, then one commit
        for thread, n in threads.items():
            w = Writer(mem, thread, payload)
            for _ in range(n):
                w.step()
        saver.db.commit()
    close(peer, saver)


def cases(tmp: str, payload: str) -> list[Case]:
    big = {"long": 50_000, "t1000": 1_000}
    paths = {}
    for peer in PEERS:
        paths[peer] = os.path.join(tmp, f"{peer}-{payload}.db")
        fill(paths[peer], peer, big, payload)
    ss = {peer: OPEN[peer](paths[peer]) for peer in PEERS}
    writers = {p: Writer(s, "growing", payload) for p, s in ss.items()}
    long_thread = {"configurable": {"thread_id": "long"}}
    for s in ss.values():  # warm: this process has read the thread once
        s.get_tuple(long_thread)
    copies = {
        "quorvalent": ss["quorvalent"].copy_thread,
        REF: lambda a, b, s=ss[REF]: generic_copy(s, a, b),
    }

    def each(call):
        return {p: (lambda s=s: call(s)) for p, s in ss.items()}

    return [
        Case(f"{payload}: put + put_writes", {p: w.step for p, w in writers.items()}, REF),
        Case(f"{payload}: get_tuple latest of 50,000", each(lambda s: s.get_tuple(long_thread)), REF),
        Case(f"{payload}: list(limit=10) of 50,000", each(lambda s: list(s.list(long_thread, limit=10))), REF),
        Case(f"{payload}: copy_thread 1,000", {p: (lambda c=c: c("t1000", "copy")) for p, c in copies.items()},
             REF, note="peer: list + put"),
    ]


def open_cases(tmp: str) -> list[Case]:
    out = []
    for n in (100, 10_000):
        paths = {}
        for peer in PEERS:
            paths[peer] = os.path.join(tmp, f"open-{n}-{peer}.db")
            fill(paths[peer], peer, {f"t{i}": 1 for i in range(n)}, "chat")
        config = {"configurable": {"thread_id": f"t{n // 2}"}}

        def first_read(peer, path=None):
            s = OPEN[peer](path)
            s.get_tuple(config)
            close(peer, s)

        out.append(
            Case(f"open + first read, {n:,} threads", {p: (lambda p=p, q=paths[p]: first_read(p, q)) for p in PEERS}, REF)
        )
    return out


BYTES_PROBE = textwrap.dedent(
    """
    import os, sys
    sys.path.insert(0, {here!r})
    from bench_durable import OPEN, close, step_state

    def written():
        with open("/proc/self/io") as f:
            return int(next(l for l in f if l.startswith("wchar")).split()[1])

    saver = OPEN[{peer!r}]({path!r})
    step = step_state(saver, {shape!r})
    for _ in range(20):
        step()
    before = written()
    for _ in range({n}):
        step()
    print((written() - before) / {n})
    close({peer!r}, saver)
    """
)


def step_state(saver, shape: str):
    """A graph step's saver calls for a state of five channels where one changes per step
    ("5-channel"), or of one message list that grows by one message per step ("growing")."""
    n = 0
    parent = None
    if shape == "5-channel":
        values = {f"c{i}": f"{i}" * 400 for i in range(5)}
    else:
        values = {"messages": []}
    versions = {k: 1 for k in values}

    def step() -> None:
        nonlocal n, parent
        n += 1
        if shape == "5-channel":
            ch = f"c{n % 5}"
            values[ch] = f"{n:08d}" + "v" * 392
        else:
            ch = "messages"
            values[ch] = values[ch] + [f"message {n:06d} " + "m" * 180]
        versions[ch] += 1
        ck = {
            "v": 4,
            "id": f"{n:08x}-0000-6000-8000-{n:012x}",
            "ts": "2026-12-07T00:00:00+00:00",
            "channel_values": dict(values),
            "channel_versions": dict(versions),
            "versions_seen": {"agent": dict(versions)},
            "updated_channels": [ch],
        }
        conf = {"thread_id": "t", "checkpoint_ns": ""}
        if parent:
            conf["checkpoint_id"] = parent
        cfg = saver.put({"configurable": conf}, ck, {"source": "loop", "step": n, "parents": {}}, {ch: versions[ch]})
        saver.put_writes(cfg, [(ch, values[ch] if shape == "5-channel" else values[ch][-1:])], f"task-{n}")
        parent = ck["id"]

    return step


def written_per_step(tmp: str, n: int = 300) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    for shape in ("5-channel", "growing"):
        cells = {}
        for peer in PEERS:
            path = os.path.join(tmp, f"bytes-{shape}-{peer}.db")
            code = BYTES_PROBE.format(here=here, peer=peer, path=path, shape=shape, n=n)
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
            cells[peer] = float(out.stdout)
        print(
            f"  bytes written per step, {shape} state: "
            + ", ".join(f"{p} {v:,.0f} B" for p, v in cells.items())
            + f" ({cells['quorvalent'] / cells[REF]:.2f}x)"
        )


def run(settings: Settings) -> None:
    try:
        import langgraph.checkpoint.sqlite  # noqa: F401
    except ImportError as e:
        print(f"\n== durable: skipped ({e.name} is not installed)")
        return
    tmp = tempfile.mkdtemp(prefix="qv-bench-durable-", dir=os.environ.get("QV_BENCH_DIR"))
    try:
        for payload in PAYLOADS:
            run_table(f"durable checkpointers on SQLite (synchronous={SYNC}), {payload} payload",
                      cases(tmp, payload), settings, PEERS)
        run_table(f"durable checkpointers, open (synchronous={SYNC})", open_cases(tmp), settings, PEERS)
        written_per_step(tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    run(Settings())
