"""The durable QuorvalentSaver against LangGraph's PostgresSaver on one PostgreSQL server,
side by side in one process.

The server is a throwaway one (tools/pgserver.py) with fsync off unless QV_BENCH_PG_FSYNC=on
(a disk flush per commit costs the same to both and, on a shared machine, swamps the
rest), or the one QV_PG_URL names. Both savers talk to it over its Unix socket.

Rows: put + put_writes (chat and tiny payloads); get_tuple of the latest of a
50,000-checkpoint thread, warm (this process wrote it) and cold (another process has just
written a step of it); list(limit=10) of that thread; copy_thread of 1,000 checkpoints (the
peer has none: list + put). Then, per operation, the protocol round trips (through a
counting relay) and, per step, the bytes of WAL the server wrote and the CPU time of the
client and of its server process.
"""

from __future__ import annotations

import itertools
import os
import subprocess
import sys
import textwrap
import time

from bench_langgraph import PAYLOADS, Writer, generic_copy
from harness import Case, Settings, _ops, run_table

NEEDS = "Store"
REF = "PostgresSaver"
PEERS = ["quorvalent", REF]
HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools")


def open_saver(peer: str, url: str):
    if peer == REF:
        from langgraph.checkpoint.postgres import PostgresSaver

        ctx = PostgresSaver.from_conn_string(url)
        saver = ctx.__enter__()
        saver.setup()
    else:
        from quorvalent.langgraph import QuorvalentSaver

        ctx = QuorvalentSaver.from_conn_string(url)
        saver = ctx.__enter__()
    saver._bench_ctx = ctx
    return saver


def close(saver) -> None:
    saver._bench_ctx.__exit__(None, None, None)


def backend_pid(peer: str, saver) -> int:
    if peer == REF:
        return saver.conn.info.backend_pid
    return saver.db._db._conn.info.backend_pid


def fill(peer: str, url: str, threads: dict[str, int], payload: str) -> None:
    """Writes the threads fast: the peer through a pipeline without waiting for each
    commit, quorvalent in memory and then a commit every 5,000 steps."""
    if peer == REF:
        from langgraph.checkpoint.postgres import PostgresSaver

        close(open_saver(peer, url))  # its setup cannot run in a pipeline
        with PostgresSaver.from_conn_string(url, pipeline=True) as s:
            s.conn.execute("SET synchronous_commit = off")
            for thread, n in threads.items():
                w = Writer(s, thread, payload)
                for _ in range(n):
                    w.step()
        return
    from quorvalent.langgraph import QuorvalentSaver

    saver = open_saver(peer, url)
    mem = QuorvalentSaver(saver.db.store)
    for thread, n in threads.items():
        w = Writer(mem, thread, payload)
        for i in range(n):
            w.step()
            if i % 5000 == 4999:
                saver.db.commit()
    saver.db.commit()
    close(saver)


# Another process, appending one step to a thread each time it reads a line.
OTHER = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {here!r})
    from bench_postgres import open_saver
    from bench_langgraph import Writer
    saver = open_saver({peer!r}, {url!r})
    w = Writer(saver, "long", {payload!r})
    w.parent = saver.get_tuple({{"configurable": {{"thread_id": "long"}}}}).checkpoint["id"]
    w.n = iter(range(10**6, 10**7))
    print("ready", flush=True)
    for line in sys.stdin:
        w.step()
        print("ok", flush=True)
    """
)


def cold_reads(urls: dict[str, str], ss: dict, payload: str, settings: Settings) -> None:
    """get_tuple right after another process wrote a step: each peer's best round."""
    others = {
        p: subprocess.Popen([sys.executable, "-c", OTHER.format(here=HERE, peer=p, url=urls[p], payload=payload)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for p in PEERS
    }
    try:
        for p in PEERS:
            assert others[p].stdout.readline().strip() == "ready"
        config = {"configurable": {"thread_id": "long"}}
        best = {p: float("inf") for p in PEERS}
        for r in range(settings.rounds):
            for p in PEERS[r % 2:] + PEERS[: r % 2]:
                total = 0.0
                for _ in range(20):
                    others[p].stdin.write("step\n")
                    others[p].stdin.flush()
                    others[p].stdout.readline()
                    t0 = time.perf_counter()
                    ss[p].get_tuple(config)
                    total += time.perf_counter() - t0
                best[p] = min(best[p], total / 20)
        name = f"{payload}: get_tuple latest, cold"
        cells = "".join(
            f"{_ops(best[p])} ({'ref' if p == REF else f'{best[REF] / best[p]:.2f}x'})".rjust(18) for p in PEERS
        )
        print(name.ljust(40) + cells + "  another process wrote it", flush=True)
    finally:
        for o in others.values():
            o.stdin.close()
            o.wait()
            o.stdout.close()


def cases(urls: dict[str, str], payload: str, settings: Settings) -> None:
    import psycopg

    for peer in PEERS:
        fill(peer, urls[peer], {"long": 50_000, "t1000": 1_000}, payload)
        with psycopg.connect(urls[peer], autocommit=True) as conn:
            conn.execute("ANALYZE")  # as autovacuum would, in time, after a bulk load
    ss = {p: open_saver(p, urls[p]) for p in PEERS}
    try:
        writers = {p: Writer(s, "growing", payload) for p, s in ss.items()}
        long_thread = {"configurable": {"thread_id": "long"}}
        for s in ss.values():  # warm: this process has read the thread once
            s.get_tuple(long_thread)
        n = itertools.count()
        copies = {
            "quorvalent": lambda s=ss["quorvalent"]: s.copy_thread("t1000", f"copy{next(n)}"),
            REF: lambda s=ss[REF]: generic_copy(s, "t1000", f"copy{next(n)}"),
        }

        def each(call):
            return {p: (lambda s=s: call(s)) for p, s in ss.items()}

        run_table(
            f"durable checkpointers on PostgreSQL, {payload} payload",
            [
                Case(f"{payload}: put + put_writes", {p: w.step for p, w in writers.items()}, REF),
                Case(f"{payload}: get_tuple latest, warm", each(lambda s: s.get_tuple(long_thread)), REF,
                     note="this process wrote it"),
                Case(f"{payload}: list(limit=10) of 50,000", each(lambda s: list(s.list(long_thread, limit=10))), REF),
            ],
            settings,
            PEERS,
        )
        cold_reads(urls, ss, payload, settings)
        run_table(f"copy_thread, {payload} payload", [Case(f"{payload}: copy_thread 1,000", copies, REF,
                                                            note="peer: list + put")],
                  Settings(rounds=3, batch_seconds=settings.batch_seconds), PEERS)
    finally:
        for s in ss.values():
            close(s)


def round_trips(server) -> None:
    """Protocol round trips per operation, counted by a relay between saver and server."""
    from pgserver import RoundTrips

    user, password = "qv_bench", "bench-password"
    server.psql(f"DROP ROLE IF EXISTS {user}")
    server.add_role(user, password)
    relay = RoundTrips(server.port)
    rows = {}
    try:
        for peer in PEERS:
            db = f"rt_{peer.lower()}"
            server.psql(f'CREATE DATABASE "{db}"')
            url = relay.url(user, password, db)
            s, other = open_saver(peer, url), open_saver(peer, url)
            config = {"configurable": {"thread_id": "t"}}
            w = Writer(s, "t", "chat")
            for _ in range(20):
                w.step()
            other.get_tuple(config)  # the other has seen the thread; then it falls behind

            def count(call):
                before = relay.count
                call()
                return relay.count - before

            got: dict[str, int] = {}

            def counted(name, method):
                def call(*args, **kwargs):
                    before = relay.count
                    out = method(*args, **kwargs)
                    got[name] = relay.count - before
                    return out

                return call

            put, put_writes = s.put, s.put_writes
            s.put, s.put_writes = counted("put", put), counted("put_writes", put_writes)
            w.step()
            s.put, s.put_writes = put, put_writes
            rows[peer] = {
                "put": got["put"],
                "put_writes": got["put_writes"],
                "get_tuple, warm": count(lambda: s.get_tuple(config)),
                "get_tuple, cold": count(lambda: other.get_tuple(config)),
                "list(limit=10)": count(lambda: list(s.list(config, limit=10))),
                "copy_thread (21 checkpoints)": count(
                    (lambda: s.copy_thread("t", "copy")) if peer != REF else (lambda: generic_copy(s, "t", "copy"))
                ),
            }
            close(s)
            close(other)
    finally:
        relay.close()
    print("\n== protocol round trips per operation (through a counting relay)")
    print("operation".ljust(34) + "".join(p.rjust(16) for p in PEERS))
    for op in rows[PEERS[0]]:
        print(op.ljust(34) + "".join(str(rows[p][op]).rjust(16) for p in PEERS))


def written_per_step(urls: dict[str, str], n: int = 300) -> None:
    """WAL bytes, and CPU of client and server process, per step of two state shapes."""
    import psycopg
    from bench_durable import step_state

    print("\n== per step: WAL the server wrote, CPU of the client and of its server process")
    tick = os.sysconf("SC_CLK_TCK")

    def server_cpu(pid: int) -> float:
        with open(f"/proc/{pid}/stat") as f:
            parts = f.read().rsplit(")", 1)[1].split()
        return (int(parts[11]) + int(parts[12])) / tick

    for shape in ("5-channel", "growing"):
        cells = {}
        for peer in PEERS:
            saver = open_saver(peer, urls[peer])
            step = step_state(saver, shape)
            for _ in range(20):
                step()
            pid = backend_pid(peer, saver)
            with psycopg.connect(urls[peer], autocommit=True) as conn:
                lsn0 = conn.execute("SELECT pg_current_wal_lsn()").fetchone()[0]
                c0, s0 = time.process_time(), server_cpu(pid)
                for _ in range(n):
                    step()
                c1, s1 = time.process_time(), server_cpu(pid)
                wal = conn.execute("SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), %s)", (lsn0,)).fetchone()[0]
            cells[peer] = (float(wal) / n, (c1 - c0) / n * 1e6, (s1 - s0) / n * 1e6)
            close(saver)
        q, r = cells["quorvalent"], cells[REF]
        print(f"  {shape} state: WAL {q[0]:,.0f} B vs {r[0]:,.0f} B ({q[0] / r[0]:.2f}x); "
              f"client CPU {q[1]:,.0f} us vs {r[1]:,.0f} us; server CPU {q[2]:,.0f} us vs {r[2]:,.0f} us "
              f"(quorvalent vs {REF})")


def run(settings: Settings) -> None:
    try:
        import langgraph.checkpoint.postgres  # noqa: F401
        import psycopg  # noqa: F401
    except ImportError as e:
        print(f"\n== postgres: skipped ({e.name} is not installed)")
        return
    sys.path.insert(0, TOOLS)
    from pgserver import Server

    given = os.environ.get("QV_PG_URL")
    server = None
    if not given:
        try:
            server = Server(fsync=os.environ.get("QV_BENCH_PG_FSYNC", "off") == "on",
                            parent=os.environ.get("QV_BENCH_DIR"))
        except RuntimeError as e:
            print(f"\n== postgres: skipped ({e})")
            return
    try:
        import psycopg

        admin = given or server.url()
        fsync = "given server" if given else f"fsync {'on' if server.fsync else 'off'}"
        print(f"\n== PostgreSQL: {fsync}")
        with psycopg.connect(admin, autocommit=True) as conn:
            print("  " + conn.execute("SELECT version()").fetchone()[0].split(" on ")[0])
        for payload in PAYLOADS:
            urls = {}
            for peer in PEERS:
                schema = f"bench_{peer.lower()}_{payload}"
                with psycopg.connect(admin, autocommit=True) as conn:
                    conn.execute(f'DROP SCHEMA IF EXISTS "{schema}" CASCADE')
                    conn.execute(f'CREATE SCHEMA "{schema}"')
                sep = "&" if "?" in admin else "?"
                urls[peer] = f"{admin}{sep}options=-csearch_path%3D{schema}"
            cases(urls, payload, settings)
            if payload == "chat":
                written_per_step(urls)
        if server is not None:
            round_trips(server)
    finally:
        if server is not None:
            server.close()


if __name__ == "__main__":
    run(Settings())
