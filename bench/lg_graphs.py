"""Whole LangGraph graphs for the checkpointer benches (bench_langgraph.py and
instructions.py): what a user's run costs end to end, the saver included. Imports
LangGraph, so only import this module where LangGraph is installed.

The graph: five nodes in a ring, each adding one message and counting the step, for
STEPS steps; a conditional edge leaves the ring once the count is reached. Two states:
messages as plain dicts, and as LangChain message objects under `add_messages`.
"""

from __future__ import annotations

import itertools
import operator
from typing import Annotated, Any, TypedDict

from langchain_core.messages import AIMessage, AnyMessage, HumanMessage
from langgraph.channels.delta import DeltaChannel
from langgraph.graph import END, START, StateGraph
from langgraph.graph.message import add_messages

STEPS = 200
NODES = "abcde"
LIMIT = {"recursion_limit": 10 * STEPS}


class DictState(TypedDict):
    messages: Annotated[list[dict[str, Any]], operator.add]
    step: int


class MessageState(TypedDict):
    messages: Annotated[list[AnyMessage], add_messages]
    step: int


def _append(log: list[Any], writes: list[list[Any]]) -> list[Any]:
    return log + [x for w in writes for x in w]


class DeltaState(TypedDict):
    messages: Annotated[list[dict[str, Any]], DeltaChannel(_append)]
    step: int


STATES = {"dict": DictState, "messages": MessageState, "delta": DeltaState}


def _node(name: str, kind: str):
    text = f"node {name} says " + "m" * 60
    if kind == "messages":
        return lambda s: {"messages": [AIMessage(content=f"{text} {s['step']}")], "step": s["step"] + 1}
    return lambda s: {"messages": [{"role": "ai", "name": name, "content": f"{text} {s['step']}"}],
                      "step": s["step"] + 1}


def build(saver: Any, kind: str, steps: int = STEPS) -> Any:
    g = StateGraph(STATES[kind])
    for name in NODES:
        g.add_node(name, _node(name, kind))
    g.add_edge(START, NODES[0])
    for a, b in itertools.pairwise(NODES):
        g.add_edge(a, b)
    g.add_conditional_edges(NODES[-1], lambda s: NODES[0] if s["step"] < steps else END, [NODES[0], END])
    return g.compile(checkpointer=saver)


def first_input(kind: str) -> dict[str, Any]:
    if kind == "messages":
        return {"messages": [HumanMessage(content="hello")], "step": 0}
    return {"messages": [{"role": "user", "content": "hello"}], "step": 0}


class Run:
    """One saver's graph and threads: `invoke` runs a fresh thread start to end,
    `history` lists a finished thread's states, `fork` runs on from the middle of
    another finished thread (each fork adds a branch to that thread)."""

    def __init__(self, saver: Any, kind: str, steps: int = STEPS, *, fork: bool = True) -> None:
        self.saver, self.kind = saver, kind
        self.graph = build(saver, kind, steps)
        self.ids = itertools.count()
        self.done = self.invoke()
        if fork:
            states = list(self.graph.get_state_history(self.invoke()))
            self.middle = next(s.config for s in states if s.values.get("step") == steps // 2 and s.next)

    def invoke(self) -> dict[str, Any]:
        cfg = {"configurable": {"thread_id": f"{self.kind}-{next(self.ids)}"}, **LIMIT}
        self.graph.invoke(first_input(self.kind), cfg)
        return cfg

    def history(self) -> None:
        list(self.graph.get_state_history(self.done))

    def fork(self) -> None:
        self.graph.invoke(None, {**self.middle, **LIMIT})
