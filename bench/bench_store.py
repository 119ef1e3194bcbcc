"""Store against what a user would write without it: a dict keyed by (namespace, key)
holding msgspec-encoded bytes, decoded on read.

Memory figures come from fresh subprocesses (RSS growth read from /proc/self/statm), so
that neither side inherits the other's heap.
"""

from __future__ import annotations

import copy
import os
import subprocess
import sys
import textwrap

from harness import Case, Settings, run_case, run_table

NEEDS = "Store"
BASELINE = "dict+msgspec"

AGENT_STATE = {
    "agent_id": "planner-7",
    "thread_id": "t-000123",
    "step": 42,
    "temperature": 0.7,
    "done": False,
    "last_tool": None,
    "tokens_used": 18231,
    "status": "waiting_for_tool",
}


def layout(n: int, per_ns: int = 1000):
    """(namespace, key) pairs: n entries, `per_ns` keys per namespace (fewer for small n)."""
    per_ns = min(per_ns, max(1, int(n ** 0.5)))
    for i in range(n):
        yield f"thread-{i // per_ns:05d}", f"ckpt-{i % per_ns:05d}"


def populate(store, baseline: dict, n: int, value_of, enc) -> None:
    chunk = []
    for i, (ns, key) in enumerate(layout(n)):
        v = value_of(i)
        chunk.append((ns, key, v))
        baseline[(ns, key)] = enc(v)
        if len(chunk) == 10_000:
            store.set_many(chunk)
            chunk = []
    store.set_many(chunk)


def ratio_line(label: str, ours: float, theirs: float, target: str) -> None:
    print(f"  {label}: quorvalent {ours * 1e9:,.0f} ns, {BASELINE} {theirs * 1e9:,.0f} ns,"
          f" quorvalent/{BASELINE} = {ours / theirs:.2f}x ({target})", flush=True)


def single_ops(settings: Settings, enc, dec) -> None:
    import quorvalent

    s = quorvalent.Store()
    d: dict = {}
    s.set("threads", "t1", AGENT_STATE)
    d[("threads", "t1")] = enc(AGENT_STATE)

    def b_set():
        d[("threads", "t1")] = enc(AGENT_STATE)

    def b_get():
        return dec(d[("threads", "t1")])

    cases = [
        Case("set agent state", {"quorvalent": lambda: s.set("threads", "t1", AGENT_STATE),
                                 BASELINE: b_set}, BASELINE),
        Case("get agent state", {"quorvalent": lambda: s.get("threads", "t1"),
                                 BASELINE: b_get}, BASELINE),
    ]
    res = run_table("store: single-key ops, small agent state", cases, settings,
                    ["quorvalent", BASELINE])
    for r, target in zip(res, ["target <= 1.3x", "target <= 1.15x"]):
        ratio_line(r.case.name, r.best["quorvalent"], r.best[BASELINE], target)


def batches(settings: Settings) -> None:
    import quorvalent

    n = 1000
    s = quorvalent.Store()
    items = [(ns, key, {"step": i, "ok": True}) for i, (ns, key) in enumerate(layout(n, 50))]
    pairs = [(ns, key) for ns, key, _ in items]
    s.set_many(items)

    def singles_set():
        for ns, key, v in items:
            s.set(ns, key, v)

    def singles_get():
        for ns, key in pairs:
            s.get(ns, key)

    cases = [
        Case("set 1,000 pairs", {"set_many": lambda: s.set_many(items), "1,000 x set": singles_set},
             "1,000 x set"),
        Case("get 1,000 pairs", {"get_many": lambda: s.get_many(pairs), "1,000 x get": singles_get},
             "1,000 x get"),
    ]
    print(f"\n== store: batches of {n} vs single calls (per item, best of {settings.rounds})")
    for case, (batch, single, target) in zip(cases, [("set_many", "1,000 x set", "0.6x"),
                                                     ("get_many", "1,000 x get", "0.85x")]):
        r = run_case(case, settings)
        b, one = r.best[batch] / n, r.best[single] / n
        print(f"  {case.name}: {batch} {b * 1e9:,.0f} ns/item, {single} {one * 1e9:,.0f} ns/item,"
              f" batch/single = {b / one:.2f}x (target <= {target})", flush=True)


def snapshots(settings: Settings, enc) -> None:
    import quorvalent

    print(f"\n== store: snapshot vs copy.copy of the baseline dict (best of {settings.rounds})")
    times = {}
    for n in (100, 10_000, 1_000_000):
        s = quorvalent.Store()
        d: dict = {}
        populate(s, d, n, lambda i: {"step": i, "status": "ok"}, enc)
        assert len(s) == len(d) == n
        r = run_case(Case(f"{n:,} entries", {"quorvalent": s.snapshot,
                                             BASELINE: lambda: copy.copy(d)}, BASELINE), settings)
        times[n] = r.best["quorvalent"]
        print(f"  {n:>9,} entries: snapshot {r.best['quorvalent'] * 1e9:,.0f} ns,"
              f" copy.copy {r.best[BASELINE] * 1e9:,.0f} ns"
              f" (copy/snapshot {r.best[BASELINE] / r.best['quorvalent']:,.0f}x)", flush=True)
        del s, d
    print(f"  snapshot 1M / snapshot 100 = {times[1_000_000] / times[100]:.2f}x (target <= 2x)")


def diffs(settings: Settings, enc) -> None:
    import quorvalent

    n = 100_000
    s = quorvalent.Store()
    d1: dict = {}
    populate(s, d1, n, lambda i: {"step": i, "status": "ok"}, enc)
    older = s.snapshot()
    d2 = dict(d1)
    ns = "thread-00042"
    for j in range(10):  # 10 of the namespace's keys change
        v = {"step": -j, "status": "changed"}
        s.set(ns, f"ckpt-{j:05d}", v)
        d2[(ns, f"ckpt-{j:05d}")] = enc(v)
    newer = s.snapshot()

    def full_compare():
        added = [k for k in d2 if k not in d1]
        removed = [k for k in d1 if k not in d2]
        changed = [k for k, v in d2.items() if k in d1 and d1[k] != v]
        return added, removed, changed

    got = newer.diff(older)
    assert sorted(got["changed"]) == sorted(full_compare()[2]) and len(got["changed"]) == 10
    r = run_case(Case("diff", {"quorvalent": lambda: newer.diff(older),
                               BASELINE: full_compare}, BASELINE), settings)
    q, b = r.best["quorvalent"], r.best[BASELINE]
    print(f"\n== store: diff of two snapshots of {n:,} entries differing in one namespace")
    print(f"  Snapshot.diff {q * 1e6:,.1f} us, key-by-key dict compare {b * 1e6:,.1f} us"
          f" (compare/diff {b / q:,.0f}x)", flush=True)


MEMORY_SCRIPT = textwrap.dedent("""
    import os, sys
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    n, which = int(sys.argv[1]), sys.argv[2]
    import msgspec, quorvalent
    enc = msgspec.msgpack.encode
    before = rss()
    if which == "quorvalent":
        holder = quorvalent.Store()
        for base in range(0, n, 10_000):
            holder.set_many([(f"thread-{i // 1000:05d}", f"ckpt-{i % 1000:05d}", [i, "ok"])
                             for i in range(base, min(n, base + 10_000))])
        assert len(holder) == n
    else:
        holder = {}
        for i in range(n):
            holder[(f"thread-{i // 1000:05d}", f"ckpt-{i % 1000:05d}")] = enc([i, "ok"])
    print((rss() - before) / n)
""")


def memory() -> None:
    n = 1_000_000
    per = {}
    for which in ("quorvalent", BASELINE):
        out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(n), which],
                             capture_output=True, text=True, check=True)
        per[which] = float(out.stdout.strip())
    print(f"\n== store: memory for {n:,} small entries (RSS growth, fresh process each)")
    print(f"  quorvalent {per['quorvalent']:.0f} B/entry, {BASELINE} {per[BASELINE]:.0f} B/entry,"
          f" quorvalent/{BASELINE} = {per['quorvalent'] / per[BASELINE]:.2f}x", flush=True)


def run(settings: Settings) -> None:
    try:
        import msgspec
    except ImportError as e:
        print(f"\n== store: skipped (the baseline needs msgspec: {e})")
        return
    enc, dec = msgspec.msgpack.encode, msgspec.msgpack.decode
    single_ops(settings, enc, dec)
    batches(settings)
    snapshots(settings, enc)
    diffs(settings, enc)
    if os.path.exists("/proc/self/statm"):
        memory()
    else:
        print("\n== store: memory skipped (no /proc/self/statm)")
