"""quorvalent.persist on PostgreSQL (a real server, see the `pg` fixture): what a commit
writes, what another connection sees and when, round trips, damaged rows and foreign
schemas, passwords, pools, and a server that goes away."""

import logging
import threading
import traceback

import pytest

psycopg = pytest.importorskip("psycopg")

import quorvalent as qv  # noqa: E402
from quorvalent import persist  # noqa: E402
from quorvalent._postgres import _signed  # noqa: E402


def db_rows(url):
    """The database's pairs, read with plain psycopg."""
    with psycopg.connect(url) as conn:
        return {
            (ns.decode(), key.decode()): value
            for ns, key, value in conn.execute(
                "SELECT n.name, e.key, e.value FROM qv_entry e JOIN qv_ns n ON n.id = e.ns"
            )
        }


def sql(url, statement, params=None):
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute(statement, params)


# Names the store accepts that text columns, quoting or a collation could get wrong.
NAMES = ["plain", "", "nul\x00inside", "quote'\"; DROP TABLE qv_entry; --", "é", "\U0010ffff", "Z", "b"]


def test_a_commit_writes_the_change_as_the_store_encoded_it(pg):
    url = pg.url()
    with persist.open(url) as db:
        db.set("a", "k", {"x": [1, 2.5, "é"]})
        db.set("a", "gone", 1)
        db.set_many([(ns, key, [ns, key]) for ns in NAMES for key in NAMES])
        assert db.commit() == 2 + len(NAMES) ** 2
        assert db.commit() == 0
        db.delete("a", "gone")
        db.set("a", "k", {"x": [1, 2.5, "é"]})  # the same bytes again: no change
        db.store.drop_namespace("")
        assert db.commit() == 1 + len(NAMES)
    expected = {("a", "k"): qv.dumps({"x": [1, 2.5, "é"]})}
    expected.update({(ns, key): qv.dumps([ns, key]) for ns in NAMES if ns for key in NAMES})
    assert db_rows(url) == expected
    with persist.open(url) as db:
        assert db.store.namespaces() == []  # nothing is read before it is needed
        assert db.namespaces() == sorted({"a", *NAMES} - {""})
        for ns in NAMES[2:]:
            assert sorted(db.keys(ns)) == sorted(NAMES)
            assert db.get(ns, NAMES[3]) == [ns, NAMES[3]]
        db.load("a")
        assert db.store.get_raw("a", "k") == expected[("a", "k")]


@pytest.mark.parametrize(
    "prefix, expected",
    [
        ("t/", ["t/", "t/\x00", "t/a", "t/é", "t/\U0010ffff"]),
        ("t", ["t", "t.", "t/", "t/\x00", "t/a", "t/é", "t/\U0010ffff", "t0", "t\U0010ffff"]),
        ("\U0010ffff", ["\U0010ffff", "\U0010ffffx"]),
        ("", None),  # everything
    ],
)
def test_a_prefix_loads_exactly_its_namespaces_in_code_point_order(pg, prefix, expected):
    url = pg.url()
    names = ["t", "t.", "t/", "t/\x00", "t/a", "t/é", "t/\U0010ffff", "t0", "t\U0010ffff", "T/a", "s\U0010ffff",
             "u", "\U0010ffff", "\U0010ffffx", "\x00"]
    with persist.open(url) as db:
        db.set_many([(n, "k", n) for n in names])
    expected = sorted(names) if expected is None else expected
    with persist.open(url) as db:
        assert db.namespaces(prefix) == expected
        db.load_prefix(prefix)
        assert sorted(db.store.namespaces()) == expected
        assert [db.store.get(n, "k") for n in expected] == expected


def test_another_connection_is_seen_after_refresh_and_merged_at_commit(pg):
    url = pg.url()
    with persist.open(url) as db, persist.open(url) as other:
        db.set_many([("n", "mine", 0), ("n", "theirs", 0), ("n", "both", 0), ("n", "dropped", 0)])
        db.commit()
        db.set("n", "mine", 1)  # not committed yet
        db.set("n", "both", "here")
        other.set_many([("n", "theirs", 2), ("n", "both", "there"), ("m", "new", 1)])
        other.delete("n", "dropped")
        other.commit()
        assert db.get("n", "theirs") == 0  # not before a refresh
        assert db.refresh() and not db.refresh()
        assert db.store.get_many([("n", "mine"), ("n", "theirs"), ("n", "both"), ("n", "dropped")]) == [
            1,
            2,
            "here",  # changed here and not committed: stays
            None,
        ]
        assert db.get("m", "new") == 1
        other.set("n", "theirs", 3)
        other.commit()
        db.commit()  # writes its two pairs, and brings in "theirs" = 3 without a refresh
        assert db.store.get("n", "theirs") == 3
        assert other.refresh() and other.store.get_many([("n", "mine"), ("n", "both")]) == [1, "here"]
    assert db_rows(url) == {
        ("n", "mine"): qv.dumps(1),
        ("n", "theirs"): qv.dumps(3),
        ("n", "both"): qv.dumps("here"),
        ("m", "new"): qv.dumps(1),
    }


def test_round_trips_per_operation(pg):
    pg.server or pytest.skip("needs the tests' own server")
    from pgserver import RoundTrips

    relay = RoundTrips(pg.server.port)
    schema = pg.schema()
    try:
        url = pg.tcp_url(schema, port=relay.port)
        with persist.open(url) as db, persist.open(url) as other:
            db.set_many([("n", str(i), i) for i in range(100)])
            db.commit()

            def trips(call):
                before = relay.count
                call()
                return relay.count - before

            assert trips(lambda: other.load("n")) == 2  # the log since open, then the rows
            assert trips(db.refresh) == 1  # nothing changed: one question
            db.set("n", "1", "one")
            assert trips(db.commit) == 1
            assert trips(other.refresh) == 2  # the log with the question, then the changed rows
            assert other.store.get("n", "1") == "one"
            other.set("q", "z", 1)  # a namespace the other does not load
            assert trips(other.commit) == 1
            db.set("n", "4", "four")
            assert trips(db.commit) == 1  # the other's commit is nothing to it
            other.set("n", "2", "two")
            other.commit()
            db.set("n", "3", "three")
            # Another commit to a loaded namespace came first: its rows come after.
            assert trips(db.commit) == 2 and db.store.get("n", "2") == "two"
    finally:
        relay.close()


def test_a_read_that_finds_the_database_moved_on_reads_again(pg):
    """A catch-up reads the log, then the rows: a commit between the two must not leave
    half of it applied (here "a" from the later commit beside "b" from the earlier)."""
    url = pg.url()
    with persist.open(url) as reader, persist.open(url) as writer:
        writer.set_many([("n", "a", 0), ("n", "b", 0)])
        writer.commit()
        reader.load("n")
        backend = reader._db
        rows_at = backend.rows_at
        sneaks = []

        def sneaking(pairs):
            # A commit of both, every time: the tries without a transaction all find
            # the database moved; the last, in one, reads what was there when it began.
            n = len(sneaks) + 2
            writer.set_many([("n", "a", n), ("n", "b", n)])
            writer.commit()
            sneaks.append(n)
            return rows_at(pairs)

        backend.rows_at = sneaking
        writer.set("n", "a", 1)
        writer.commit()
        reader.refresh()
        assert sneaks == [2, 3, 4, 5]
        assert reader.store.get_many([("n", "a"), ("n", "b")]) == [4, 4]
        backend.rows_at = rows_at
        assert reader.refresh() and reader.store.get_many([("n", "a"), ("n", "b")]) == [5, 5]


def test_a_reader_too_far_behind_the_log_compares_instead(pg, monkeypatch):
    monkeypatch.setattr(persist, "_LOG_KEEP", 4)
    monkeypatch.setattr(persist, "_LOG_TRIM_EVERY", 2)
    url = pg.url()
    with persist.open(url) as db, persist.open(url) as other:
        db.set_many([("n", "a", 0), ("n", "b", 0), ("n", "c", 0)])
        db.commit()
        db.set("n", "c", "mine")
        for i in range(10):
            other.set("n", "a", i)
            other.commit()
        other.delete("n", "b")
        other.commit()
        with psycopg.connect(url) as conn:
            assert conn.execute("SELECT min(seq) FROM qv_log").fetchone()[0] > 2
        db.refresh()
        assert db.store.get_many([("n", "a"), ("n", "b"), ("n", "c")]) == [9, None, "mine"]


def test_threads_writing_and_committing_lose_nothing(pg):
    url = pg.url()
    with persist.open(url) as db:

        def work(t):
            for i in range(30):
                db.set(f"t{t}", str(i), [t, i])
                if i % 7 == 0:
                    db.commit()

        threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    assert db_rows(url) == {(f"t{t}", str(i)): qv.dumps([t, i]) for t in range(4) for i in range(30)}


@pytest.mark.parametrize(
    "tamper",
    [
        "UPDATE qv_entry SET value = '\\x93010203' WHERE key = 'k'",  # valid msgpack, not ours
        "UPDATE qv_entry SET value = substr(value, 1, 3) WHERE key = 'k'",
        "UPDATE qv_entry SET key = 'j' WHERE key = 'k'",
        "UPDATE qv_entry SET sum = sum + 1 WHERE key = 'k'",
        "UPDATE qv_entry SET key = '\\xff' WHERE key = 'k'",  # not UTF-8
    ],
)
def test_a_damaged_row_is_named_and_nothing_of_it_loads(pg, tamper):
    url = pg.url()
    with persist.open(url) as db:
        db.set_many([("ns", "k", {"a": [1, 2, 3]}), ("ns", "ok", 1)])
    sql(url, tamper)
    with persist.open(url) as db:
        with pytest.raises(persist.CorruptRowError, match="checksum") as e:
            db.load("ns")
        assert e.value.namespace == "ns" and e.value.key in ("k", "j", b"\xff")
        assert db.store.namespaces() == []
        with pytest.raises(persist.CorruptRowError):
            db.get("ns", "ok")  # still refused, not half loaded


def test_damaged_rows_met_by_a_catch_up_and_a_damaged_name(pg):
    url = pg.url()
    with persist.open(url) as db:
        other = persist.open(url)
        db.set("ns", "k", 1)
        db.commit()
        other.load("ns")
        bad = b"\xc1"  # never used in msgpack, with a checksum that fits it
        db.set("ns", "k", 2)
        db.commit()
        sql(url, "UPDATE qv_entry SET value = %s, sum = %s WHERE key = 'k'", (bad, _signed(persist._row_sum("ns", "k", bad))))
        with pytest.raises(persist.CorruptRowError, match="not a value quorvalent can read"):
            other.refresh()
        assert other.store.get("ns", "k") == 1
        with pytest.raises(persist.CorruptRowError):
            other.refresh()  # not forgotten: asked again
        other.close()
    sql(url, "UPDATE qv_ns SET name = '\\xfe' WHERE name = 'ns'")
    with persist.open(url) as db, pytest.raises(persist.CorruptRowError, match="not UTF-8"):
        db.namespaces()


@pytest.mark.parametrize(
    "damage, message",
    [
        ("UPDATE qv_meta SET format = format + 1", "newer than this quorvalent"),
        ("UPDATE qv_meta SET format = 0", "unknown format version 0"),
        ("DROP TABLE qv_log", "not all"),
        ("DELETE FROM qv_meta", "not a quorvalent database"),
        ("ALTER TABLE qv_meta RENAME format TO f", "not a quorvalent database"),
    ],
)
def test_schemas_that_are_not_ours_or_too_new_are_refused(pg, damage, message):
    url = pg.url()
    persist.open(url).close()
    sql(url, damage)
    with pytest.raises(persist.FormatError, match=message):
        persist.open(url)


def test_a_foreign_table_of_the_same_name_is_refused(pg):
    url = pg.url()
    sql(url, "CREATE TABLE qv_meta (x int)")
    with pytest.raises(persist.FormatError, match="some of quorvalent's tables"):
        persist.open(url)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"synchronous": "normal"}, ValueError, "for PostgreSQL, synchronous must be 'full' or 'off'"),
        ({"pool_size": 0}, ValueError, "pool_size must be a positive int"),
        ({"pool_size": 1.5}, ValueError, "pool_size must be a positive int"),
    ],
)
def test_bad_open_arguments(pg, kwargs, error, message):
    with pytest.raises(error, match=message):
        persist.open(pg.url(), **kwargs)


def test_pool_size_is_for_postgres_only(tmp_path):
    with pytest.raises(ValueError, match="pool_size is for PostgreSQL"):
        persist.open(f"sqlite:///{tmp_path / 'x.db'}", pool_size=2)
    with pytest.raises(TypeError, match="url must be a str or a psycopg_pool.ConnectionPool"):
        persist.open(object())


def test_synchronous_off_commits_all_the_same(pg):
    url = pg.url()
    with persist.open(url, synchronous="off") as db:
        db.set("n", "k", 1)
    with persist.open(url) as db:
        assert db.get("n", "k") == 1


def _text_of(exc):
    return "".join(traceback.format_exception(exc)) + repr(exc) + str(exc)


def test_a_password_never_shows(pg, caplog):
    pg.server or pytest.skip("needs the tests' own server")
    secret = pg.password
    caplog.set_level(logging.DEBUG)
    seen = []
    schema = pg.schema()
    url = pg.tcp_url(schema)
    with persist.open(url) as db:  # the right password
        seen += [repr(db), db.url]
        assert "***" in db.url
    wrong = secret[::-1]
    cases = [
        (pg.tcp_url(schema, password=wrong), {}, "password authentication failed"),
        (pg.tcp_url(schema, password=wrong), {"pool_size": 1, "timeout": 2}, "no connection"),
        (url.replace("127.0.0.1:", "127.0.0.1:x"), {}, "cannot connect"),  # a bad port
        (url + "&sslmode=nonsense", {}, "cannot connect"),
        # The password given as a URL parameter too.
        (pg.tcp_url(schema, password="x").replace(":x@", "@") + f"&password={wrong}", {}, "password"),
    ]
    for bad, kwargs, message in cases:
        with pytest.raises(persist.PersistError, match=message) as e:
            persist.open(bad, **kwargs)
        seen.append(_text_of(e.value))
        assert e.value.__cause__ is None and e.value.__context__ is None
    seen += [r.getMessage() for r in caplog.records]
    for text in seen:
        assert secret not in text and wrong not in text


def test_pools_of_its_own_and_of_the_caller(pg):
    psycopg_pool = pytest.importorskip("psycopg_pool")
    from psycopg.rows import dict_row

    url = pg.url()
    with persist.open(url, pool_size=2) as db:
        db.set("n", "k", 1)
    # The caller's pool, with connections set up for other code: dict rows, transactions.
    with psycopg_pool.ConnectionPool(url, min_size=1, max_size=2, kwargs={"row_factory": dict_row}) as pool:
        with persist.open(pool) as a, persist.open(pool) as b:
            assert a.get("n", "k") == 1
            a.set("n", "k", 2)
            a.commit()
            assert b.get("n", "k") == 2
            a.set("n", "k", 3)
            a.commit()
            assert b.refresh() and b.store.get("n", "k") == 3
        assert "pool" in repr(a)
        with pool.connection() as conn:
            assert conn.autocommit is False
            assert conn.execute("SELECT 1 AS one").fetchone() == {"one": 1}
        assert not pool.closed  # its owner closes it


@pytest.mark.thread_unsafe(reason="stops and starts the tests' own server")
def test_the_server_going_away_and_a_lost_commit_reply(pg):
    server = pg.server or pytest.skip("needs the tests' own server")
    from pgserver import RoundTrips

    relay = RoundTrips(server.port)
    schema = pg.schema()
    pooled = persist.open(pg.url(schema), pool_size=2, timeout=5)
    try:
        url = pg.tcp_url(schema, port=relay.port)
        pooled.load("n")
        with persist.open(url, timeout=5) as db, persist.open(pg.url(schema)) as other:
            db.set("n", "a", 1)
            db.commit()
            # The server gets the commit and makes it; its answer is lost on the way.
            db.set("n", "b", 2)
            relay.cut_next_reply()
            with pytest.raises(persist.PersistError, match="may or may not have been written") as e:
                db.commit()
            assert pg.password not in _text_of(e.value)
            assert other.get("n", "b") == 2  # it was
            db.set("n", "c", 3)
            assert db.commit() == 2  # b again (harmless), and c
            assert other.refresh() and other.store.get_many([("n", "b"), ("n", "c")]) == [2, 3]

            server.stop("immediate")
            try:
                db.set("n", "d", 4)
                with pytest.raises(persist.PersistError) as e:
                    db.commit()
                assert "cannot connect" in str(e.value) or "lost" in str(e.value)
                assert pg.password not in _text_of(e.value)
                with pytest.raises(persist.PersistError):
                    db.get_many([("m", "x")])  # loading fails too, and loads nothing
                assert db.store.get("n", "d") == 4  # kept, uncommitted
            finally:
                server.start()
            db.set("n", "e", 5)
            assert db.commit() == 2  # d, kept from the failed commit, and e
            assert other.refresh() and other.store.get_many([("n", "d"), ("n", "e")]) == [4, 5]
            # A pool's connections the server closed are replaced, not handed out.
            assert pooled.refresh() and pooled.store.get_many([("n", "a"), ("n", "e")]) == [1, 5]
        assert db_rows(pg.url(schema)) == {(("n", k)): qv.dumps(v) for k, v in zip("abcde", range(1, 6))}
    finally:
        pooled.close()
        relay.close()
