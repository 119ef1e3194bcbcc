"""HandoffGraph against what a user would write without it.

route: five guarded edges, the fourth matching, over a 50-key state, against the same
decision written by hand in Python and against `eval` of the five guard expressions
(compiled once) over a namespace that gives attribute access into the dicts.
Building: a 10,000-node chain with the cycle policy "error", and is_dag on it, against a
networkx DiGraph chain and nx.is_directed_acyclic_graph.
"""

from __future__ import annotations

from harness import Case, Settings, run_table

NEEDS = "HandoffGraph"

GUARDS = [
    ("enterprise", "user.tier == 'enterprise' and not flags.blocked or score >= 0.99"),
    ("beta", "user.tier == 'pro' and flags.beta or score >= 0.9"),
    ("admin", "'admin' in user.roles and not flags.blocked or retries > 5"),
    ("pro", "user.tier == 'pro' and not flags.blocked or score >= 0.5"),
    ("fallback", "user.region == 'eu' or score >= 0.1"),
]


def make_state() -> dict:
    state = {
        "user": {"tier": "pro", "roles": ["dev", "ops"], "region": "us", "name": "ada"},
        "flags": {"blocked": False, "beta": False},
        "score": 0.3,
        "retries": 2,
    }
    for i in range(46):
        state[f"field_{i:02d}"] = [i, f"value {i}", {"nested": i * 0.5}] if i % 3 else f"v{i}"
    assert len(state) == 50
    return state


def hand_route(state):
    user, flags, score = state["user"], state["flags"], state["score"]
    if user["tier"] == "enterprise" and not flags["blocked"] or score >= 0.99:
        return "enterprise"
    if user["tier"] == "pro" and flags["beta"] or score >= 0.9:
        return "beta"
    if "admin" in user["roles"] and not flags["blocked"] or state["retries"] > 5:
        return "admin"
    if user["tier"] == "pro" and not flags["blocked"] or score >= 0.5:
        return "pro"
    if user["region"] == "eu" or score >= 0.1:
        return "fallback"
    return None


class Namespace:
    """Attribute access into nested dicts, the way an eval-based router reads state."""

    __slots__ = ("_d",)

    def __init__(self, d):
        self._d = d

    def _wrap(self, v):
        return Namespace(v) if type(v) is dict else v

    def __getattr__(self, name):
        return self._wrap(self._d[name])

    def __getitem__(self, name):  # as the locals mapping of eval
        return self._wrap(self._d[name])


def eval_router():
    codes = [(to, compile(g.replace("true", "True"), "<guard>", "eval")) for to, g in GUARDS]
    no_builtins = {"__builtins__": {}}

    def route(state):
        ns = Namespace(state)
        for to, code in codes:
            if eval(code, no_builtins, ns):
                return to
        return None

    return route


def ratio_line(label: str, ours: float, theirs: float, peer: str, target: str) -> None:
    print(f"  {label}: quorvalent {ours * 1e9:,.0f} ns, {peer} {theirs * 1e9:,.0f} ns,"
          f" quorvalent/{peer} = {ours / theirs:.2f}x ({target})", flush=True)


def routing(settings: Settings) -> None:
    import quorvalent

    g = quorvalent.HandoffGraph()
    for to, guard in GUARDS:
        g.add_edge("triage", to, guard)
    state = make_state()
    by_eval = eval_router()
    assert g.route("triage", state) == hand_route(state) == by_eval(state) == "pro"

    cases = [Case("route, 5 guards, 4th matches", {
        "quorvalent": lambda: g.route("triage", state),
        "hand-written": lambda: hand_route(state),
        "eval": lambda: by_eval(state),
    }, "quorvalent", note="50-key state")]
    res = run_table("graph: route", cases, settings, ["quorvalent", "hand-written", "eval"])
    r = res[0]
    q = r.best["quorvalent"]
    ratio_line("route", q, r.best["hand-written"], "hand-written", "target <= 1.5x")
    ratio_line("route", q, r.best["eval"], "eval", "target <= 0.33x")


def building(settings: Settings) -> None:
    import quorvalent

    n = 10_000
    names = [f"node-{i}" for i in range(n)]

    def build_ours():
        g = quorvalent.HandoffGraph("error")
        add = g.add_edge
        for i in range(n - 1):
            add(names[i], names[i + 1])
        return g

    ours = build_ours()
    peers_build = {"quorvalent": build_ours}
    peers_dag = {"quorvalent": ours.is_dag}
    columns = ["quorvalent"]
    try:
        import networkx as nx
    except ImportError:
        print("\n== graph: networkx not installed, building measured alone")
        nx = None
    if nx is not None:
        def build_nx():
            d = nx.DiGraph()
            add = d.add_edge
            for i in range(n - 1):
                add(names[i], names[i + 1])
            return d

        theirs = build_nx()
        peers_build["networkx"] = build_nx
        peers_dag["networkx"] = lambda: nx.is_directed_acyclic_graph(theirs)
        columns.append("networkx")
        assert ours.is_dag() and nx.is_directed_acyclic_graph(theirs)

    cases = [
        Case(f"add_edge chain of {n:,}", peers_build, "quorvalent", note='on_cycle="error"'),
        Case(f"is_dag on the chain", peers_dag, "quorvalent"),
    ]
    res = run_table("graph: building and is_dag", cases, settings, columns)
    if nx is not None:
        for r in res:
            ratio_line(r.case.name, r.best["quorvalent"], r.best["networkx"], "networkx",
                       "no target")


def run(settings: Settings) -> None:
    routing(settings)
    building(settings)
