"""The durable QuorvalentSaver on PostgreSQL (a real server, see the `pg` fixture):
LangGraph's conformance suite, two processes taking turns on one thread while a third
reads, compared with one process on InMemorySaver, and a server killed at random points
of a running graph and started again under it."""

import asyncio
import json
import os
import random
import select
import subprocess
import sys
import time

import pytest

pytest.importorskip("psycopg")
pytest.importorskip("langgraph.checkpoint.conformance")

from langgraph.checkpoint.conformance import checkpointer_test, validate  # noqa: E402

from quorvalent.langgraph import QuorvalentSaver  # noqa: E402


def test_conformance_suite_passes_on_postgres(pg):
    @checkpointer_test(name="QuorvalentSaver on PostgreSQL")
    async def saver():
        async with QuorvalentSaver.from_conn_string(pg.url()) as s:
            yield s

    report = asyncio.run(validate(saver))
    failures = {cap: r.failures for cap, r in report.results.items() if r.passed is not True}
    assert not failures
    assert all(r.detected for r in report.results.values()) and len(report.results) == 8


# A turn of the shared thread: an input runs "agent", then "x" and "y" at once (two
# tasks, two sets of pending writes), and stops before "join"; the next turn resumes it.
GRAPH = """
import operator, sys
from typing import Annotated, TypedDict
from langgraph.graph import END, START, StateGraph

class State(TypedDict):
    log: Annotated[list[str], operator.add]
    turns: int

def build(saver):
    g = StateGraph(State)
    g.add_node("agent", lambda s: {"log": [f"agent{len(s['log'])}"], "turns": s.get("turns", 0) + 1})
    g.add_node("x", lambda s: {"log": ["x"]})
    g.add_node("y", lambda s: {"log": ["y"]})
    g.add_node("join", lambda s: {"log": [f"join{s['turns']}"]})
    g.add_edge(START, "agent")
    g.add_edge("agent", "x")
    g.add_edge("agent", "y")
    g.add_edge(["x", "y"], "join")
    g.add_edge("join", END)
    return g.compile(checkpointer=saver, interrupt_before=["join"])

CONFIG = {"configurable": {"thread_id": "shared"}}

def turn(graph, line):
    graph.get_state(CONFIG)  # what a worker looks at before it acts
    # Each save before the step goes on, so both runs call the saver in the same order.
    graph.invoke({"log": [line]} if line != "resume" else None, CONFIG, durability="sync")
"""

TURNS = GRAPH + """
from quorvalent.langgraph import QuorvalentSaver
with QuorvalentSaver.from_conn_string(sys.argv[1]) as saver:
    graph = build(saver)
    for line in sys.stdin:
        turn(graph, line.strip())
        print("ok", flush=True)
"""

# Reads the thread over and over until told to stop; prints every distinct state it saw.
READER = GRAPH + """
import json, select
from quorvalent.langgraph import QuorvalentSaver
seen = {}
with QuorvalentSaver.from_conn_string(sys.argv[1]) as saver:
    graph = build(saver)
    print("ready", flush=True)
    while not select.select([sys.stdin], [], [], 0)[0]:
        s = graph.get_state(CONFIG)
        seen[json.dumps([s.values, list(s.next), (s.metadata or {}).get("step")], sort_keys=True)] = None
print(json.dumps(list(seen)), flush=True)
"""


def _normal(history):
    """A thread's history with checkpoint ids as their positions, and without what differs
    between runs (times, run ids, task ids)."""
    ids = {s.config["configurable"]["checkpoint_id"]: i for i, s in enumerate(history)}
    out = []
    for s in history:
        parent = s.parent_config["configurable"]["checkpoint_id"] if s.parent_config else None
        md = {k: v for k, v in s.metadata.items() if k not in ("run_id", "thread_id")}
        tasks = sorted((t.name, str(t.path), repr(t.result)) for t in s.tasks)
        out.append((s.values, s.next, md, ids.get(parent), tasks))
    return out


@pytest.mark.slow
@pytest.mark.thread_unsafe(reason="three processes on one thread of one schema")
def test_two_processes_take_turns_while_a_third_reads(pg):
    url = pg.url()
    lines = ["a0", "resume", "a1", "resume", "b2", "resume", "a3", "resume", "b4", "resume"]

    def spawn(code):
        return subprocess.Popen([sys.executable, "-c", code, url], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                text=True)

    reader = spawn(READER)
    workers = [spawn(TURNS), spawn(TURNS)]
    try:
        assert reader.stdout.readline().strip() == "ready"
        for i, line in enumerate(lines):
            w = workers[i % 2]
            w.stdin.write(line + "\n")
            w.stdin.flush()
            assert w.stdout.readline().strip() == "ok"
        reader.stdin.write("stop\n")
        reader.stdin.flush()
        observed = json.loads(reader.stdout.readline())
    finally:
        for p in [*workers, reader]:
            p.stdin.close()
            p.wait()
            p.stdout.close()

    import itertools

    from langgraph.checkpoint.memory import InMemorySaver

    ns = {}
    exec(GRAPH, ns)
    reference = ns["build"](InMemorySaver())
    for line in lines:
        ns["turn"](reference, line)
    # What a reader may see: a checkpoint of the history with the writes of any of its
    # tasks saved so far (x and y finish in either order), applied as LangGraph applies
    # them, and the other tasks still to run.
    states = {json.dumps([{}, [], None])}
    for c in reference.get_state_history(ns["CONFIG"]):
        for k in range(len(c.tasks) + 1):
            for done in itertools.combinations(c.tasks, k):
                values = {"log": list(c.values.get("log", [])), **({"turns": c.values["turns"]} if "turns" in c.values else {})}
                for t in sorted(done, key=lambda t: t.path):
                    values["log"] += t.result.get("log", [])
                    values.update({"turns": t.result["turns"]} if "turns" in t.result else {})
                rest = [t.name for t in c.tasks if t not in done]
                states.add(json.dumps([values, rest, c.metadata["step"]], sort_keys=True))
    with QuorvalentSaver.from_conn_string(url) as saver:
        durable = ns["build"](saver)
        assert _normal(list(durable.get_state_history(ns["CONFIG"]))) == _normal(
            list(reference.get_state_history(ns["CONFIG"]))
        )
        assert durable.get_state(ns["CONFIG"]).values == reference.get_state(ns["CONFIG"]).values
    # Every state the reader saw is one the thread really was in (none torn), and it saw
    # the thread move.
    assert set(observed) <= states
    assert len(observed) > 2


# A graph of STEPS nodes in a row; the child prints every checkpoint whose put returned.
# When the graph fails (the server went away) it says so, waits, and resumes it in the
# same process, with the same saver.
RUN = """
import json, operator, sys
from typing import Annotated, TypedDict
from langgraph.graph import START, StateGraph
from quorvalent.langgraph import QuorvalentSaver

STEPS = 40

class State(TypedDict):
    log: Annotated[list[str], operator.add]

def node(i):
    return lambda s: {"log": [f"n{i}"]}

def build(saver):
    g = StateGraph(State)
    for i in range(STEPS):
        g.add_node(f"n{i}", node(i))
        g.add_edge(START if i == 0 else f"n{i - 1}", f"n{i}")
    return g.compile(checkpointer=saver)

if __name__ == "__main__":
    with QuorvalentSaver.from_conn_string(sys.argv[1], timeout=5) as saver:
        put = saver.put
        def reporting_put(config, checkpoint, metadata, versions):
            out = put(config, checkpoint, metadata, versions)
            print(json.dumps([checkpoint["id"], len(checkpoint["channel_values"].get("log", []))]), flush=True)
            return out
        saver.put = reporting_put
        graph = build(saver)
        config = {"configurable": {"thread_id": "t"}}
        arg = {"log": []}
        while True:
            try:
                graph.invoke(arg, config)
                break
            except Exception as e:
                print("error " + json.dumps(f"{type(e).__name__}: {e}"), flush=True)
                sys.stdin.readline()  # the server is back
                arg = None if graph.get_state(config).next or graph.get_state(config).values else {"log": []}
    print("done", flush=True)
"""


@pytest.mark.slow
@pytest.mark.thread_unsafe(reason="stops and starts the tests' own server")
@pytest.mark.parametrize("seed", range(8))
def test_a_server_killed_anywhere_keeps_every_returned_checkpoint_and_the_graph_resumes(pg, seed, tmp_path):
    server = pg.server or pytest.skip("needs the tests' own server")
    schema = pg.schema()
    url = pg.tcp_url(schema)  # a password in the URL: it must not show in the errors
    rng = random.Random(seed)
    stderr = open(tmp_path / "stderr", "w+")
    proc = subprocess.Popen([sys.executable, "-c", RUN, url], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=stderr, text=True)
    returned, errors, done = [], [], []

    def read():
        line = proc.stdout.readline()
        if line.startswith("["):
            returned.append(json.loads(line))
        elif line.startswith("error "):
            errors.append(json.loads(line[6:]))
        elif line.strip() == "done":
            done.append(True)
        return line

    try:
        for _ in range(rng.randint(1, 30)):
            read()
        time.sleep(rng.random() * 0.005)
        server.stop("immediate")
        try:
            # Until the child has seen the failure (or finished before it could).
            while not errors and not done and read():
                pass
        finally:
            server.start()
        answered = 0
        while not done:
            if answered < len(errors):  # the child waits: the server is back
                proc.stdin.write("go\n")
                proc.stdin.flush()
                answered += 1
            if not read():
                break
        stderr.seek(0)
        assert done, (proc.wait(), errors, stderr.read())
    finally:
        proc.stdin.close()
        proc.wait()
        proc.stdout.close()
        stderr.close()
    for e in errors:
        assert "PersistError" in e and ("lost" in e or "cannot connect" in e), e
        assert pg.password not in e
    ns = {}
    exec(RUN, ns)
    with QuorvalentSaver.from_conn_string(pg.url(schema)) as saver:
        for cid, length in returned:
            tup = saver.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": "", "checkpoint_id": cid}})
            assert tup is not None, cid
            assert len(tup.checkpoint["channel_values"].get("log", [])) == length
        state = ns["build"](saver).get_state({"configurable": {"thread_id": "t"}})
    assert state.values["log"] == [f"n{i}" for i in range(ns["STEPS"])] and not state.next
