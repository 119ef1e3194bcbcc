"""Instructions per call under callgrind, ours beside the peer, for the paths we tune.

Timings on a shared two-core machine swing by 2x; instruction counts do not: the same
binary, input and environment give the same count whatever else runs. Each figure is
(Ir of a run with 2n calls - Ir of a run with n calls) / n, so start-up, imports and
set-up cancel out; n grows until that difference is large enough for a stray garbage
collection not to matter.

Whole LangGraph runs take too long under callgrind to start the interpreter and import
LangGraph four times per row: their rows count only between markers inside one run
(callgrind dumps its counters whenever os.getppid is entered), the n calls then the 2n,
each after a full collection.

    python bench/instructions.py [filter]      (`make instructions`; needs valgrind)
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# name -> (ours, peer, peer name, calls n, setup); each entry of ours/peer is a statement
# timed n times. Setups may use the bench modules' own data.
CODEC_SETUP = """
import msgspec, quorvalent
from bench_codec import corpus
v = corpus()[{case!r}]
enc, dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
ours_b, peer_b = quorvalent.dumps(v), enc.encode(v)
"""
STORE_SETUP = """
import msgspec, quorvalent
from bench_store import AGENT_STATE, layout
enc, dec = msgspec.msgpack.Encoder().encode, msgspec.msgpack.Decoder().decode
s = quorvalent.Store(); d = {}
s.set("threads", "t1", AGENT_STATE); d[("threads", "t1")] = enc(AGENT_STATE)
items = [(ns, key, {"step": i, "ok": True}) for i, (ns, key) in enumerate(layout(1000, 50))]
pairs = [(ns, key) for ns, key, _ in items]
s.set_many(items)
def singles_set():
    for ns, key, v in items: s.set(ns, key, v)
def singles_get():
    for ns, key in pairs: s.get(ns, key)
"""
# Namespaces at two sizes, for the operations whose cost must follow what changed or what
# is returned, not what is held; the printed ratio is big / small. Each namespace's key map
# hashes under its own random key, so its trie has its own shape, and what an ordered walk
# or a diff visits varies with it: calls rotate over `k` namespaces of each size, so that
# two runs average over many shapes, not one.
SIZES_SETUP = """
import itertools, quorvalent
def filled(n, k):
    s = quorvalent.Store()
    for j in range(k):
        for base in range(0, n, 10_000):
            s.set_many([(f"ns{{j}}", f"ckpt-{{i:07d}}", {{"step": i}})
                        for i in range(base, min(n, base + 10_000))])
    older = s.snapshot()
    for j in range(k):  # one write per namespace between two snapshots
        s.set(f"ns{{j}}", f"ckpt-{{n // 2:07d}}", {{"step": -1}})
    return s, s.snapshot(), older
big, big_new, big_old = filled({big}, {k})
small, small_new, small_old = filled({small}, {k})
big_ns = itertools.cycle([f"ns{{j}}" for j in range({k})])
small_ns = itertools.cycle([f"ns{{j}}" for j in range({k})])
"""
# Marked rows build only the saver that their statement (STMT) uses: the other's data
# would weigh on the collections counted.
LANGGRAPH_SETUP = """
from langgraph.checkpoint.memory import InMemorySaver
from quorvalent.langgraph import QuorvalentSaver
from lg_graphs import Run
if "ours." in STMT:
    ours = Run(QuorvalentSaver(), {kind!r})
else:
    peer = Run(InMemorySaver(), {kind!r})
"""
LONG_SETUP = """
from langgraph.checkpoint.memory import InMemorySaver
from quorvalent.langgraph import QuorvalentSaver
from bench_langgraph import Writer
s = QuorvalentSaver() if "ours." in STMT else InMemorySaver()
ours = peer = s
w = Writer(s, "t", "tiny")
for _ in range({n}):
    w.step()
cfg = {{"configurable": {{"thread_id": "t"}}}}
"""
DELTA_SETUP = """
from langgraph.checkpoint.memory import InMemorySaver
from quorvalent.langgraph import QuorvalentSaver
from lg_graphs import Run
ours = peer = Run(QuorvalentSaver() if "ours." in STMT else InMemorySaver(), "delta", 1000, fork=False)
ours_c = peer_c = ours.saver.get_tuple(ours.done).config
"""
GRAPH_SETUP = """
import quorvalent
from bench_graph import GUARDS, make_state, hand_route
g = quorvalent.HandoffGraph()
for target, guard in GUARDS: g.add_edge("triage", target, guard)
state = make_state()
assert g.route("triage", state) == hand_route(state)
"""

MEMORY_SETUP = """
from bench_memory import stores, value
ss = stores(peers=["quorvalent", "InMemoryStore"])
q, m = ss["quorvalent"], ss["InMemoryStore"]
"""
MEMORY = [("put over an item", '{}.put(("docs",), "d500", value(2))'), ("get", '{}.get(("docs",), "d700")'),
          ("search 10 of 1,000", '{}.search(("docs",))'),
          ("search filter=, 10 of 1,000", '{}.search(("docs",), filter={{"kind": 7}})')]


def cases() -> list[tuple[str, str, str, str, int, str]]:
    out = []
    sys.path.insert(0, str(HERE))
    from bench_codec import corpus  # noqa: PLC0415

    for case in corpus():
        setup = CODEC_SETUP.format(case=case)
        n = 3 if "1 MiB" in case else 20
        out.append((f"dumps {case}", "quorvalent.dumps(v)", "enc.encode(v)", "msgspec", n, setup))
        out.append((f"loads {case}", "quorvalent.loads(ours_b)", "dec.decode(peer_b)", "msgspec",
                    n, setup))
    out += [
        ("store set", 's.set("threads", "t1", AGENT_STATE)',
         'd[("threads", "t1")] = enc(AGENT_STATE)', "dict+msgspec", 2000, STORE_SETUP),
        ("store get", 's.get("threads", "t1")', 'dec(d[("threads", "t1")])', "dict+msgspec",
         2000, STORE_SETUP),
        ("store set_many, 1,000 items", "s.set_many(items)", "singles_set()", "1,000 x set", 20,
         STORE_SETUP),
        # A key that comes and goes, in a namespace of 50: the summaries' share of a write.
        ("store set+delete of a new key", 's.set("thread-00001", "new", 1); s.delete("thread-00001", "new")',
         'd[("thread-00001", "new")] = enc(1); del d[("thread-00001", "new")]', "dict+msgspec", 2000,
         STORE_SETUP),
        ("store get_many, 1,000 items", "s.get_many(pairs)", "singles_get()", "1,000 x get", 20,
         STORE_SETUP),
        ("max_key, 50,000 keys", "big.max_key(next(big_ns))", "small.max_key(next(small_ns))",
         "1,000 keys", 2000, SIZES_SETUP.format(big=50_000, small=1_000, k=8)),
        ("scan limit=10, 50,000 keys", "big.scan(next(big_ns), limit=10)",
         "small.scan(next(small_ns), limit=10)", "1,000 keys", 200,
         SIZES_SETUP.format(big=50_000, small=1_000, k=8)),
        ("scan reverse limit=10, 50,000 keys", "big.scan(next(big_ns), reverse=True, limit=10)",
         "small.scan(next(small_ns), reverse=True, limit=10)", "1,000 keys", 200,
         SIZES_SETUP.format(big=50_000, small=1_000, k=8)),
        ("diff after one write, 100,000 keys", "big_new.diff(big_old)",
         "small_new.diff(small_old)", "100 keys", 200,
         SIZES_SETUP.format(big=100_000, small=100, k=1)),
        ("route, 5 guards, 50-key state", 'g.route("triage", state)', "hand_route(state)",
         "hand-written", 2000, GRAPH_SETUP),
    ]
    out += [(f"memory {name}", stmt.format("q"), stmt.format("m"), "InMemoryStore", 200, MEMORY_SETUP)
            for name, stmt in MEMORY]
    try:
        import langgraph.checkpoint.memory  # noqa: F401, PLC0415
    except ImportError:
        return out
    lg = "InMemorySaver"
    for kind in ("dict", "messages"):
        setup = LANGGRAPH_SETUP.format(kind=kind)
        out += [
            (f"langgraph {kind} state: invoke, 200 steps", "ours.invoke()", "peer.invoke()", lg, 4, setup),
            (f"langgraph {kind} state: get_state_history", "ours.history()", "peer.history()", lg, 2,
             setup),
            (f"langgraph {kind} state: forked invoke", "ours.fork()", "peer.fork()", lg, 4, setup),
        ]
    for n in (1_000, 50_000):
        setup = LONG_SETUP.format(n=n)
        out += [
            (f"langgraph get_tuple latest, {n:,} checkpoints", "ours.get_tuple(cfg)", "peer.get_tuple(cfg)",
             lg, 20, setup),
            (f"langgraph list(limit=10), {n:,} checkpoints", "list(ours.list(cfg, limit=10))",
             "list(peer.list(cfg, limit=10))", lg, 20, setup),
        ]
    out.append(("langgraph get_delta_channel_history, 1,000 steps",
                'ours.saver.get_delta_channel_history(config=ours_c, channels=["messages"])',
                'peer.saver.get_delta_channel_history(config=peer_c, channels=["messages"])', lg, 20,
                DELTA_SETUP))
    return out


def dumps_of(code: str, *args: str) -> list[int]:
    """The totals of the parts callgrind dumped while running `code`, in order (the
    part after the last dump left out)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(HERE))
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *args,
                        sys.executable, "-c", code], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        parts = sorted((p for p in Path(tmp).iterdir() if p.suffix[1:].isdigit()),
                       key=lambda p: int(p.suffix[1:]))
        return [int(re.search(r"^summary: (\d+)", p.read_text(), re.M).group(1)) for p in parts]


def per_call_marked(setup: str, stmt: str, n: int) -> float:
    # Parts: start-up and set-up, the n calls, a collection, the 2n calls. Each run of
    # calls starts from a collected heap, so that the collections that fall into it do
    # the same work in both.
    code = (f"import gc, os\nSTMT = {stmt!r}\n{setup}\ndef _calls(k):\n    for _ in range(k):\n        {stmt}\n"
            f"gc.collect()\nos.getppid()\n_calls({n})\nos.getppid()\ngc.collect()\nos.getppid()\n"
            f"_calls({2 * n})\nos.getppid()\n")
    parts = dumps_of(code, "--dump-before=os_getppid*")
    return (parts[3] - parts[1]) / n


def irs(setup: str, stmt: str, n: int) -> int:
    # Inside a function, as callers run it: module-level code pays name lookups per call.
    code = f"{setup}\ndef _calls():\n    for _ in range({n}):\n        {stmt}\n_calls()\n"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(HERE))
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, "-c", code], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = Path(out).read_text()
    return int(re.search(r"^summary: (\d+)", text, re.M).group(1))


# Enough calls that a run's difference is far above what a garbage collection that
# happens to fall into one of the two runs costs.
MIN_DIFFERENCE = 40_000_000


def per_call(setup: str, stmt: str, n: int) -> float:
    while True:
        diff = irs(setup, stmt, 2 * n) - irs(setup, stmt, n)
        if diff >= MIN_DIFFERENCE or n >= 1_000_000:
            return diff / n
        n = max(2 * n, int(n * MIN_DIFFERENCE / max(diff, 1) * 1.2))


def main() -> None:
    pick = sys.argv[1] if len(sys.argv) > 1 else ""
    print(f"{'path':42} {'ours':>12} {'peer':>12}  ratio  peer")
    for name, ours, peer, peer_name, n, setup in cases():
        if pick not in name:
            continue
        measure = per_call_marked if name.startswith("langgraph") else per_call
        a, b = measure(setup, ours, n), measure(setup, peer, n)
        print(f"{name:42} {a:12,.0f} {b:12,.0f}  {a / b:5.2f}  {peer_name}", flush=True)


if __name__ == "__main__":
    main()
