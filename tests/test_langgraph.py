"""QuorvalentSaver and router() against LangGraph itself: its conformance suite, a real
graph run side by side with InMemorySaver, and what the suite does not look at."""

import asyncio
import dataclasses
import datetime
import enum
import itertools
import operator
import re
import subprocess
import sys
import threading
from typing import Annotated, Any, TypedDict

import pytest

pytest.importorskip("langgraph.checkpoint.conformance")

from langgraph.checkpoint.base import empty_checkpoint  # noqa: E402
from langgraph.checkpoint.conformance import checkpointer_test, validate  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402
from langgraph.graph import END, START, StateGraph  # noqa: E402
from langgraph.types import Command, interrupt  # noqa: E402

import quorvalent as qv  # noqa: E402
from quorvalent.langgraph import QuorvalentSaver, router  # noqa: E402


def test_conformance_suite_passes_in_full():
    @checkpointer_test(name="QuorvalentSaver")
    async def saver():
        yield QuorvalentSaver()

    report = asyncio.run(validate(saver))
    failures = {cap: r.failures for cap, r in report.results.items() if r.passed is not True}
    assert not failures
    assert all(r.detected for r in report.results.values()) and len(report.results) == 8


# -- a real graph, run on both savers ---------------------------------------------------


class State(TypedDict):
    log: Annotated[list[str], operator.add]
    tier: str
    score: float
    answer: str


def build(checkpointer):
    routes = qv.HandoffGraph()
    routes.add_edge("triage", "billing", "tier == 'pro' and score >= 0.5")
    routes.add_edge("triage", "faq")
    routes.add_edge("faq", "escalate", "score < 0.1")  # otherwise: END

    def approve(state: State):
        decision = interrupt({"question": "refund?", "log": state["log"]})
        return {"log": [f"approve:{decision}"], "answer": f"refund {decision}"}

    sub = StateGraph(State)
    sub.add_node("lookup", lambda s: {"log": ["lookup"]})
    sub.add_node("approve", approve)
    sub.add_edge(START, "lookup")
    sub.add_edge("lookup", "approve")

    g = StateGraph(State)
    g.add_node("triage", lambda s: {"log": ["triage"]})
    g.add_node("billing", sub.compile())
    g.add_node("faq", lambda s: {"log": ["faq"], "answer": "see the faq"})
    g.add_node("escalate", lambda s: {"log": ["escalate"]})
    g.add_edge(START, "triage")
    g.add_conditional_edges("triage", router(routes, "triage"), ["billing", "faq"])
    g.add_conditional_edges("faq", router(routes, "faq"), ["escalate", END])
    g.add_edge("billing", END)
    g.add_edge("escalate", END)
    return g.compile(checkpointer=checkpointer)


ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}|\b[0-9a-f]{32}\b")


def plain(obj, ids):
    """Everything observable, with ids numbered by first appearance and times dropped."""
    if isinstance(obj, str):
        return ID.sub(lambda m: f"<id{ids.setdefault(m.group(), len(ids))}>", obj)
    if hasattr(obj, "_asdict"):
        return {k: plain(v, ids) for k, v in obj._asdict().items() if k != "created_at"}
    if dataclasses.is_dataclass(obj):
        return plain({f.name: getattr(obj, f.name) for f in dataclasses.fields(obj)}, ids)
    if isinstance(obj, dict):
        return {plain(k, ids): plain(v, ids) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return type(obj)(plain(x, ids) for x in obj)
    return obj


def scenario(checkpointer):
    graph = build(checkpointer)
    seen = []
    pro = {"configurable": {"thread_id": "pro"}}
    seen.append(graph.invoke({"log": [], "tier": "pro", "score": 0.9, "answer": ""}, pro))
    seen.append(graph.get_state(pro, subgraphs=True))
    seen.append(graph.invoke(Command(resume="yes"), pro))
    history = list(graph.get_state_history(pro))
    seen.append(history)
    # Time travel: change the input checkpoint's state and run on from the fork.
    first = next(s for s in history if s.next == ("triage",))
    fork = graph.update_state(first.config, {"tier": "free", "score": 0.05})
    seen.append(graph.invoke(None, fork))
    seen.append(list(graph.get_state_history(pro)))
    seen.append(list(graph.get_state_history(pro, filter={"source": "update"})))
    free = {"configurable": {"thread_id": "free"}}
    seen.append(graph.invoke({"log": [], "tier": "free", "score": 0.5, "answer": ""}, free))
    seen.append(list(graph.get_state_history(free, limit=2)))
    return plain(seen, {})


def test_graph_runs_as_on_in_memory_saver():
    ours = scenario(QuorvalentSaver())
    assert ours == scenario(InMemorySaver())
    # The run took the paths the router chose, interrupt and fork included.
    assert ours[2]["log"] == ["triage", "triage", "lookup", "approve:yes"]  # the subgraph returns its whole log
    assert ours[4]["log"] == ["triage", "faq", "escalate"]
    assert ours[7]["log"] == ["triage", "faq"]


def test_router_accepts_state_types():
    pydantic = pytest.importorskip("pydantic")
    g = qv.HandoffGraph()
    g.add_edge("a", "b", "tier == 'pro' and score >= 0.5")
    for state in ({"tier": "pro", "score": 0.9},
                  pydantic.create_model("S", tier=(str, ...), score=(float, ...))(tier="pro", score=0.9),
                  dataclasses.make_dataclass("S", [("tier", str), ("score", float)])("pro", 0.9)):
        assert router(g, "a")(state) == "b" and router(g, "b")(state) == END
    # A node the graph lacks (a typo) would end every run there: refused when made.
    with pytest.raises(ValueError, match="'triagee'"):
        router(g, "triagee")


# -- what the suite does not look at ------------------------------------------------------


def put(saver, thread, ns="", parent=None, values=None, metadata=None, versions=None, new=None):
    ck = empty_checkpoint()
    values = values or {}
    ck["channel_values"] = values
    ck["channel_versions"] = versions or {k: saver.get_next_version(None, None) for k in values}
    config = {"configurable": {"thread_id": thread, "checkpoint_ns": ns}}
    if parent:
        config["configurable"]["checkpoint_id"] = parent["configurable"]["checkpoint_id"]
    md = {"source": "loop", "step": 0, "parents": {}} if metadata is None else metadata
    return saver.put(config, ck, md, dict(ck["channel_versions"]) if new is None else new)


LOOKALIKES = [("t1", "t10"), ("a", "a|b"), ("a", "a:b"), ("", "0:"), ("1:a", "a"), ("x", "x\x00")]


@pytest.mark.parametrize("ns", ["", "child:1|grand:2", "1:"])
@pytest.mark.parametrize("one,other", LOOKALIKES)
def test_lookalike_ids_stay_apart(one, other, ns):
    saver = QuorvalentSaver()
    a = put(saver, one, ns, values={"v": one})
    put(saver, other, ns, values={"v": other})
    put(saver, one, ns + "|", values={"v": "sub"})  # a namespace that extends ns
    cfg = {"configurable": {"thread_id": one, "checkpoint_ns": ns}}
    assert [t.checkpoint["channel_values"] for t in saver.list(cfg)] == [{"v": one}]
    saver.put_writes(a, [("w", 1)], "task")
    saver.delete_thread(other)
    assert saver.get_tuple(cfg).pending_writes == [("task", "w", 1)]
    assert saver.get_tuple({"configurable": {"thread_id": other, "checkpoint_ns": ns}}) is None
    saver.copy_thread(one, other)
    saver.delete_thread(one)
    assert len(list(saver.list({"configurable": {"thread_id": other}}))) == 2


def test_unrepresentable_ids_raise_value_error():
    saver = QuorvalentSaver()
    with pytest.raises(ValueError, match="thread_id"):
        put(saver, "bad\ud800")
    with pytest.raises(ValueError, match="checkpoint_ns"):
        put(saver, "ok", "bad\udfff")
    assert len(saver.store) == 0


def fill(saver, threads=("t1", "t2"), run=lambda t, i: f"run-{t}-{i % 2}"):
    """Three checkpoints in two namespaces per thread, channels shared between steps,
    writes on every checkpoint. Returns each thread's last config."""
    last = {}
    for t in threads:
        for ns in ("", "sub:1"):
            cfg, versions = None, {}
            for i in range(3):
                c = f"c{i % 2}"
                versions = {**versions, c: saver.get_next_version(versions.get(c), None)}
                new = {k: v for k, v in versions.items() if k == c or i == 0}
                cfg = put(saver, t, ns, cfg, {"c0": [i] * 3, "c1": str(i)},
                          {"source": "loop", "step": i, "run_id": run(t, i)}, versions, new)
                saver.put_writes(cfg, [("c0", i), ("__error__", "boom")], f"task{i}")
            last[t] = cfg
    return last


@pytest.mark.parametrize("delete", [
    lambda s, last: [s.delete_thread(t) for t in ("t1", "t2")],
    lambda s, last: s.prune(["t1", "t2"], strategy="delete"),
    lambda s, last: s.delete_for_runs([f"run-{t}-{i}" for t in ("t1", "t2") for i in (0, 1)]),
    lambda s, last: (s.delete_for_runs(["run-t1-0", "run-t2-1"]), s.delete_for_runs(["run-t1-1", "run-t2-0"])),
    lambda s, last: (s.prune(["t1", "t2"]), s.delete_for_runs(["run-t1-0", "run-t2-0"])),
    lambda s, last: (s.copy_thread("t1", "t3"), s.delete_thread("t3"), s.prune(["t1", "t2"], strategy="delete")),
    # A task that finishes after its thread was deleted.
    lambda s, last: (s.delete_thread("t1"), s.put_writes(last["t1"], [("c0", 9)], "late"), s.prune(["t1", "t2"], strategy="delete")),
], ids=["delete_thread", "prune_delete", "runs_at_once", "runs_in_turn", "keep_latest_then_runs", "copy", "late_writes"])
def test_deleting_leaves_nothing_behind(delete):
    saver = QuorvalentSaver()
    delete(saver, fill(saver))
    assert len(saver.store) == 0


@pytest.mark.parametrize("partial", [lambda s: s.prune(["t1"]), lambda s: s.delete_for_runs(["run-t1-0"])],
                         ids=["keep_latest", "runs"])
def test_partial_deletes_keep_exactly_what_survivors_read(partial):
    pruned, fresh = QuorvalentSaver(), QuorvalentSaver()
    fill(pruned)
    t1 = {"configurable": {"thread_id": "t1"}}
    before = {tup.config["configurable"]["checkpoint_id"]: tup for tup in pruned.list(t1)}
    partial(pruned)
    survivors = list(pruned.list(t1))
    assert len(survivors) == 2 and all(tup == before[tup.config["configurable"]["checkpoint_id"]] for tup in survivors)
    assert len(list(pruned.list({"configurable": {"thread_id": "t2"}}))) == 6
    # The survivors, stored alone, take as many entries as what deleting left.
    for tup in survivors:
        ck = dict(tup.checkpoint)
        conf = {"configurable": {"thread_id": "t1", "checkpoint_ns": tup.config["configurable"]["checkpoint_ns"]}}
        cfg = fresh.put(conf, ck, tup.metadata, ck["channel_versions"])
        for task, channel, value in tup.pending_writes:
            fresh.put_writes(cfg, [(channel, value)], task)
    fill(fresh, threads=("t2",))
    assert len(pruned.store) == len(fresh.store)


def test_copy_thread_replaces_the_target():
    saver = QuorvalentSaver()
    fill(saver, threads=("t1",))
    put(saver, "t3", "only:3")
    saver.copy_thread("t1", "t3")
    ids = [[t.config["configurable"] for t in saver.list({"configurable": {"thread_id": x}})] for x in ("t1", "t3")]
    assert [{**c, "thread_id": "t3"} for c in ids[0]] == ids[1]


def test_pending_writes_come_in_write_order():
    writes = [("b", "t2", [("x", 1), ("y", 2)]), ("a", "t9", [("x", 3), ("__interrupt__", "stop")]),
              ("", "t5", [("z", 4)]), ("a", "t1", [("y", 5), ("x", 6), ("__error__", "e")]),
              ("a", "t1", [("y", 50), ("__error__", "e2")])]  # a retry: regular writes kept, errors replaced
    got = []
    for saver in (QuorvalentSaver(), InMemorySaver()):
        cfg = put(saver, "t")
        for path, task, ws in writes:
            saver.put_writes(cfg, ws, task, path)
        got.append(saver.get_tuple(cfg).pending_writes)
    assert got[0] == got[1]
    assert got[0][:3] == [("t5", "z", 4), ("t1", "__error__", "e2"), ("t1", "y", 5)]


def test_metadata_the_codec_cannot_hold():
    saver = QuorvalentSaver()
    when = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.UTC)
    odd = {"source": "loop", "step": 1, "parents": {}, "at": when, "tags": {"a", "b"}}
    put(saver, "t", metadata=odd)
    put(saver, "t", metadata={"source": "input", "step": 2, "parents": {}, "when": when.date()})
    put(saver, "t", metadata={"source": "loop", "step": 3, "parents": {}, "nested": {"k": [1, None]}})
    cfg = {"configurable": {"thread_id": "t"}}
    (got,) = saver.list(cfg, filter={"at": when})
    assert got.metadata == odd
    assert [t.metadata["step"] for t in saver.list(cfg, filter={"source": "loop"})] == [3, 1]
    assert [t.metadata["when"] for t in saver.list(cfg, filter={"step": 2})] == [when.date()]


def test_values_come_back_with_their_types():
    # Values the codec holds exactly are stored as themselves, the rest through the
    # serializer: either way they come back as from InMemorySaver.
    when = datetime.datetime(2026, 1, 2, tzinfo=datetime.UTC)
    values = {"t": (1, 2), "s": {1, 2}, "nested": [1, (2,), {"k": when}], "edge": -(2**63), "one": ["x"],
              "pair": ["a", b"b"], "ba": bytearray(b"\x00b"), "in": [bytearray()], "big": 2**63, "key": {1: "a"}}
    # And the checkpoint itself, and metadata, with fields the codec cannot hold as they are.
    ck = {**empty_checkpoint(), "updated_channels": ("a",), "extra": {"s": {1}, "when": when}}
    got = []
    for saver in (QuorvalentSaver(), InMemorySaver()):
        cfg = put(saver, "t", values=values)
        saver.put_writes(cfg, [(k, v) for k, v in values.items()], "task")
        tup = saver.get_tuple(cfg)
        got.append((tup.checkpoint["channel_values"], tup.pending_writes))
        cfg = saver.put({"configurable": {"thread_id": "u", "checkpoint_ns": ""}}, ck, {"t": (1,), "ok": [1]}, {})
        tup = saver.get_tuple(cfg)
        got.append((tup.checkpoint, tup.metadata))
    assert repr(got[:2]) == repr(got[2:])  # repr tells a list from a tuple


def test_a_callers_serializer_sees_every_value_and_write():
    from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer

    class Scrambling(JsonPlusSerializer):  # stands in for an encrypting serializer
        def dumps_typed(self, obj):
            t, b = super().dumps_typed(obj)
            return "x" + t, bytes(c ^ 0x5A for c in b)

        def loads_typed(self, data):
            t, b = data
            return super().loads_typed((t[1:], bytes(c ^ 0x5A for c in b)))

    saver = QuorvalentSaver(serde=Scrambling())
    cfg = put(saver, "t", values={"v": "secret value", "n": 7})
    saver.put_writes(cfg, [("w", "secret write")], "task")
    snap = saver.store.snapshot()
    stored = qv.dumps([snap.get(ns, k) for ns, k in snap.keys])
    assert b"secret" not in stored
    tup = saver.get_tuple(cfg)
    assert tup.checkpoint["channel_values"] == {"v": "secret value", "n": 7}
    assert [w[1:] for w in tup.pending_writes] == [("w", "secret write")]


def test_many_threads_at_once():
    saver = QuorvalentSaver()
    graph = build(saver)
    errors = []

    def work(i):
        try:
            for turn in range(5):
                cfg = {"configurable": {"thread_id": f"user-{i}-{turn % 2}"}}
                graph.invoke({"log": [], "tier": "free", "score": 0.5, "answer": ""}, cfg)
                list(saver.list(None, limit=5))
                if turn == 2:
                    saver.delete_thread(f"user-{i}-0")
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i in range(8):
        # Four checkpoints per run: input, triage, faq, and the update of the last one.
        assert len(list(saver.list({"configurable": {"thread_id": f"user-{i}-1"}}))) == 2 * 4
        assert len(list(saver.list({"configurable": {"thread_id": f"user-{i}-0"}}))) == 4
        state = graph.get_state({"configurable": {"thread_id": f"user-{i}-1"}})
        assert state.values["log"] == ["triage", "faq"] * 2


def test_restore_takes_every_thread_back():
    store = qv.Store(max_history=4)
    saver = QuorvalentSaver(store)
    graph = build(saver)
    cfgs = [{"configurable": {"thread_id": t}} for t in ("a", "b")]
    for cfg in cfgs:
        graph.invoke({"log": [], "tier": "free", "score": 0.5, "answer": ""}, cfg)
    before = [plain(list(graph.get_state_history(cfg)), {}) for cfg in cfgs]
    snap = store.snapshot()
    graph.invoke({"log": ["again"]}, cfgs[0])
    saver.delete_thread("b")
    saver.copy_thread("a", "c")
    store.restore(snap)
    assert [plain(list(graph.get_state_history(cfg)), {}) for cfg in cfgs] == before
    assert saver.get_tuple({"configurable": {"thread_id": "c"}}) is None


def test_import_quorvalent_without_langgraph():
    code = """import sys
class Block:
    def find_spec(self, name, *a):
        if name.split('.')[0] in ('langgraph', 'langchain_core'):
            raise ImportError('blocked: ' + name)
sys.meta_path.insert(0, Block())
import quorvalent
quorvalent.Store().set('a', 'b', 1)
try:
    import quorvalent.langgraph
except ImportError as e:
    print('no adapter:', e)"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("no adapter: blocked")


class Tag(str, enum.Enum):  # equal to "x", but its str() is "Tag.X"
    X = "x"


@pytest.mark.parametrize("ids", [(1, True, 1.0), (True, 1.0, 1), (1.0, 1, True), ("x", Tag.X), (Tag.X, "x")])
def test_thread_id_is_its_str_form_whatever_was_cached(ids):
    saver = QuorvalentSaver()
    for i in ids:
        put(saver, i, values={"v": str(i)})
    for i in ids:
        tup = saver.get_tuple({"configurable": {"thread_id": i}})
        assert tup.checkpoint["channel_values"] == {"v": str(i)} and tup.config["configurable"]["thread_id"] is i
    assert {t.config["configurable"]["thread_id"] for t in saver.list(None)} == {str(i) for i in ids}


# -- readers racing writers ---------------------------------------------------------------


class Turns:
    """The saver's store, with the store calls of two threads run in a chosen order: a
    thread given n turns makes n calls and then waits for more. Other threads pass."""

    def __init__(self, store):
        self.store, self.cv = store, threading.Condition()
        self.turns, self.waiting, self.done = {}, set(), set()
        self.calls = 0

    def __getattr__(self, name):
        method = getattr(self.store, name)

        def call(*args, **kwargs):
            me = threading.get_ident()
            with self.cv:
                while self.turns.get(me, 1) == 0:
                    self.waiting.add(me)
                    self.cv.notify_all()
                    self.cv.wait()
                self.waiting.discard(me)
                self.calls += 1
                if me in self.turns:
                    self.turns[me] -= 1
            return method(*args, **kwargs)

        return call

    def run(self, jobs, schedule):
        """Runs jobs[k]() in threads; schedule lists (k, calls) turns, None for all the
        rest. Returns the jobs' results."""
        results, idents, errors = [None] * len(jobs), [None] * len(jobs), []

        def body(k):
            with self.cv:
                idents[k] = threading.get_ident()
                self.turns[idents[k]] = 0
                self.cv.notify_all()
            try:
                results[k] = jobs[k]()
            except BaseException as e:
                errors.append(e)
            finally:
                with self.cv:
                    self.done.add(idents[k])
                    self.cv.notify_all()

        threads = [threading.Thread(target=body, args=(k,)) for k in range(len(jobs))]
        for t in threads:
            t.start()
        for k, calls in schedule:
            with self.cv:
                self.cv.wait_for(lambda: idents[k] is not None)
                me = idents[k]
                self.turns[me] = 1 << 30 if calls is None else calls
                self.cv.notify_all()
                self.cv.wait_for(lambda: me in self.done or (me in self.waiting and self.turns[me] == 0))
        for t in threads:
            t.join()
        if errors:
            raise errors[0]
        return results


def two_threads(saver):
    """Threads "src" and "t" of two namespaces each, with values, writes and metadata of
    their own. "t" is a copy of "src" that went its own way, so the two share checkpoint
    ids; then "src" kept only its newest checkpoints, and a late task wrote to one of
    those it dropped, whose values the newest still read. Returns that one's id."""
    fill(saver, threads=("src",), run=lambda t, i: f"run-{i}")
    tops = {}
    for ns in ("", "sub:1"):
        top = tops[ns] = saver.get_tuple({"configurable": {"thread_id": "src", "checkpoint_ns": ns}})
        ck = top.checkpoint
        put(saver, "src", ns, top.config, ck["channel_values"], {"source": "loop", "step": 3}, ck["channel_versions"], {})
    saver.copy_thread("src", "t")
    for ns in ("", "sub:1"):
        last = saver.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": ns}}).config
        cfg = put(saver, "t", ns, last, {"c0": ["own"], "c1": "t"}, {"source": "loop", "step": 4, "run_id": "run-t"})
        saver.put_writes(cfg, [("c1", "w")], "task-t")
        saver.put_writes(last, [("c0", "late")], "task-late")
    saver.prune(["src"])
    saver.put_writes(tops[""].config, [("c0", "late")], "task-late")
    return tops[""].config["configurable"]["checkpoint_id"]


T = {"configurable": {"thread_id": "t"}}
READERS = {
    "get_tuple latest": lambda s: [s.get_tuple(T)],
    "get_tuple by id": lambda s: [s.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": "", "checkpoint_id": s.dropped}})],
    "list": lambda s: list(s.list(T)),
    "list filter": lambda s: list(s.list(T, filter={"source": "loop"})),
}
WRITERS = {
    "copy_thread onto it": lambda s: s.copy_thread("other", "t"),
    "copy_thread again": lambda s: s.copy_thread("src", "t"),
    "prune": lambda s: s.prune(["t"]),
    "delete_for_runs": lambda s: s.delete_for_runs(["run-0", "run-t"]),
    "delete_thread": lambda s: s.delete_thread("t"),
}


def calls(saver, job):
    """How many store calls job(saver) makes."""
    saver.store = turns = Turns(saver.store)
    job(saver)
    saver.store = turns.store
    return turns.calls


@pytest.mark.slow
@pytest.mark.parametrize("writer", list(WRITERS))
@pytest.mark.parametrize("reader", list(READERS))
def test_readers_see_each_checkpoint_whole(reader, writer):
    # The reader makes some of its store calls, the writer some of its, then the reader
    # the rest, then the writer: at every pair of switch points, each checkpoint read
    # must be one the thread held before the writer ran or holds after it, whole.
    read, write = READERS[reader], WRITERS[writer]

    base = QuorvalentSaver()
    dropped = two_threads(base)
    put(base, "other", "", None, {"c0": ["other"]})
    snap = base.store.snapshot()

    def fresh():
        # Restored from one snapshot, every run walks keys in the same order.
        store = qv.Store()
        store.restore(snap)
        saver = QuorvalentSaver(store)
        saver.dropped = dropped
        return saver

    n_read, n_write = calls(fresh(), read), calls(fresh(), write)
    # Readers of one checkpoint also stop a second time, so that their last check can
    # fall after the writer removed a record and then wrote one back.
    again = [*range(n_read + 1), None] if reader.startswith("get_tuple") else [None]
    torn = []
    for i, j, k in itertools.product(range(n_read + 1), range(n_write + 1), again):
        saver = fresh()
        before = {t.config["configurable"]["checkpoint_id"]: t for t in read(saver) if t}
        saver.store = turns = Turns(saver.store)
        got, _ = turns.run([lambda: read(saver), lambda: write(saver)],
                           [(0, i), (1, j), (0, k), (1, None), (0, None)])
        saver.store = turns.store
        after = {t.config["configurable"]["checkpoint_id"]: t for t in read(saver) if t}
        for tup in got:
            if tup is not None:
                cid = tup.config["configurable"]["checkpoint_id"]
                if tup not in (before.get(cid), after.get(cid)):
                    torn.append((i, j, k, tup))
    assert not torn


# -- delta channels -----------------------------------------------------------------------


def test_delta_channel_graph_runs_as_on_in_memory_saver():
    from langgraph.channels.delta import DeltaChannel

    class Chat(TypedDict):
        log: Annotated[list[str], DeltaChannel(lambda log, writes: log + [x for w in writes for x in w], snapshot_frequency=3)]
        n: int

    def run(saver):
        g = StateGraph(Chat)
        g.add_node("a", lambda s: {"log": [f"a{s['n']}"], "n": s["n"] + 1})
        g.add_node("b", lambda s: {"log": [f"b{s['n']}", "x"]})
        g.add_edge(START, "a")
        g.add_edge("a", "b")
        g.add_edge("b", END)
        graph = g.compile(checkpointer=saver)
        cfg = {"configurable": {"thread_id": "t"}}
        seen = [graph.invoke({"log": [f"in{i}"], "n": i}, cfg) for i in range(4)]
        history = list(graph.get_state_history(cfg))
        fork = graph.update_state(history[5].config, {"log": ["edit"]})
        seen.append(graph.invoke(None, fork))
        history = list(graph.get_state_history(cfg))
        seen.append(history)
        for state in history:
            for channels in (["log"], ["log", "n", "none"]):
                seen.append(saver.get_delta_channel_history(config=state.config, channels=channels))
                seen.append(asyncio.run(saver.aget_delta_channel_history(config=state.config, channels=channels)))
        return plain(seen, {})

    ours = run(QuorvalentSaver())
    assert ours == run(InMemorySaver())
    # Snapshots every third update: walks that stop at one and walks to the root.
    logs = [h["log"] for h in ours[6:]]
    assert any("seed" in h and h["writes"] for h in logs) and any("seed" not in h and h["writes"] for h in logs)
    assert ours[4]["log"][-3:] == ["edit", "b3", "x"] and ours[3]["log"].count("x") == 4


def test_delta_channel_history_edge_cases():
    # One chain, stored alike on both savers: a value emptied on the way, a version never
    # stored, writes put out of order, a seed at the target itself (not used: its own
    # writes are pending), then the history of every checkpoint, of the latest and of
    # one that does not exist.
    steps = [  # id, channel values, versions, new versions, writes as (task path, task, [(channel, value)])
        ("01", {"a": [1], "b": "x"}, {"a": "1", "b": "1"}, {"a": "1", "b": "1"}, [("", "t1", [("a", 2), ("b", "y")])]),
        ("02", {"b": "y"}, {"a": "2", "b": "2"}, {"a": "2", "b": "2"}, [("z", "t3", [("a", 4)]), ("a", "t2", [("a", 3), ("__error__", "e")])]),
        ("03", {}, {"a": "2", "b": "2", "c": "9"}, {}, []),
        ("04", {"a": (5,)}, {"a": "3", "b": "2"}, {"a": "3"}, [("", "t4", [("b", b"z"), ("a", {6})])]),
    ]
    got = []
    for saver in (QuorvalentSaver(), InMemorySaver()):
        parent = None
        for cid, values, versions, new, writes in steps:
            ck = {**empty_checkpoint(), "id": cid, "channel_values": values, "channel_versions": versions}
            conf = {"thread_id": "t", "checkpoint_ns": ""}
            if parent:
                conf["checkpoint_id"] = parent
            cfg = saver.put({"configurable": conf}, ck, {"source": "loop", "step": 0, "parents": {}}, new)
            for path, task, ws in writes:
                saver.put_writes(cfg, ws, task, path)
            parent = cid
        for cid in ("01", "02", "03", "04", None, "05"):
            cfg = {"configurable": {"thread_id": "t", "checkpoint_ns": "", "checkpoint_id": cid}}
            got.append(saver.get_delta_channel_history(config=cfg, channels=["a", "b", "c"]))
        got.append(saver.get_delta_channel_history(config={"configurable": {"thread_id": "nobody"}}, channels=["a"]))
        got.append(saver.get_delta_channel_history(config=cfg, channels=[]))
    ours, theirs = got[: len(got) // 2], got[len(got) // 2 :]
    assert repr(ours) == repr(theirs)  # repr tells a list from a tuple
    # From 04's parent: an emptied value at 02 walks on to 01, whose writes count too.
    assert ours[3]["a"] == {"writes": [("t1", "a", 2), ("t2", "a", 3), ("t3", "a", 4)], "seed": [1]}
    # Parents that loop (only explicit configs make them) end in an error, not a hang.
    saver = QuorvalentSaver()
    for cid, parent in (("a", "b"), ("b", "a")):
        ck = {**empty_checkpoint(), "id": cid}
        saver.put({"configurable": {"thread_id": "loop", "checkpoint_ns": "", "checkpoint_id": parent}}, ck, {}, {})
    with pytest.raises(ValueError, match="'loop'"):
        saver.get_delta_channel_history(config={"configurable": {"thread_id": "loop"}}, channels=["a"])
