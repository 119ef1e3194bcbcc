"""The handoff workflow of demo.py as a LangGraph graph: QuorvalentSaver keeps every
conversation thread in one Store, a HandoffGraph picks the next agent, a human approves
refunds through an interrupt, and one store snapshot rolls every thread back at once."""

import operator
from collections.abc import Callable
from typing import Annotated, Any, TypedDict

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import BaseCheckpointSaver
from langgraph.graph import END, START, StateGraph
from langgraph.graph.state import CompiledStateGraph
from langgraph.types import Command, interrupt

import quorvalent as qv
from quorvalent.langgraph import QuorvalentSaver, router


class Thread(TypedDict, total=False):  # an input may update a few keys only
    messages: Annotated[list[str], operator.add]
    tier: str
    score: float


Update = dict[str, list[str]]


def agent(name: str, reply: str) -> Callable[..., Update]:
    return lambda state: {"messages": [f"{name}: {reply}"]}


def billing(state: Thread) -> Update:
    decision = interrupt(f"refund for a {state['tier']} customer?")
    return {"messages": [f"billing: refund {decision}"]}


def build(saver: BaseCheckpointSaver[Any]) -> CompiledStateGraph[Thread]:
    routes = qv.HandoffGraph()
    routes.add_edge("triage", "billing", "tier == 'pro' and score >= 0.5")
    routes.add_edge("triage", "faq")
    routes.add_edge("faq", "escalate", "score < 0.2")  # no match: the run ends

    g = StateGraph(Thread)
    g.add_node("triage", agent("triage", "looking at your request"))
    g.add_node("billing", billing)
    g.add_node("faq", agent("faq", "see our refund policy"))
    g.add_node("escalate", agent("escalate", "a human will call you"))
    g.add_edge(START, "triage")
    g.add_conditional_edges("triage", router(routes, "triage"), ["billing", "faq"])
    g.add_conditional_edges("faq", router(routes, "faq"), ["escalate", END])
    g.add_edge("billing", END)
    g.add_edge("escalate", END)
    return g.compile(checkpointer=saver)


def main() -> None:
    store = qv.Store(max_history=10)
    saver = QuorvalentSaver(store)
    graph = build(saver)
    threads: dict[str, Thread] = {
        "t1": {"messages": ["user: refund order 42"], "tier": "pro", "score": 0.9},
        "t2": {"messages": ["user: where is my parcel"], "tier": "free", "score": 0.1},
    }
    for tid, start in threads.items():
        out = graph.invoke(start, {"configurable": {"thread_id": tid}})
        print(f"{tid}:", out["messages"])

    t1: RunnableConfig = {"configurable": {"thread_id": "t1"}}
    state = graph.get_state(t1)
    print("t1 waits at", state.next, "asking", state.tasks[0].interrupts[0].value)
    out = graph.invoke(Command(resume="approved"), t1)
    print("t1 resumed:", out["messages"][-1])

    before = store.snapshot()
    graph.invoke({"messages": ["user: also refund order 43"], "score": 0.0}, t1)
    saver.delete_thread("t2")
    gone = saver.get_tuple({"configurable": {"thread_id": "t2"}}) is None
    print("after a bad turn and a deletion:", store, "t2 gone:", gone)
    store.restore(before)
    print("rolled back:", store)
    for tid in threads:
        cfg: RunnableConfig = {"configurable": {"thread_id": tid}}
        n = len(list(graph.get_state_history(cfg)))
        print(f"  {tid}: {n} checkpoints, last: {graph.get_state(cfg).values['messages'][-1]}")

    saver.copy_thread("t1", "t1-copy")
    copy = graph.get_state({"configurable": {"thread_id": "t1-copy"}})
    print("copied t1:", copy.values["messages"][-1])
    for tid in (*threads, "t1-copy"):
        saver.delete_thread(tid)
    print("all threads deleted:", store)


if __name__ == "__main__":
    main()
