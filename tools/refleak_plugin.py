"""Reference-leak hunting for the pytest suite on a debug interpreter.

Load with ``-p refleak_plugin`` (tools/ on sys.path). Each test runs ``--refleak-warmup``
times to settle caches, then ``--refleak-runs`` more times; after every run the total
reference count (``sys.gettotalrefcount``) and the count of allocated memory blocks
(``sys.getallocatedblocks``) are read after a full collection. A test leaks when either
count grows in every measured run, the same rule CPython's own leak hunting uses. A
leaking test fails with its per-run deltas.
"""

from __future__ import annotations

import gc
import sys

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    group = parser.getgroup("refleak")
    group.addoption("--refleak-warmup", type=int, default=3)
    group.addoption("--refleak-runs", type=int, default=4)


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak hunting needs a debug interpreter (python3.14-dbg)")
    config.addinivalue_line("markers", "no_refleak(reason): not repeatable for leak hunting")
    config._refleak_report = []


def _counts():
    # Settle everything that legitimately holds references between runs.
    sys._clear_internal_caches()
    for _ in range(3):
        gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if item.get_closest_marker("no_refleak"):
        return None
    warmup = item.config.getoption("--refleak-warmup")
    runs = item.config.getoption("--refleak-runs")
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    reports = []
    deltas_rc, deltas_blocks = [], []
    for i in range(warmup + runs):
        before = _counts() if i >= warmup else None
        reports = runtestprotocol(item, nextitem=None, log=False)
        if any(r.failed for r in reports):
            break
        if before is not None:
            after = _counts()
            deltas_rc.append(after[0] - before[0])
            deltas_blocks.append(after[1] - before[1])
    leaked = deltas_rc and (all(d >= 1 for d in deltas_rc) or all(d >= 1 for d in deltas_blocks))
    for r in reports:
        if leaked and r.when == "call" and r.passed:
            r.outcome = "failed"
            r.longrepr = (f"reference leak: refcount deltas {deltas_rc}, "
                          f"allocated-block deltas {deltas_blocks}")
        item.ihook.pytest_runtest_logreport(report=r)
    item.config._refleak_report.append((item.nodeid, deltas_rc, deltas_blocks))
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter, config):
    rows = config._refleak_report
    if not rows:
        return
    total_rc = sum(sum(r[1]) for r in rows)
    total_blocks = sum(sum(r[2]) for r in rows)
    terminalreporter.write_line(
        f"refleak: {len(rows)} tests repeated; summed deltas over measured runs: "
        f"refcount {total_rc}, allocated blocks {total_blocks}")
