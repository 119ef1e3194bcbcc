"""LangGraph on quorvalent: a checkpointer that keeps every thread in a `Store`, and
a conditional-edge router driven by a `HandoffGraph`.

Needs `langgraph-checkpoint` (``pip install quorvalent[langgraph]``); the rest of the
package does not.

Layout in the store (``lp(s)`` is ``f"{len(s)}:{s}"``, a prefix-free encoding, so no
thread id or checkpoint namespace can pass for another, whatever characters they hold):

- ``langgraph/i/{lp(thread)}``: the thread's index, one key per checkpoint namespace;
- ``langgraph/c/{lp(thread)}{lp(ns)}``: checkpoint records keyed by checkpoint id, so the
  greatest key is the newest checkpoint (uuid6 ids sort in creation order);
- ``langgraph/b/...``: channel values (blobs) keyed by channel and version, shared by
  every checkpoint that reads that version;
- ``langgraph/w/...``: pending writes, one entry per checkpoint id, kept in write order.
"""

from __future__ import annotations

import dataclasses
import random
import threading
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from typing import Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import (
    WRITES_IDX_MAP,
    BaseCheckpointSaver,
    ChannelVersions,
    Checkpoint,
    CheckpointMetadata,
    CheckpointTuple,
    SerializerProtocol,
    get_checkpoint_id,
    get_checkpoint_metadata,
)

from quorvalent._core import HandoffGraph, Store

__all__ = ["QuorvalentSaver", "router"]

_INDEX = "langgraph/i/"
_CKPT = "langgraph/c/"
_BLOB = "langgraph/b/"
_WRITES = "langgraph/w/"
_STRIPES = 64
_CHUNK = 128  # checkpoints read per store round trip while listing
_INT64 = range(-(2**63), 2**63)
# The saver's own `list` method hides the builtin inside the class body.
_Record = list[Any]
_Found = list[tuple[str, _Record]]
_TupleList = list[CheckpointTuple]
_Strs = list[str]
_Items = list[tuple[str, str, Any]]


def _lp(s: str, what: str) -> str:
    if not s.isascii():
        try:
            s.encode()
        except UnicodeEncodeError:
            raise ValueError(
                f"{what} {s!r} cannot be stored: it is not valid Unicode text "
                "(it holds a lone surrogate)"
            ) from None
    return f"{len(s)}:{s}"


def _thread(thread_id: Any) -> str:
    # LangGraph itself turns a non-str thread id into its str form.
    return thread_id if type(thread_id) is str else str(thread_id)


def _unlp(s: str, at: int) -> tuple[str, int]:
    colon = s.index(":", at)
    end = colon + 1 + int(s[at:colon])
    return s[colon + 1 : end], end


def _blob_key(channel: str, version: str | int | float) -> str:
    tag = "s" if type(version) is str else "i" if type(version) is int else "f"
    return f"{len(channel)}:{channel}{tag}{version!r}" if tag == "f" else f"{len(channel)}:{channel}{tag}{version}"


def _plain(v: Any, depth: int = 0) -> bool:
    """Whether the codec gives `v` back as an equal value of the same types."""
    t = type(v)
    if t is str or t is bool or t is float or t is bytes or v is None:
        return True
    if t is int:
        return v in _INT64
    if depth >= 100:
        return False
    if t is list:
        return all(_plain(x, depth + 1) for x in v)
    if t is dict:
        return all(type(k) is str and _plain(x, depth + 1) for k, x in v.items())
    return False


class _Names:
    __slots__ = ("ckpt", "blob", "writes")

    def __init__(self, t: str, ns: str) -> None:
        tail = t + _lp(ns, "checkpoint_ns")
        self.ckpt = _CKPT + tail
        self.blob = _BLOB + tail
        self.writes = _WRITES + tail


class QuorvalentSaver(BaseCheckpointSaver[str]):
    """A LangGraph checkpointer that keeps checkpoints, channel values and pending writes
    in a quorvalent `Store`.

    ``store``: the store to use (a new one if omitted); it may hold other data as long as
    no namespace of its own starts with ``langgraph/``. Since everything lives in the
    store, ``store.snapshot()`` captures every thread at once and ``store.restore(s)``
    takes every thread back with it (restore while no graph runs on the saver).

    Thread-safe: any number of OS threads may drive their own LangGraph threads through
    one saver. Changes to one thread are serialized by a lock striped over thread ids, so
    share the saver, not just the store, between the threads that write it. Readers take
    no lock: a checkpoint record is written after the values it reads and deleted before
    them, and a reader that then misses a value checks whether the record went away.

    ``copy_thread(source, target)`` makes the target an exact copy of the source (what
    the target held before is replaced), in time independent of the thread's length.
    ``prune(..., strategy="keep_latest")`` keeps the newest checkpoint of every checkpoint
    namespace; it is not aware of LangGraph's beta ``DeltaChannel`` (do not prune threads
    whose graph uses one). Metadata the store's codec holds exactly is stored as itself;
    other metadata (datetimes, sets, tuples, ...) goes through the serializer.
    """

    store: Store

    def __init__(self, store: Store | None = None, *, serde: SerializerProtocol | None = None) -> None:
        super().__init__(serde=serde)
        self.store = Store() if store is None else store
        self._locks = [threading.Lock() for _ in range(_STRIPES)]

    def _lock(self, t: str) -> threading.Lock:
        return self._locks[hash(t) % _STRIPES]

    # -- reading ---------------------------------------------------------------------

    def _tuple(
        self, thread_id: str, ns: str, cid: str, rec: _Record, got: _Record, at: int
    ) -> CheckpointTuple | None:
        """Build a tuple from a record and its values (`got[at:]`: blobs, then writes)."""
        parent, ck_type, ck_bytes, md_plain, md, refs = rec
        loads = self.serde.loads_typed
        values: dict[str, Any] = {}
        for channel in refs:
            blob = got[at]
            at += 1
            if blob:  # [] marks a channel that was emptied, None a version never stored
                values[channel] = loads((blob[0], blob[1]))
        checkpoint: Checkpoint = loads((ck_type, ck_bytes))
        checkpoint["channel_values"] = values
        writes = got[at] or ()
        return CheckpointTuple(
            config={"configurable": {"thread_id": thread_id, "checkpoint_ns": ns, "checkpoint_id": cid}},
            checkpoint=checkpoint,
            metadata=md if md_plain else loads((md[0], md[1])),
            parent_config=(
                {"configurable": {"thread_id": thread_id, "checkpoint_ns": ns, "checkpoint_id": parent}}
                if parent
                else None
            ),
            pending_writes=[(w[1], w[3], loads((w[4], w[5]))) for w in writes],
        )

    def _load(
        self, thread_id: str, ns: str, names: _Names, found: _Found
    ) -> _TupleList:
        """Read the blobs and writes of records in one round trip and build the tuples."""
        pairs: list[tuple[str, str]] = []
        blob_ns, writes_ns = names.blob, names.writes
        for cid, rec in found:
            refs = rec[5]
            pairs.extend((blob_ns, refs[ch]) for ch in refs)
            pairs.append((writes_ns, cid))
        got = self.store.get_many(pairs)
        out: _TupleList = []
        at = 0
        for cid, rec in found:
            refs = rec[5]
            n = len(refs)
            # A missing value is either a version never stored (skipped, as LangGraph's
            # own savers do) or the sign that a delete removed the record first.
            if None in got[at : at + n] and not self.store.contains(names.ckpt, cid):
                at += n + 1
                continue
            tup = self._tuple(thread_id, ns, cid, rec, got, at)
            at += n + 1
            if tup is not None:
                out.append(tup)
        return out

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        conf = config["configurable"]
        thread_id = conf["thread_id"]
        ns = conf.get("checkpoint_ns", "")
        names = _Names(_lp(_thread(thread_id), "thread_id"), ns)
        store = self.store
        cid = get_checkpoint_id(config)
        while True:
            if cid is None:
                newest = store.max_key(names.ckpt)
                if newest is None:
                    return None
                rec = store.get(names.ckpt, newest)
                if rec is None:
                    continue  # deleted between the two reads
                found = self._load(thread_id, ns, names, [(newest, rec)])
                if found:
                    return found[0]
            else:
                rec = store.get(names.ckpt, cid)
                if rec is None:
                    return None
                found = self._load(thread_id, ns, names, [(cid, rec)])
                tup = found[0] if found else None
                if tup is not None:
                    tup = tup._replace(config=config)
                return tup

    def _thread_ids(self) -> _Strs:
        out = []
        for name in self.store.namespaces(_INDEX):
            out.append(_unlp(name, len(_INDEX))[0])
        out.sort()
        return out

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        store = self.store
        if config is not None:
            conf = config["configurable"]
            threads = [conf["thread_id"]]
            only_ns = conf.get("checkpoint_ns")
            only_id = get_checkpoint_id(config)
        else:
            threads, only_ns, only_id = self._thread_ids(), None, None
        before_id = get_checkpoint_id(before) if before else None
        if limit is not None and limit <= 0:
            return
        loads = self.serde.loads_typed
        for thread_id in threads:
            t = _lp(_thread(thread_id), "thread_id")
            nss = [only_ns] if only_ns is not None else sorted(store.keys(_INDEX + t))
            for ns in nss:
                names = _Names(t, ns)
                if only_id is not None:
                    ids = [only_id] if before_id is None or only_id < before_id else []
                else:
                    ids = store.scan(
                        names.ckpt, stop=before_id, reverse=True, limit=None if filter else limit
                    )
                for start in range(0, len(ids), _CHUNK):
                    chunk = ids[start : start + _CHUNK]
                    recs = store.get_many([(names.ckpt, cid) for cid in chunk])
                    found = []
                    for cid, rec in zip(chunk, recs):
                        if rec is None:
                            continue
                        if filter:
                            md = rec[4] if rec[3] else loads((rec[4][0], rec[4][1]))
                            if not all(v == md.get(k) for k, v in filter.items()):
                                continue
                        found.append((cid, rec))
                        if limit is not None and len(found) >= limit:
                            break
                    for tup in self._load(thread_id, ns, names, found):
                        yield tup
                        if limit is not None:
                            limit -= 1
                            if limit <= 0:
                                return

    # -- writing ---------------------------------------------------------------------

    def put(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        conf = config["configurable"]
        thread_id = conf["thread_id"]
        ns = conf.get("checkpoint_ns", "")
        t = _lp(_thread(thread_id), "thread_id")
        names = _Names(t, ns)
        dumps = self.serde.dumps_typed
        c = dict(checkpoint)
        values: dict[str, Any] = c.pop("channel_values")  # type: ignore[assignment]
        items: _Items = [(_INDEX + t, ns, None)]
        blob_ns = names.blob
        for channel, version in new_versions.items():
            items.append(
                (blob_ns, _blob_key(channel, version), dumps(values[channel]) if channel in values else [])
            )
        refs = {ch: _blob_key(ch, v) for ch, v in checkpoint["channel_versions"].items()}
        md = get_checkpoint_metadata(config, metadata)
        md_plain = _plain(md)
        ck_type, ck_bytes = dumps(c)
        record = (conf.get("checkpoint_id"), ck_type, ck_bytes, md_plain, md if md_plain else dumps(md), refs)
        cid = checkpoint["id"]
        with self._lock(t):
            # Values (and the index entry) land before the record that reads them.
            self.store.set_many(items)
            self.store.set(names.ckpt, cid, record)
        return {"configurable": {"thread_id": thread_id, "checkpoint_ns": ns, "checkpoint_id": cid}}

    def put_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        conf = config["configurable"]
        t = _lp(_thread(conf["thread_id"]), "thread_id")
        ns = conf.get("checkpoint_ns", "")
        cid = conf["checkpoint_id"]
        names = _Names(t, ns)
        dumps = self.serde.dumps_typed
        new = []
        for idx, (channel, value) in enumerate(writes):
            new.append((WRITES_IDX_MAP.get(channel, idx), channel, value))
        with self._lock(t):
            stored = self.store.get(names.writes, cid) or []
            by_key = {(w[1], w[2]): w for w in stored}
            for idx, channel, value in new:
                if idx >= 0 and (task_id, idx) in by_key:
                    continue  # a retried task's regular writes are kept from its first run
                type_, data = dumps(value)
                by_key[(task_id, idx)] = [task_path, task_id, idx, channel, type_, data]
            entry = sorted(by_key.values(), key=lambda w: (w[0], w[1], w[2]))
            self.store.set_many([(_INDEX + t, ns, None), (names.writes, cid, entry)])

    # -- deleting and copying --------------------------------------------------------

    def _drop(self, t: str, ns: str) -> None:
        names = _Names(t, ns)
        store = self.store
        store.drop_namespace(names.ckpt)
        store.drop_namespace(names.writes)
        store.drop_namespace(names.blob)
        store.delete(_INDEX + t, ns)

    def delete_thread(self, thread_id: str) -> None:
        t = _lp(_thread(thread_id), "thread_id")
        with self._lock(t):
            for ns in self.store.keys(_INDEX + t):
                self._drop(t, ns)

    def _delete_where(self, t: str, doomed: Callable[[str, _Record], bool]) -> None:
        """Delete the records `doomed` picks, their writes, and every value that no
        remaining record of their checkpoint namespace reads (caller holds the lock)."""
        store = self.store
        for ns in store.keys(_INDEX + t):
            names = _Names(t, ns)
            cids = store.keys(names.ckpt)
            recs = store.get_many([(names.ckpt, cid) for cid in cids])
            gone = [cid for cid, rec in zip(cids, recs) if rec is not None and doomed(cid, rec)]
            if not gone:
                continue
            if len(gone) == len(cids):
                self._drop(t, ns)
                continue
            for cid in gone:
                store.delete(names.ckpt, cid)
            for cid in gone:
                store.delete(names.writes, cid)
            gone_set = set(gone)
            live: set[str] = set()
            for cid, rec in zip(cids, recs):
                if rec is not None and cid not in gone_set:
                    live.update(rec[5].values())
            for key in store.keys(names.blob):
                if key not in live:
                    store.delete(names.blob, key)

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        runs = set(run_ids)
        if not runs:
            return
        loads = self.serde.loads_typed

        def doomed(cid: str, rec: _Record) -> bool:
            md = rec[4] if rec[3] else loads((rec[4][0], rec[4][1]))
            return md.get("run_id") in runs

        for thread_id in self._thread_ids():
            t = _lp(thread_id, "thread_id")
            with self._lock(t):
                self._delete_where(t, doomed)

    def prune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        if strategy not in ("keep_latest", "delete"):
            raise ValueError(f"unknown prune strategy {strategy!r} (expected 'keep_latest' or 'delete')")
        for thread_id in thread_ids:
            if strategy == "delete":
                self.delete_thread(thread_id)
                continue
            t = _lp(_thread(thread_id), "thread_id")
            with self._lock(t):
                for ns in self.store.keys(_INDEX + t):
                    newest = self.store.max_key(_Names(t, ns).ckpt)
                    self._delete_where_ns(t, ns, newest)

    def _delete_where_ns(self, t: str, ns: str, keep: str | None) -> None:
        store = self.store
        names = _Names(t, ns)
        if keep is None:
            self._drop(t, ns)
            return
        kept = store.get(names.ckpt, keep)
        for cid in store.keys(names.ckpt):
            if cid != keep:
                store.delete(names.ckpt, cid)
        for cid in store.keys(names.writes):
            if cid != keep:
                store.delete(names.writes, cid)
        live = set(kept[5].values()) if kept is not None else set()
        for key in store.keys(names.blob):
            if key not in live:
                store.delete(names.blob, key)

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        src = _lp(_thread(source_thread_id), "thread_id")
        dst = _lp(_thread(target_thread_id), "thread_id")
        if src == dst:
            return
        first, second = sorted((hash(src) % _STRIPES, hash(dst) % _STRIPES))
        with self._locks[first], self._locks[second] if second != first else _NoLock():
            store = self.store
            src_nss = store.keys(_INDEX + src)
            for ns in store.keys(_INDEX + dst):
                if ns not in src_nss:
                    self._drop(dst, ns)
            for ns in src_nss:
                a, b = _Names(src, ns), _Names(dst, ns)
                # Values and writes first, records last, as a put does.
                store.copy_namespace(a.blob, b.blob)
                store.copy_namespace(a.writes, b.writes)
                store.copy_namespace(a.ckpt, b.ckpt)
            store.copy_namespace(_INDEX + src, _INDEX + dst)

    # -- versions and async twins ----------------------------------------------------

    def get_next_version(self, current: str | None, channel: None) -> str:
        # The random part keeps a fork's new versions apart from the versions that the
        # original branch wrote after the fork point (values are keyed by version).
        if current is None:
            current_v = 0
        elif isinstance(current, int):
            current_v = current
        else:
            current_v = int(current.split(".")[0])
        return f"{current_v + 1:032}.{random.random():016}"

    async def aget_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        return self.get_tuple(config)

    async def alist(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> AsyncIterator[CheckpointTuple]:
        for item in self.list(config, filter=filter, before=before, limit=limit):
            yield item

    async def aput(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        return self.put(config, checkpoint, metadata, new_versions)

    async def aput_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        self.put_writes(config, writes, task_id, task_path)

    async def adelete_thread(self, thread_id: str) -> None:
        self.delete_thread(thread_id)

    async def adelete_for_runs(self, run_ids: Sequence[str]) -> None:
        self.delete_for_runs(run_ids)

    async def acopy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        self.copy_thread(source_thread_id, target_thread_id)

    async def aprune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        self.prune(thread_ids, strategy=strategy)


class _NoLock:
    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc: object) -> None:
        return None


def router(graph: HandoffGraph, node: str) -> Callable[[Any], str]:
    """A router for ``StateGraph.add_conditional_edges(node, router(graph, node))``.

    Routes the state with ``graph.route(node, state)`` and returns LangGraph's ``END``
    when no edge of `node` matches. A dict state (the usual ``TypedDict`` state) is
    routed as it is; a pydantic model is routed as its ``model_dump()`` and a dataclass
    as ``dataclasses.asdict``; any other state is handed to ``route`` unchanged, which
    reads it as the codec would (and raises TypeError for types it does not know).
    """
    from langgraph.graph import END

    route = graph.route

    def route_state(state: Any) -> str:
        if type(state) is not dict:
            if hasattr(state, "model_dump"):
                state = state.model_dump()
            elif dataclasses.is_dataclass(state) and not isinstance(state, type):
                state = dataclasses.asdict(state)
        target = route(node, state)
        return END if target is None else target

    route_state.__name__ = f"route_{node}"
    return route_state
