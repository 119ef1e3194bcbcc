"""The durable QuorvalentSaver on a SQLite file: LangGraph's conformance suite, a graph
killed at random points and resumed, two processes taking turns on one thread, and a
large database opened for one thread."""

import asyncio
import json
import os
import random
import signal
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("langgraph.checkpoint.conformance")

from langgraph.checkpoint.conformance import checkpointer_test, validate  # noqa: E402

from quorvalent import persist  # noqa: E402
from quorvalent.langgraph import QuorvalentSaver  # noqa: E402


def test_conformance_suite_passes_on_a_file(tmp_path):
    n = iter(range(1000))

    @checkpointer_test(name="QuorvalentSaver on SQLite")
    async def saver():
        async with QuorvalentSaver.from_conn_string(f"sqlite:///{tmp_path / f'c{next(n)}.db'}") as s:
            yield s

    report = asyncio.run(validate(saver))
    failures = {cap: r.failures for cap, r in report.results.items() if r.passed is not True}
    assert not failures
    assert all(r.detected for r in report.results.values()) and len(report.results) == 8


# A graph of STEPS nodes in a row, each appending its name; a child process runs it on a
# durable saver and prints the id of every checkpoint whose put has returned.
GRAPH = """
import json, operator, sys
from typing import Annotated, TypedDict
from langgraph.graph import START, StateGraph
from quorvalent.langgraph import QuorvalentSaver

STEPS = 12

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
"""

RUN = GRAPH + """
with QuorvalentSaver.from_conn_string(sys.argv[1], synchronous="normal") as saver:
    put = saver.put
    def reporting_put(config, checkpoint, metadata, versions):
        out = put(config, checkpoint, metadata, versions)
        print(json.dumps([checkpoint["id"], len(checkpoint["channel_values"].get("log", []))]), flush=True)
        return out
    saver.put = reporting_put
    graph = build(saver)
    config = {"configurable": {"thread_id": "t"}}
    graph.invoke({"log": []} if sys.argv[2] == "start" else None, config)
    print("done", flush=True)
"""


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(20))
def test_a_graph_killed_anywhere_keeps_every_returned_checkpoint_and_resumes(tmp_path, seed):
    url = f"sqlite:///{tmp_path / 'agents.db'}"
    proc = subprocess.Popen([sys.executable, "-c", RUN, url, "start"], stdout=subprocess.PIPE, text=True)
    returned = []
    for _ in range(random.Random(seed).randint(1, 13)):
        line = proc.stdout.readline()
        if not line.startswith("["):
            break
        returned.append(json.loads(line))
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    proc.stdout.close()

    ns = {}
    exec(GRAPH, ns)
    with QuorvalentSaver.from_conn_string(url) as saver:
        for cid, length in returned:
            tup = saver.get_tuple({"configurable": {"thread_id": "t", "checkpoint_ns": "", "checkpoint_id": cid}})
            assert tup is not None
            assert len(tup.checkpoint["channel_values"].get("log", [])) == length
        config = {"configurable": {"thread_id": "t"}}
        started = saver.get_tuple(config) is not None  # else killed before the first put
        state = ns["build"](saver).invoke(None if started else {"log": []}, config)
    assert state["log"] == [f"n{i}" for i in range(ns["STEPS"])]


TURNS = """
import operator, sys
from typing import Annotated, TypedDict
from langgraph.graph import START, StateGraph
from quorvalent.langgraph import QuorvalentSaver

class State(TypedDict):
    log: Annotated[list[str], operator.add]

g = StateGraph(State)
g.add_node("say", lambda s: {})
g.add_edge(START, "say")
with QuorvalentSaver.from_conn_string(sys.argv[1]) as saver:
    graph = g.compile(checkpointer=saver)
    config = {"configurable": {"thread_id": "shared"}}
    for line in sys.stdin:
        seen = graph.get_state(config).values.get("log", [])
        graph.invoke({"log": [line.strip()]}, config)
        print(len(seen), flush=True)
"""


@pytest.mark.slow
def test_two_processes_take_turns_on_one_thread(tmp_path):
    url = f"sqlite:///{tmp_path / 'agents.db'}"
    procs = [
        subprocess.Popen([sys.executable, "-c", TURNS, url], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(2)
    ]
    try:
        for turn in range(10):
            p = procs[turn % 2]
            p.stdin.write(f"{'ab'[turn % 2]}{turn}\n")
            p.stdin.flush()
            assert int(p.stdout.readline()) == turn  # it saw every earlier turn
    finally:
        for p in procs:
            p.stdin.close()
            p.wait()
            p.stdout.close()
    with QuorvalentSaver.from_conn_string(url) as saver:
        history = list(saver.list({"configurable": {"thread_id": "shared"}}))
        assert history[0].checkpoint["channel_values"]["log"] == [f"{'ab'[t % 2]}{t}" for t in range(10)]


OPEN_ONE = """
import resource, sys
from quorvalent.langgraph import QuorvalentSaver
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
with QuorvalentSaver.from_conn_string(sys.argv[1]) as saver:
    tup = saver.get_tuple({"configurable": {"thread_id": "t5000"}})
    grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(tup.checkpoint["channel_values"]["payload"][:6], len(saver.store), grew)
"""


@pytest.mark.slow
def test_a_large_database_opens_for_one_thread_without_loading_the_others(tmp_path):
    path = tmp_path / "big.db"
    with persist.open(f"sqlite:///{path}", synchronous="off") as db:
        # Written in memory through the in-memory saver, committed once.
        saver = QuorvalentSaver(db.store)
        for t in range(10_000):
            config = {"configurable": {"thread_id": f"t{t}", "checkpoint_ns": ""}}
            ck = {
                "v": 4,
                "id": f"00000000-0000-6000-8000-{t:012x}",
                "ts": "2026-12-07T00:00:00+00:00",
                "channel_values": {"payload": f"t{t:05d}" + "x" * 2000},
                "channel_versions": {"payload": "1"},
                "versions_seen": {},
                "updated_channels": None,
            }
            saver.put(config, ck, {"step": 1}, {"payload": "1"})
        per_thread = len(db.store) // 10_000
    assert path.stat().st_size > 20_000_000
    out = subprocess.run([sys.executable, "-c", OPEN_ONE, f"sqlite:///{path}"], capture_output=True, text=True, check=True)
    head, entries, grew_kib = out.stdout.split()
    assert head == "t05000" and int(entries) == per_thread
    assert int(grew_kib) < 8_000  # far below the 20 MB the file holds
