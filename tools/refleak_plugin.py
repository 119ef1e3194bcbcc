"""Reference-leak hunting for the pytest suite on a debug interpreter.

Load with ``-p refleak_plugin`` (tools/ on sys.path). As CPython's own leak hunting does,
each test module is run ``--refleak-warmup`` times to settle caches, then
``--refleak-runs`` more times, then once more to report outcomes; after every measured run the total reference count
(``sys.gettotalrefcount``) and the count of allocated memory blocks
(``sys.getallocatedblocks``) are read after a full collection. A module leaks when
either count grows in every measured run; then the session fails and the deltas are
printed. Test outcomes are reported from that last, unmeasured run (or the first failing
one), since pytest's own reporting keeps references of its own.
"""

from __future__ import annotations

import gc
import sys

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    group = parser.getgroup("refleak")
    group.addoption("--refleak-warmup", type=int, default=2)
    group.addoption("--refleak-runs", type=int, default=4)


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak hunting needs a debug interpreter (python3.14-dbg)")
    config._refleak_rows = []


def pytest_collection_modifyitems(config, items):
    # Tests marked no_refleak cannot be measured (see their reasons); they are left out.
    kept = [i for i in items if not i.get_closest_marker("no_refleak")]
    dropped = [i for i in items if i.get_closest_marker("no_refleak")]
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


def _counts():
    # Let go of everything that legitimately holds references between runs.
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _run_module(session, items):
    config = session.config
    warmup = config.getoption("--refleak-warmup")
    runs = config.getoption("--refleak-runs")
    rc, blocks = [], []
    for rep in range(warmup + runs + 1):
        last = rep == warmup + runs
        before = _counts() if warmup <= rep < warmup + runs else None
        failed = False
        for item in items:
            if last or failed:
                item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
            reports = runtestprotocol(item, nextitem=None, log=False)
            if any(r.failed for r in reports) and not last:
                failed = True
            if last or any(r.failed for r in reports):
                for r in reports:
                    item.ihook.pytest_runtest_logreport(report=r)
                item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        if failed:
            return None
        if before is not None:
            after = _counts()
            rc.append(after[0] - before[0])
            blocks.append(after[1] - before[1])
    return rc, blocks


@pytest.hookimpl(tryfirst=True)
def pytest_runtestloop(session):
    if session.testsfailed and not session.config.option.continue_on_collection_errors:
        raise session.Interrupted("errors during collection")
    if session.config.option.collectonly:
        return True
    modules = {}
    for item in session.items:
        modules.setdefault(item.module.__name__, []).append(item)
    for name, items in modules.items():
        result = _run_module(session, items)
        if result is None:
            continue
        rc, blocks = result
        leaked = all(d >= 1 for d in rc) or all(d >= 1 for d in blocks)
        session.config._refleak_rows.append((name, len(items), rc, blocks, leaked))
        if leaked:
            session.testsfailed += 1
        if session.shouldstop:
            raise session.Interrupted(session.shouldstop)
    return True


def pytest_terminal_summary(terminalreporter, config):
    rows = config._refleak_rows
    if not rows:
        return
    terminalreporter.section("reference leaks")
    for name, n, rc, blocks, leaked in rows:
        mark = "LEAK" if leaked else "ok"
        terminalreporter.write_line(
            f"{mark:4} {name} ({n} tests): refcount deltas {rc}, allocated-block deltas {blocks}")
    leaks = sum(1 for r in rows if r[4])
    terminalreporter.write_line(f"refleak: {len(rows)} modules repeated, {leaks} leaking")


def pytest_sessionfinish(session, exitstatus):
    if any(r[4] for r in session.config._refleak_rows) and exitstatus == 0:
        session.exitstatus = 1
