"""Benchmarks of quorvalent against its peers, by section.

    bench.py                 all sections whose module and class exist
    bench.py codec store     only these
    bench.py --rounds 11     more rounds for steadier figures
    QV_BENCH_THREADS=8       scaling up to 8 threads (default: the machine's cores)

A section is a module bench_<name>.py beside this file with NEEDS (the name in
quorvalent that it exercises) and run(settings). Times are printed, never judged.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Settings  # noqa: E402

SECTIONS = ["codec", "store", "graph", "langgraph", "memory", "durable", "postgres", "scaling"]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("sections", nargs="*", choices=SECTIONS + [[]], metavar="section",
                    help=f"one of {', '.join(SECTIONS)} (default: all)")
    ap.add_argument("--rounds", type=int, default=Settings.rounds)
    ap.add_argument("--batch", type=float, default=Settings.batch_seconds,
                    help="seconds per timed batch")
    args = ap.parse_args()
    settings = Settings(rounds=max(1, args.rounds), batch_seconds=args.batch)

    import quorvalent

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"quorvalent {quorvalent.__version__} on Python {sys.version.split()[0]}"
          f" ({'GIL enabled' if gil else 'free-threaded, GIL disabled'})")
    started = time.perf_counter()
    for name in args.sections or SECTIONS:
        try:
            mod = importlib.import_module(f"bench_{name}")
        except ModuleNotFoundError as e:
            if e.name != f"bench_{name}":
                raise
            print(f"\n== {name}: skipped (no bench_{name}.py yet)")
            continue
        if not hasattr(quorvalent, mod.NEEDS):
            print(f"\n== {name}: skipped (quorvalent has no {mod.NEEDS} yet)")
            continue
        mod.run(settings)
    print(f"\ntotal {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
