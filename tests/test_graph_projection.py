"""Routing reads a dict state only at the node's reduced guard paths and evaluates guards
against the values found there. The result must not depend on how far the index reduced:
a node whose index holds the deep paths themselves must route exactly like one whose index
was cut down to the top-level keys (whole sub-dicts converted) by an extra guard."""

import random

import pytest

from quorvalent._core import HandoffGraph

SEGMENTS = ["a", "b", "c"]
# Never matches, but reads every top-level key, so the index keeps only those.
WIDEN = "false and (a or b or c)"


class Missing(dict):
    """Values a lookup would invent must not be seen: only stored items count."""

    def __missing__(self, key):
        return "invented"

    def __getitem__(self, key):
        return "invented"


def path(rng):
    return ".".join(rng.choice(SEGMENTS) for _ in range(rng.randint(1, 3)))


def literal(rng):
    return rng.choice(["'a'", "'b'", "''", "0", "1", "2.5", "null", "true"])


def guard(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        return path(rng) if rng.random() < 0.7 else literal(rng)
    kind = rng.randrange(5)
    if kind == 0:
        return f"not ({guard(rng, depth - 1)})"
    op = ("and", "or")[kind - 1] if kind < 3 else rng.choice(["==", "!=", "<", ">=", "in"])
    return f"({guard(rng, depth - 1)}) {op} ({guard(rng, depth - 1)})"


def scalar(rng):
    return rng.choice([None, True, False, 0, 1, 2.5, -0.0, "", "a", "b", "ab"])


def state(rng, depth):
    """Nested dicts, dict subclasses, lists of dicts, int keys and missing keys."""
    if depth == 0 or (kind := rng.randrange(6)) == 0:
        return scalar(rng)
    if kind == 1:
        return [state(rng, depth - 1) for _ in range(rng.randint(0, 2))]
    d = Missing() if kind == 2 else {}
    for _ in range(rng.randint(0, 4)):
        dict.__setitem__(d, rng.choice(SEGMENTS + [1]), state(rng, depth - 1))
    return d


def top_state(rng):
    s = state(rng, 4)
    return s if isinstance(s, dict) else {"a": s}


def build(guards, widen=False):
    g = HandoffGraph()
    if widen:
        g.add_edge("s", "never", WIDEN)
    for i, text in enumerate(guards):
        g.add_edge("s", f"t{i}", text)
    return g


CASES = [(seed, edges) for seed in range(60) for edges in (1, 3)]


@pytest.mark.parametrize("seed,edge_count", CASES)
def test_route_does_not_depend_on_index_reduction(seed, edge_count):
    rng = random.Random(seed)
    guards = [guard(rng, 3) for _ in range(edge_count)]
    narrow, wide = build(guards), build(guards, widen=True)
    states = [top_state(rng) for _ in range(25)]
    assert [narrow.route("s", st) for st in states] == [wide.route("s", st) for st in states], guards
    # One guard at a time, so every guard's own result is compared, not only the first.
    for text in guards:
        single_narrow, single_wide = build([text]), build([text], widen=True)
        for st in states:
            assert single_narrow.route("s", st) == single_wide.route("s", st), (text, st)


def test_generated_cases_reach_both_outcomes():
    """The comparison above is only worth something if guards both match and fail."""
    outcomes = set()
    for seed in range(60):
        rng = random.Random(seed)
        g = build([guard(rng, 3)])
        for _ in range(25):
            outcomes.add(g.route("s", top_state(rng)))
    assert outcomes == {"t0", None}


@pytest.mark.parametrize("guards,st,expected", [
    # A later, shorter path takes over the index entry of earlier deeper ones.
    (["a.b.c == 7", "a"], {"a": {"b": {"c": 7}}}, "t0"),
    (["a.b.c == 8", "a.b"], {"a": {"b": {"c": 7}}}, "t1"),
    (["a.b.c", "a"], {"a": [{"b": {"c": 1}}]}, "t1"),
    (["a.b.c", "a.b"], {"a": Missing(b={"c": 1})}, "t0"),
    (["a.b == 'invented'", "a"], {"a": Missing()}, None),
        (["a.x or a.b.c", "q"], {"a": {"b": {"c": 0}, "x": ""}}, None),
    (["a.b.c == null and a.b", "a.b.d"], {"a": {"b": {"d": 1}}}, "t0"),
])
def test_guards_follow_a_shortened_index(guards, st, expected):
    assert build(guards).route("s", st) == expected
