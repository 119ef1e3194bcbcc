"""Throughput with 1 thread against N threads at once, on the free-threaded interpreter.

Each case is one operation that every thread calls in a loop; the figure is the combined
calls per second of N threads divided by that of 1 thread (2.00x: perfect on two cores).
Thread counts run 1, 2, 4, ... up to N (QV_BENCH_THREADS, default: the machine's cores),
so the section reruns as is on a bigger machine. Rounds interleave the thread counts and
each count keeps its best round, as the other sections do.

Cases come in three kinds: private (every thread its own store namespace, document or
state), shared (all threads on one namespace or one object), and plain Python reading the
same shared objects, which is the scaling the shared cases are held to: on one object,
the interpreter's own reference counting of what the threads read is common to both.
On the GIL build everything but the store's detached work runs one thread at a time.
"""

from __future__ import annotations

import copy
import os
import sys
import threading
import time

from harness import Settings

NEEDS = "Store"

# Combined throughput at 2 threads against 1 that the free-threaded build must reach.
TARGETS = {"private": 1.8, "one namespace": 1.6}


def thread_counts() -> list[int]:
    top = int(os.environ.get("QV_BENCH_THREADS") or os.cpu_count() or 2)
    counts, n = [], 1
    while n < top:
        counts.append(n)
        n *= 2
    return counts + [max(top, 1)] if top > 1 else [1]


def throughput(make_worker, threads: int, seconds: float) -> float:
    """Calls per second of `threads` threads together; make_worker(i) gives thread i's
    call (made before the clock starts, so private data is not built on the clock)."""
    calls = [make_worker(i) for i in range(threads)]
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def run(i: int) -> None:
        fn = calls[i]
        n = 0
        start.wait()
        while not stop.is_set():
            for _ in range(32):
                fn()
            n += 32
        counts[i] = n

    ts = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in ts:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def walk(v) -> int:
    """Plain Python reading every value of a document, as an encoder written in Python
    would, without producing anything."""
    t = type(v)
    if t is dict:
        n = 0
        for k, x in v.items():
            n += walk(k) + walk(x)
        return n
    if t is list or t is tuple:
        n = 0
        for x in v:
            n += walk(x)
        return n
    return 1


def cases():
    import quorvalent
    from bench_codec import corpus
    from bench_graph import GUARDS, hand_route, make_state
    from bench_store import AGENT_STATE

    store = quorvalent.Store()
    graph = quorvalent.HandoffGraph()
    for target, guard in GUARDS:
        graph.add_edge("triage", target, guard)
    doc = corpus()["conversation (50 msgs)"]
    shared_state = make_state()
    assert graph.route("triage", shared_state) == hand_route(shared_state)

    def store_ops(ns: str, key: str):
        def op():
            store.set(ns, key, AGENT_STATE)
            store.get(ns, key)
        return op

    def codec_ops(d):
        def op():
            quorvalent.loads(quorvalent.dumps(d))
        return op

    def route_op(state):
        return lambda: graph.route("triage", state)

    return [
        # (name, kind, make_worker)
        ("store set+get, separate namespaces", "private",
         lambda i: store_ops(f"ns-{i}", "k")),
        ("store set+get, one namespace", "one namespace",
         lambda i: store_ops("shared", f"k-{i}")),
        ("dumps+loads, private documents", "private",
         lambda i: codec_ops(copy.deepcopy(doc))),
        ("route, private states", "private", lambda i: route_op(make_state())),
        ("dumps, one shared document", "shared", lambda i: lambda: quorvalent.dumps(doc)),
        ("plain Python walk, same document", "peer", lambda i: lambda: walk(doc)),
        ("route, one shared state", "shared", lambda i: route_op(shared_state)),
        ("plain Python route, same state", "peer", lambda i: lambda: hand_route(shared_state)),
    ]


def run(settings: Settings) -> None:
    counts = thread_counts()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    seconds = max(0.1, settings.batch_seconds * 10)
    print(f"\n== scaling (calls/s with 1 thread, then combined with k threads and the ratio "
          f"to 1; best of {settings.rounds} interleaved rounds of {seconds:.1f} s;"
          f" {os.cpu_count()} cores{', GIL enabled' if gil else ''})")
    w0 = 38
    print("case".ljust(w0) + "".join(f"{k} thr".rjust(18) for k in counts) + "  target at 2")
    for name, kind, make_worker in cases():
        best = {k: 0.0 for k in counts}
        for r in range(settings.rounds):
            order = counts[r % len(counts):] + counts[:r % len(counts)]
            for k in order:
                best[k] = max(best[k], throughput(make_worker, k, seconds))
        cells = []
        for k in counts:
            tag = "" if k == 1 else f" ({best[k] / best[1]:.2f}x)"
            cells.append(f"{best[k] / 1e3:,.0f}k{tag}".rjust(18))
        target = TARGETS.get(kind)
        note = f"  >= {target:.1f}x" if target else ("  as its peer" if kind == "shared" else "")
        print(name.ljust(w0) + "".join(cells) + note, flush=True)
