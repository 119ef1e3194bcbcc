"""Many threads on one Store through the Python API.

Store calls detach from the interpreter, so the native parts overlap even on a GIL build;
a tiny switch interval makes the Python parts interleave finely too.
"""

import random
import sys
import threading

import pytest

from quorvalent._core import Store, dumps

THREADS = 8
SHARED_NS = ["", "a", "ns", "default", "threads", "t-1"]  # "" and "ns" share a shard
BATCH_KEYS = ["b0", "b1", "b2", "b3"]  # only ever written together, by set_many


@pytest.fixture(autouse=True)
def fine_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(worker):
    barrier = threading.Barrier(THREADS)
    errors = []

    def body(i):
        try:
            barrier.wait()
            worker(i)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def value(ns, key, tag):
    return {"ns": ns, "key": key, "tag": tag, "pad": "x" * (tag % 11)}


def read_back(snap):
    fresh = Store()
    fresh.restore(snap)
    data = {(ns, k): fresh.get(ns, k) for ns in fresh.namespaces() for k in fresh.keys(ns)}
    assert len(fresh) == len(data)
    return data


def check_snapshot(snap):
    data = read_back(snap)
    assert sorted(data) == sorted(snap.keys)
    assert snap.size_bytes == sum(len(dumps(v)) for v in data.values())
    for (ns, k), v in data.items():
        assert (v["ns"], v["key"]) == (ns, k)
    check_batches(data)
    return data


def check_batches(data):
    # A batch within one namespace lands under one shard lock: all or none, one tag.
    for ns in {ns for ns, _ in data}:
        tags = [data[(ns, k)]["tag"] for k in BATCH_KEYS if (ns, k) in data]
        assert tags == [] or (len(tags) == len(BATCH_KEYS) and len(set(tags)) == 1), (ns, tags)


def check_diff(newer, older):
    d = newer.diff(older)
    new_keys, old_keys = set(newer.keys), set(older.keys)
    added, removed, changed = (set(d[k]) for k in ("added", "removed", "changed"))
    assert len(added) == len(d["added"]) and len(removed) == len(d["removed"])
    assert added == new_keys - old_keys
    assert removed == old_keys - new_keys
    assert changed <= new_keys & old_keys


def test_mixed_operations_keep_invariants():
    s = Store(max_history=16)
    taken = [s.snapshot()]  # every snapshot of `s`, from all threads
    taken_lock = threading.Lock()

    def worker(i):
        rnd = random.Random(1000 + i)
        tag = i * 1_000_000
        for _ in range(2000):
            tag += 1
            ns = rnd.choice(SHARED_NS)
            r = rnd.random()
            if r < 0.25:
                key = f"k{rnd.randrange(8)}"
                s.set(ns, key, value(ns, key, tag))
            elif r < 0.35:
                s.delete(ns, f"k{rnd.randrange(8)}")
            elif r < 0.50:
                other = rnd.choice(SHARED_NS)
                items = [(ns, k, value(ns, k, tag)) for k in BATCH_KEYS]
                items.append((other, "k0", value(other, "k0", tag)))
                s.set_many(items)
            elif r < 0.62:
                pairs = [(ns, k) for k in BATCH_KEYS] + [(ns, "k1"), (ns, "k1")]
                got = s.get_many(pairs)
                assert len(got) == len(pairs)
                data = {p: v for p, v in zip(pairs, got) if v is not None}
                for (pns, pk), v in data.items():
                    assert (v["ns"], v["key"]) == (pns, pk)
                check_batches(data)
            elif r < 0.74:
                snap = s.snapshot()
                with taken_lock:
                    taken.append(snap)
                check_snapshot(snap)
            elif r < 0.80:
                with taken_lock:
                    snap = rnd.choice(taken)
                s.restore(snap)
            elif r < 0.88:
                with taken_lock:
                    a, b = rnd.choice(taken), rnd.choice(taken)
                check_diff(a, b)
                check_diff(b, a)
            elif r < 0.97:
                names = s.namespaces()
                assert len(names) == len(set(names)) and set(names) <= set(SHARED_NS)
                keys = s.keys(ns)
                assert len(keys) == len(set(keys))
                top = s.max_key(ns)
                assert top is None or isinstance(top, str)
                assert isinstance(s.contains(ns, "k0"), bool) and len(s) >= 0
                s.get(ns, "k3")
            elif r < 0.99:
                [h.id for h in s.history()]
            else:
                s.clear()

    run_threads(worker)

    final = s.snapshot()
    taken.append(final)
    data = check_snapshot(final)
    live = {(ns, k): s.get(ns, k) for ns in s.namespaces() for k in s.keys(ns)}
    assert live == data and len(s) == len(data)

    ids = [t.id for t in taken]
    assert sorted(ids) == list(range(1, len(ids) + 1))
    parents = [t.parent for t in taken]
    # The parent links form one chain through every id.
    assert parents.count(None) == 1
    linked = [p for p in parents if p is not None]
    assert len(set(linked)) == len(linked) and set(linked) == set(ids) - {max(ids)}
    retained = [h.id for h in s.history()]
    assert len(retained) == 16 and len(set(retained)) == 16 and max(ids) in retained


def test_disjoint_namespaces_end_deterministic():
    s = Store()
    models = [dict() for _ in range(THREADS)]

    def worker(i):
        rnd = random.Random(i)
        ns = f"own{i}"
        model = models[i]
        for step in range(2000):
            r = rnd.random()
            key = f"k{rnd.randrange(12)}"
            if r < 0.35:
                model[key] = [i, step]
                s.set(ns, key, [i, step])
            elif r < 0.50:
                assert s.delete(ns, key) is (model.pop(key, None) is not None)
            elif r < 0.65:
                batch = [(ns, f"k{rnd.randrange(12)}", {"s": step, "j": j}) for j in range(4)]
                s.set_many(batch)
                for _, k, v in batch:
                    model[k] = v
            elif r < 0.80:
                keys = [f"k{j}" for j in range(12)]
                assert s.get_many([(ns, k) for k in keys]) == [model.get(k) for k in keys]
            elif r < 0.90:
                assert sorted(s.keys(ns)) == sorted(model)
                assert s.max_key(ns) == (max(model) if model else None)
                assert (ns in s) is bool(model)
            else:
                snap = s.snapshot()
                data = read_back(snap)
                mine = {k: v for (n, k), v in data.items() if n == ns}
                assert mine == model

    run_threads(worker)

    expected = {(f"own{i}", k): v for i, m in enumerate(models) for k, v in m.items()}
    live = {(ns, k): s.get(ns, k) for ns in s.namespaces() for k in s.keys(ns)}
    assert live == expected and len(s) == len(expected)
    assert s.snapshot().size_bytes == sum(len(dumps(v)) for v in expected.values())
