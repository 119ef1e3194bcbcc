"""Side-by-side timing of peers in one process.

The machine is shared and noisy, so peers are never timed one after another in long
blocks: every case runs several rounds, each round times every peer once (in a rotated
order), and a peer's figure is its best round. Ratios therefore compare runs that were
taken seconds apart under the same load. Nothing here judges a time; it only prints.
"""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Case:
    """One workload. `peers` maps a peer name to a call with no arguments."""

    name: str
    peers: dict[str, Callable[[], object]]
    reference: str
    note: str = ""


@dataclass
class Settings:
    rounds: int = 9
    batch_seconds: float = 0.02  # one timed batch; long enough to swamp timer overhead


@dataclass
class Result:
    case: Case
    best: dict[str, float] = field(default_factory=dict)  # seconds per call
    median: dict[str, float] = field(default_factory=dict)


def _batch(fn: Callable[[], object], n: int) -> float:
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()  # a collection landing in one peer's batch would be charged to it
    try:
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn()
        t1 = time.perf_counter_ns()
    finally:
        if was_enabled:
            gc.enable()
    return (t1 - t0) / 1e9 / n


def _calibrate(fn: Callable[[], object], seconds: float) -> int:
    n = 1
    while True:
        gc.disable()
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        gc.enable()
        if dt >= seconds / 4 or n >= 1 << 24:
            return max(1, int(n * seconds / max(dt, 1e-9)))
        n *= 4


def run_case(case: Case, s: Settings) -> Result:
    names = list(case.peers)
    counts = {p: _calibrate(case.peers[p], s.batch_seconds) for p in names}
    samples: dict[str, list[float]] = {p: [] for p in names}
    for r in range(s.rounds):
        k = r % len(names)
        for p in names[k:] + names[:k]:
            samples[p].append(_batch(case.peers[p], counts[p]))
    res = Result(case)
    for p in names:
        res.best[p] = min(samples[p])
        res.median[p] = statistics.median(samples[p])
    return res


def _ops(sec: float) -> str:
    ops = 1.0 / sec
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if ops >= scale:
            return f"{ops / scale:.3g}{unit}"
    return f"{ops:.3g}"


def run_table(title: str, cases: list[Case], s: Settings, columns: list[str]) -> list[Result]:
    """Runs `cases` and prints one row per case: best ops/s per peer and its ratio to the
    reference peer (above 1.00x means faster than the reference)."""
    print(f"\n== {title} (ops/s, best of {s.rounds} interleaved rounds; ratio to reference)")
    w0 = max(len(c.name) for c in cases) + 2
    cw = 18
    print("case".ljust(w0) + "".join(c.rjust(cw) for c in columns))
    results = []
    for case in cases:
        res = run_case(case, s)
        results.append(res)
        ref = res.best[case.reference]
        cells = []
        for col in columns:
            if col not in res.best:
                cells.append("-".rjust(cw))
                continue
            sec = res.best[col]
            tag = "ref" if col == case.reference else f"{ref / sec:.2f}x"
            cells.append(f"{_ops(sec)} ({tag})".rjust(cw))
        print(case.name.ljust(w0) + "".join(cells) + (f"  {case.note}" if case.note else ""),
              flush=True)
    return results
