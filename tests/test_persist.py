"""quorvalent.persist on SQLite: what a commit writes, what another process sees, what a
crash leaves, and what a damaged or foreign file gives."""

import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvalent as qv
from quorvalent import persist

# A test's threads would share its database file (the fixture's), and these tests assert
# what the file holds.
pytestmark = pytest.mark.thread_unsafe(reason="the threads of a test would share its database file")


@pytest.fixture
def url(tmp_path):
    return f"sqlite:///{tmp_path / 'state.db'}"


def rows(url):
    """The database's pairs, read with plain sqlite3."""
    conn = sqlite3.connect(url.removeprefix("sqlite:///"))
    try:
        return {
            (ns, key): value
            for ns, key, value in conn.execute(
                "SELECT n.name, e.key, e.value FROM qv_entry e JOIN qv_ns n ON n.id = e.ns"
            )
        }
    finally:
        conn.close()


def child(code, *args):
    """Runs `code` in a fresh interpreter (another process on the same file)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True, text=True, check=True
    ).stdout


def test_a_commit_writes_the_change_as_the_store_encoded_it(url):
    with persist.open(url) as db:
        db.set("a", "k", {"x": [1, 2.5, "é"]})
        db.set("a", "gone", 1)
        db.set("b", "k", b"\x00\xff")
        assert db.commit() == 3
        assert db.commit() == 0  # nothing changed since
        db.delete("a", "gone")
        db.set("b", "k", True)  # 1 and True encode differently: a change
        db.set("a", "k", {"x": [1, 2.5, "é"]})  # the same bytes again: no change
        assert db.commit() == 2
        expected = {("a", "k"): qv.dumps({"x": [1, 2.5, "é"]}), ("b", "k"): qv.dumps(True)}
    assert rows(url) == expected
    with persist.open(url) as db:
        assert db.store.namespaces() == []  # nothing is read before it is needed
        assert db.get("a", "k") == {"x": [1, 2.5, "é"]}
        assert db.store.get_raw("a", "k") == expected[("a", "k")]
        assert db.namespaces() == ["a", "b"]


def test_a_dropped_namespace_leaves_no_row_and_can_come_back(url):
    with persist.open(url) as db:
        db.set_many([("t", str(i), i) for i in range(50)])
        db.commit()
        db.load("t")
        db.store.drop_namespace("t")
        db.commit()
        assert db.namespaces() == [] and rows(url) == {}
        db.set("t", "again", 1)
    assert rows(url) == {("t", "again"): qv.dumps(1)}


def test_uncommitted_changes_are_left_out(url):
    db = persist.open(url)
    db.set("a", "k", 1)
    db.commit()
    db.set("a", "k", 2)
    db.close()  # no commit: the change stays in memory only
    with persist.open(url) as again:
        assert again.get("a", "k") == 1
    with pytest.raises(RuntimeError), persist.open(url) as db:
        db.set("a", "k", 3)
        raise RuntimeError  # a failed block does not commit
    with persist.open(url) as again:
        assert again.get("a", "k") == 1


def test_a_write_before_the_load_wins_over_the_database(url):
    with persist.open(url) as db:
        db.store.set_many([("n", "a", "db"), ("n", "b", "db")])
    with persist.open(url) as db:
        db.store.set("n", "a", "mine")  # written without loading
        db.load("n")
        assert db.store.get("n", "a") == "mine" and db.store.get("n", "b") == "db"
        assert db.commit() == 1
    assert rows(url) == {("n", "a"): qv.dumps("mine"), ("n", "b"): qv.dumps("db")}


OTHER = """
import sys
from quorvalent import persist
with persist.open(sys.argv[1]) as db:
    for ns, key, value in eval(sys.argv[2]):
        if value is None:
            db.delete(ns, key)
        else:
            db.set(ns, key, value)
"""


def test_another_process_commits_are_seen_after_refresh_and_merge_at_commit(url):
    with persist.open(url) as db:
        db.set_many([("n", "mine", 0), ("n", "theirs", 0), ("n", "both", 0), ("n", "dropped", 0)])
        db.commit()
        db.set("n", "mine", 1)  # not committed yet
        db.set("n", "both", "here")
        child(OTHER, url, [("n", "theirs", 2), ("n", "both", "there"), ("n", "dropped", None), ("m", "new", 1)])
        assert db.get("n", "theirs") == 0  # not before a refresh
        assert db.refresh() and not db.refresh()
        assert db.store.get_many([("n", "mine"), ("n", "theirs"), ("n", "both"), ("n", "dropped")]) == [
            1,
            2,
            "here",  # changed here and not committed: stays
            None,
        ]
        assert db.get("m", "new") == 1  # never loaded here: read from the file
        db.commit()  # the later commit wins on "both", and keeps their "theirs"
    assert rows(url) == {
        ("n", "mine"): qv.dumps(1),
        ("n", "theirs"): qv.dumps(2),
        ("n", "both"): qv.dumps("here"),
        ("m", "new"): qv.dumps(1),
    }


def test_commit_sees_a_commit_made_after_the_last_refresh(url, monkeypatch):
    with persist.open(url) as db:
        db.set("n", "k", 0)
        db.commit()
        child(OTHER, url, [("n", "k", 7)])
        db.set("n", "other", 1)
        db.commit()  # must not write back the stale k
        assert db.store.get("n", "k") == 7
    assert rows(url)[("n", "k")] == qv.dumps(7)


def test_a_reader_too_far_behind_the_log_compares_instead(url, monkeypatch):
    monkeypatch.setattr(persist, "_LOG_KEEP", 4)
    monkeypatch.setattr(persist, "_LOG_TRIM_EVERY", 2)
    with persist.open(url) as db:
        db.set_many([("n", "a", 0), ("n", "b", 0)])
        db.commit()
        with persist.open(url) as other:
            for i in range(10):
                other.set("n", "a", i)
                other.commit()
            other.delete("n", "b")
            other.commit()
        conn = sqlite3.connect(url.removeprefix("sqlite:///"))
        assert conn.execute("SELECT min(seq) FROM qv_log").fetchone()[0] > 2
        conn.close()
        db.refresh()
        assert db.store.get_many([("n", "a"), ("n", "b")]) == [9, None]


def test_threads_writing_and_committing_lose_nothing(url):
    with persist.open(url) as db:
        def work(t):
            for i in range(40):
                db.set(f"t{t}", str(i), [t, i])
                if i % 7 == 0:
                    db.commit()

        threads = [threading.Thread(target=work, args=(t,)) for t in range(6)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    assert rows(url) == {(f"t{t}", str(i)): qv.dumps([t, i]) for t in range(6) for i in range(40)}


WRITER = """
import sys
from quorvalent import persist
with persist.open(sys.argv[1], synchronous="normal") as db:
    n = 0
    while True:
        n += 1
        db.set_many([(f"ns{j % 7}", str(j), [n, "x" * (j % 50)]) for j in range(300)])
        db.commit()
        print(n, flush=True)
"""


@pytest.mark.slow
@pytest.mark.parametrize("seed", range(20))
def test_a_killed_writer_leaves_one_whole_commit(url, seed):
    proc = subprocess.Popen([sys.executable, "-c", WRITER, url], stdout=subprocess.PIPE, text=True)
    rng = random.Random(seed)
    returned = 0
    for _ in range(rng.randint(1, 25)):
        returned = int(proc.stdout.readline())
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    proc.stdout.close()
    with persist.open(url) as db:
        db.load_prefix("ns")
        gens = {v[0] for v in db.store.get_many([(f"ns{j % 7}", str(j)) for j in range(300)])}
    assert len(gens) == 1 and gens.pop() >= returned


@pytest.mark.parametrize(
    "tamper, message",
    [
        ("UPDATE qv_entry SET value = X'93010203' WHERE key = 'k'", "checksum"),  # valid msgpack, not ours
        ("UPDATE qv_entry SET value = substr(value, 1, 3) WHERE key = 'k'", "checksum"),
        ("UPDATE qv_entry SET key = 'j' WHERE key = 'k'", "checksum"),
        ("UPDATE qv_entry SET value = 'text' WHERE key = 'k'", "checksum"),
    ],
)
def test_a_damaged_row_is_named_and_nothing_of_it_loads(url, tamper, message):
    with persist.open(url) as db:
        db.set_many([("ns", "k", {"a": [1, 2, 3]}), ("ns", "ok", 1)])
    conn = sqlite3.connect(url.removeprefix("sqlite:///"))
    conn.execute(tamper)
    conn.commit()
    conn.close()
    with persist.open(url) as db:
        with pytest.raises(persist.CorruptRowError, match=message) as e:
            db.load("ns")
        assert e.value.namespace == "ns" and e.value.key in ("k", "j")
        assert db.store.namespaces() == []
        with pytest.raises(persist.CorruptRowError):
            db.get("ns", "ok")  # still refused, not half loaded


def test_a_checksummed_row_the_codec_refuses_is_named(url):
    with persist.open(url) as db:
        db.set("ns", "k", 1)
    path = url.removeprefix("sqlite:///")
    conn = sqlite3.connect(path)
    bad = b"\xc1"  # never used in msgpack
    conn.execute("UPDATE qv_entry SET value = ?, sum = ? WHERE key = 'k'", (bad, persist._row_sum("ns", "k", bad)))
    conn.commit()
    conn.close()
    with persist.open(url) as db, pytest.raises(persist.CorruptRowError, match="not a value quorvalent can read"):
        db.load("ns")


def test_files_that_are_not_ours_or_too_new_are_refused(tmp_path):
    newer = tmp_path / "newer.db"
    persist.open(f"sqlite:///{newer}").close()
    conn = sqlite3.connect(newer)
    conn.execute(f"PRAGMA user_version = {persist.FORMAT_VERSION + 1}")
    conn.close()
    with pytest.raises(persist.FormatError, match="newer than this quorvalent"):
        persist.open(f"sqlite:///{newer}")
    foreign = tmp_path / "foreign.db"
    sqlite3.connect(foreign).execute("CREATE TABLE t (x)").connection.close()
    with pytest.raises(persist.FormatError, match="not a quorvalent database"):
        persist.open(f"sqlite:///{foreign}")


def test_opening_a_new_file_waits_for_another_opener_that_holds_the_write_lock(url):
    # Another process making the same new file holds the write lock for a moment.
    other = sqlite3.connect(url.removeprefix("sqlite:///"), isolation_level=None, check_same_thread=False)
    other.execute("BEGIN IMMEDIATE")
    release = threading.Timer(0.3, other.execute, ("COMMIT",))
    release.start()
    try:
        with persist.open(url, timeout=5) as db:
            db.set("ns", "k", 1)
            db.commit()
    finally:
        release.join()
        other.close()
    with pytest.raises(sqlite3.OperationalError, match="locked"):  # and gives up after the timeout
        other = sqlite3.connect(url.removeprefix("sqlite:///") + "2", isolation_level=None)
        other.execute("BEGIN IMMEDIATE")
        try:
            persist.open(url + "2", timeout=0.2)
        finally:
            other.close()
    assert rows(url) == {("ns", "k"): qv.dumps(1)}


@pytest.mark.parametrize(
    "url, kwargs, error, message",
    [
        ("mysql://x/y", {}, ValueError, "unsupported database URL scheme 'mysql'"),
        ("sqlite:relative.db", {}, ValueError, "not a SQLite URL"),
        ("sqlite:///", {}, ValueError, "names no file"),
        ("sqlite:///:memory:", {"synchronous": "fast"}, ValueError, "synchronous must be"),
        (b"sqlite:///x", {}, TypeError, "url must be a str"),
    ],
)
def test_bad_open_arguments(url, kwargs, error, message):
    with pytest.raises(error, match=message):
        persist.open(url, **kwargs)


def test_a_closed_store_refuses_database_work():
    db = persist.open("sqlite:///:memory:")
    db.set("a", "k", 1)
    db.close()
    with pytest.raises(persist.PersistError, match="closed"):
        db.commit()
    assert db.store.get("a", "k") == 1  # the memory is still there
