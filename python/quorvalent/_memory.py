"""LangGraph's long-term memory on quorvalent: `QuorvalentStore`, a `BaseStore` whose
items live in a `Store`. Import it from `quorvalent.langgraph`.

Layout in the store. ``lp(s)`` is ``f"{len(s)}:{s}"``, a prefix-free encoding, and a
namespace tuple's encoding ``ns`` is the concatenation of its labels' ``lp``, so no tuple
can pass for another: ``("a", "b")`` is ``1:a1:b``, ``("a|b",)`` is ``3:a|b``, ``("a", "")``
is ``1:a0:``, and a tuple is a prefix of another exactly when its encoding is.

- ``langgraph/store/n/{ns}``: the items, keyed by item key. A store namespace exists
  exactly while it holds a key, so ``Store.namespaces(prefix)`` lists the memory
  namespaces under a prefix and ``in`` tells whether one still holds an item, without
  reading any value. A record is ``[seq, ver, expires, ttl, value]``, or
  ``[seq, ver, expires, ttl, type, bytes]`` for a value the codec cannot hold exactly (it
  went through the serializer). ``seq`` fixes the item's place in search order (when it
  was created), ``ver`` is when it was last put (both nanoseconds since the epoch, from a
  clock that never repeats); ``expires`` is microseconds since the epoch and ``ttl``
  minutes, or both ``None``.
- ``langgraph/store/o/{ns}``: search order. ``{seq:016x}{key}`` per item, so
  ``Store.scan`` gives the items in order, and ``""``: when the namespace got its first
  item, its place among namespaces.
- ``langgraph/store/v/{ns}``: ``[ver, {path: vector}]`` per item with embeddings, for the
  item's put ``ver``.
- ``langgraph/store/ttl``: ``{expires:016x}{ver:016x}{lp(ns)}{key}`` per item that expires,
  so a sweep scans only what is due.

The record is the truth. What is derived from it (order, embeddings, expiry) is written
before it and removed after it, and readers skip whatever does not match its record, so a
snapshot taken in the middle of a change restores to a consistent memory.
"""

from __future__ import annotations

import concurrent.futures
import logging
import math
import threading
import time
from collections.abc import Collection, Iterable
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any

from langchain_core.embeddings import Embeddings
from langgraph.checkpoint.serde.base import SerializerProtocol
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer
from langgraph.store.base import (
    BaseStore,
    GetOp,
    IndexConfig,
    InvalidNamespaceError,
    Item,
    ListNamespacesOp,
    MatchCondition,
    Op,
    PutOp,
    Result,
    SearchItem,
    SearchOp,
    TTLConfig,
    ensure_embeddings,
    get_text_at_path,
    tokenize_path,
)

from quorvalent._core import Store
from quorvalent.persist import DurableStore

if TYPE_CHECKING:
    from quorvalent._durable_saver import SaverContext

__all__ = ["QuorvalentStore"]

logger = logging.getLogger(__name__)

_REC = "langgraph/store/n/"
_ORD = "langgraph/store/o/"
_VEC = "langgraph/store/v/"
_TTL = "langgraph/store/ttl"
_STRIPES = 64
_CHUNK = 256  # order entries read per store round trip while searching
_NAMES_CACHE = 4096
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MAX_US = 16**16  # expiry times have 16 hex digits in the index
_MAX_NS = 2**63  # after every clock value
_SCALARS = frozenset((bool, float, bytes, type(None)))
_OPS = frozenset(("$eq", "$ne", "$gt", "$gte", "$lt", "$lte"))

# ns (the namespace's encoding), key, the item's put, its value as stored (None: delete)
_Put = tuple[str, str, PutOp, list[Any] | None]
_Vectors = dict[tuple[str, str], dict[str, list[float]]]
_Rec = list[Any]


def _storable(s: str) -> bool:
    if s.isascii():
        return True
    try:
        s.encode()
    except UnicodeEncodeError:
        return False
    return True


def _encode(namespace: tuple[str, ...]) -> str:
    """The namespace's part of its store name; ValueError for labels it cannot hold."""
    parts = []
    for label in namespace:
        if type(label) is not str and isinstance(label, str):
            label = str.__str__(label)  # a str subclass (a StrEnum) stands for its text
        if type(label) is not str:
            raise InvalidNamespaceError(
                f"Invalid namespace label {label!r} found in {namespace!r}. "
                f"Namespace labels must be strings, but got {type(label).__name__}."
            )
        if not _storable(label):
            raise InvalidNamespaceError(
                f"Namespace label {label!r} in {namespace!r} cannot be stored: "
                "it is not valid Unicode text (it holds a lone surrogate)"
            )
        parts.append(f"{len(label)}:{label}")
    return "".join(parts)


def _decode(enc: str) -> tuple[str, ...]:
    out = []
    at = 0
    while at < len(enc):
        colon = enc.index(":", at)
        end = colon + 1 + int(enc[at:colon])
        out.append(enc[colon + 1 : end])
        at = end
    return tuple(out)


def _exact(v: Any, depth: int = 0) -> bool:
    """Whether the codec takes `v` and gives it back as an equal value of the same types."""
    t = type(v)
    if t in _SCALARS:
        return True
    if t is str:
        return v.isascii() or _storable(v)
    if t is int:
        return bool(-(2**63) <= v < 2**63)
    if depth >= 100:
        return False
    if t is dict:
        for k, x in v.items():
            if type(k) is not str or not (k.isascii() or _storable(k)):
                return False
            if not (type(x) in _SCALARS or _exact(x, depth + 1)):
                return False
        return True
    if t is list:
        for x in v:
            if not (type(x) in _SCALARS or _exact(x, depth + 1)):
                return False
        return True
    return False


def _bad_text(v: Any, depth: int = 0) -> bool:
    """Whether `v` holds a str that is not valid Unicode, which the serializer would turn
    into "?" without a word."""
    if isinstance(v, str):
        return not _storable(v)
    if depth >= 100:
        return False
    if isinstance(v, dict):
        return any(_bad_text(k, depth + 1) or _bad_text(x, depth + 1) for k, x in v.items())
    if isinstance(v, (list, tuple, set, frozenset)):
        return any(_bad_text(x, depth + 1) for x in v)
    return False


def _at(ver: int) -> datetime:
    return _EPOCH + timedelta(microseconds=ver // 1000)


def _expiry_key(expires: int, ver: int, ns: str, key: str) -> str:
    return f"{expires:016x}{ver:016x}{len(ns)}:{ns}{key}"


def _parse_expiry_key(ek: str) -> tuple[int, int, str, str]:
    colon = ek.index(":", 32)
    end = colon + 1 + int(ek[32:colon])
    return int(ek[:16], 16), int(ek[16:32], 16), ek[colon + 1 : end], ek[end:]


def _matches(value: Any, want: Any) -> bool:
    """A filter's condition against one field, as `InMemoryStore` reads it, except that a
    field that is missing or not a number fails a comparison instead of raising."""
    if isinstance(want, dict):
        if any(type(k) is str and k.startswith("$") for k in want):
            return all(_compare(value, op, arg) for op, arg in want.items())
        if not isinstance(value, dict):
            return False
        return all(_matches(value.get(k), w) for k, w in want.items())
    if isinstance(want, (list, tuple)):
        return (
            isinstance(value, (list, tuple))
            and len(value) == len(want)
            and all(_matches(v, w) for v, w in zip(value, want))
        )
    return bool(value == want)


def _compare(value: Any, op: str, arg: Any) -> bool:
    if op == "$eq":
        return bool(value == arg)
    if op == "$ne":
        return bool(value != arg)
    try:
        a, b = float(value), float(arg)
    except (TypeError, ValueError):
        return False
    if op == "$gt":
        return a > b
    if op == "$gte":
        return a >= b
    if op == "$lt":
        return a < b
    return a <= b  # "$lte": the filter was checked before the search


def _check_filter(want: Any) -> None:
    if isinstance(want, dict):
        if any(type(k) is str and k.startswith("$") for k in want):
            for op in want:
                if op not in _OPS:
                    raise ValueError(f"Unsupported operator: {op}")
        else:
            for w in want.values():
                _check_filter(w)
    elif isinstance(want, (list, tuple)):
        for w in want:
            _check_filter(w)


def _ns_matches(cond: MatchCondition, ns: tuple[str, ...]) -> bool:
    path = cond.path
    if len(ns) < len(path):
        return False
    if cond.match_type == "prefix":
        pairs = zip(ns, path)
    elif cond.match_type == "suffix":
        pairs = zip(reversed(ns), reversed(path))
    else:
        raise ValueError(f"Unsupported match type: {cond.match_type}")
    return all(p == "*" or label == p for label, p in pairs)


def _cosine(query: list[float], vectors: list[list[float]]) -> list[float]:
    qn = math.sqrt(sum(a * a for a in query))
    out = []
    for v in vectors:
        vn = math.sqrt(sum(a * a for a in v))
        out.append(sum(a * b for a, b in zip(query, v)) / (qn * vn) if qn > 0 and vn > 0 else 0.0)
    return out


class QuorvalentStore(BaseStore):
    """LangGraph's long-term memory (``compile(store=...)``) in a quorvalent `Store`.

    ``store``: the store to keep the items in (a new one if omitted); it may hold other
    data, the checkpoints of a `QuorvalentSaver` among them, as long as no namespace of its
    own starts with ``langgraph/``. Everything lives in the store: ``store.snapshot()``
    captures the memory with every thread, and ``store.restore(s)`` takes it back
    (restore while nothing writes to the memory). A plain `Store` lives in this process's
    memory and is lost when it exits; a `quorvalent.persist.DurableStore` (or
    ``QuorvalentStore.from_conn_string("sqlite:///memory.db")``) keeps the items in a
    database: namespaces load when first read, every read sees what other processes
    committed before it, and every change is committed before the call returns.

    Behaves as LangGraph's ``InMemoryStore``: the same results in the same order
    (``search`` lists namespaces in the order they got their first item and, within one,
    items in the order they were created, an overwrite keeping its place), the same
    ``created_at`` / ``updated_at`` (both the time of the item's last put), the same
    ``filter`` operators, ``limit`` / ``offset`` and ``list_namespaces``. Where it differs,
    it does so on purpose:

    - a namespace is listed while it holds an item (``InMemoryStore`` also lists one that
      was only read, or whose items were all deleted);
    - values come back as new objects: a value the codec holds exactly (None, bool, int,
      float, str, bytes, and lists and str-keyed dicts of them) is stored as itself, any
      other (tuples, datetimes, sets, models, ...) goes through ``serde`` (LangGraph's
      ``JsonPlusSerializer`` by default), which gives tuples back as lists; a value that
      neither can hold raises TypeError and stores nothing;
    - a comparison operator (``$gt`` ...) on a field that is missing or not a number does
      not match (``InMemoryStore`` raises); an unknown operator raises ValueError even
      when nothing is stored;
    - a batch whose ops fail validation changes nothing.

    TTL (``supports_ttl``; ``InMemoryStore`` has none) works as LangGraph's ``SqliteStore``
    and ``PostgresStore``: ``put(..., ttl=minutes)`` (or ``ttl={"default_ttl": ...}``)
    makes an item expire that long after its last put or, with ``refresh_ttl`` (the
    default; ``ttl={"refresh_on_read": False}`` turns it off), its last read. Expired
    items are deleted by ``sweep_ttl()``, which reads only the items that are due, or
    every ``sweep_interval_minutes`` by ``start_ttl_sweeper()``; until then they are still
    found.

    Semantic search with ``index={"dims": ..., "embed": ..., "fields": [...]}`` works as
    ``InMemoryStore``'s: the embeddings are kept in the store, and ``search(query=...)``
    scores every item under the namespace prefix by cosine similarity (exact, no
    approximate index, so it reads every candidate's vectors). Without ``index``, a
    ``query`` is ignored and ``index`` arguments have no effect, as in ``InMemoryStore``.
    A put made without embeddings (``index=False``, or no text at its fields) drops the
    item's earlier embeddings (``InMemoryStore`` keeps scoring it by them).

    Thread-safe: any number of OS threads may use one QuorvalentStore; writers of one
    namespace take a lock striped over namespaces (so share this object, not just the
    store), readers take none.
    """

    supports_ttl = True

    @classmethod
    def from_conn_string(
        cls,
        conn_string: str,
        *,
        index: IndexConfig | None = None,
        ttl: TTLConfig | None = None,
        serde: SerializerProtocol | None = None,
        synchronous: str = "full",
    ) -> SaverContext:
        """A durable memory store on the database at `conn_string` (``sqlite:///path.db``
        or a bare file path), for ``with`` or ``async with``; closed when the block ends."""
        from quorvalent._durable_saver import SaverContext

        return SaverContext(
            conn_string, lambda db: cls(db, index=index, ttl=ttl, serde=serde), {"synchronous": synchronous}
        )

    def __init__(
        self,
        store: Store | DurableStore | None = None,
        *,
        index: IndexConfig | None = None,
        ttl: TTLConfig | None = None,
        serde: SerializerProtocol | None = None,
    ) -> None:
        self._db = store if isinstance(store, DurableStore) else None
        self.store: Store = Store() if store is None else store.store if isinstance(store, DurableStore) else store
        self.serde: SerializerProtocol = JsonPlusSerializer() if serde is None else serde
        self.ttl_config = ttl
        self.index_config: IndexConfig | None = None
        self.embeddings: Embeddings | None = None
        self._fields: list[tuple[str, Any]] = []
        if index:
            self.index_config = index.copy()
            self.embeddings = ensure_embeddings(index.get("embed"))
            self._fields = [(p, tokenize_path(p) if p != "$" else p) for p in (index.get("fields") or ["$"])]
        self._locks = [threading.Lock() for _ in range(_STRIPES)]
        self._clock_lock = threading.Lock()
        self._last = 0
        # Encodings both ways; names only, never contents, so a restore cannot stale them.
        self._encodings: dict[tuple[str, ...], str] = {}
        self._decoded: dict[str, tuple[str, ...]] = {}
        self._sweeper: threading.Thread | None = None
        self._stop = threading.Event()

    # -- store access: every read of the store's contents goes through these --------------

    def _load(self, names: Iterable[str]) -> None:
        """Bring these store namespaces in before they are read (a no-op in memory)."""
        if self._db is not None:
            self._db.refresh()
            self._db.load(*names)

    def _namespaces(self, prefix: str) -> list[str]:
        """The store namespaces under `prefix` (in a database, loaded or not)."""
        if self._db is not None:
            self._db.refresh()
            return self._db.namespaces(prefix)
        return self.store.namespaces(prefix)

    def _commit(self) -> None:
        """Make the changes just written durable (a no-op in memory)."""
        if self._db is not None:
            self._db.commit()

    # -- names, locks, clock -------------------------------------------------------------

    def _ns(self, namespace: tuple[str, ...]) -> str:
        ns = self._encodings.get(namespace)
        if ns is None:
            ns = _encode(namespace)
            if len(self._encodings) >= _NAMES_CACHE:
                self._encodings.clear()
            self._encodings[namespace] = ns
        return ns

    def _tuple(self, ns: str) -> tuple[str, ...]:
        namespace = self._decoded.get(ns)
        if namespace is None:
            namespace = _decode(ns)
            if len(self._decoded) >= _NAMES_CACHE:
                self._decoded.clear()
            self._decoded[ns] = namespace
        return namespace

    def _lookup(self, namespace: Any, key: Any) -> str | None:
        """The encoding to read `(namespace, key)` under, or None where nothing can be."""
        try:
            ns = self._ns(tuple(namespace))
        except (ValueError, TypeError):
            return None
        return ns if isinstance(key, str) and _storable(key) else None

    def _acquire(self, nss: Collection[str]) -> list[threading.Lock]:
        if len(nss) == 1:
            for ns in nss:
                locks = [self._locks[hash(ns) % _STRIPES]]
        else:
            locks = [self._locks[i] for i in sorted({hash(ns) % _STRIPES for ns in nss})]
        for lock in locks:
            lock.acquire()
        return locks

    @staticmethod
    def _release(locks: list[threading.Lock]) -> None:
        for lock in reversed(locks):
            lock.release()

    def _tick(self, n: int) -> int:
        """The first of `n` fresh clock values (nanoseconds; never repeated)."""
        with self._clock_lock:
            first = max(time.time_ns(), self._last + 1)
            self._last = first + n - 1
        return first

    def _value(self, rec: _Rec) -> Any:
        return rec[4] if len(rec) == 5 else self.serde.loads_typed((rec[4], rec[5]))

    # -- batches -------------------------------------------------------------------------

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        if type(ops) is list and len(ops) == 1 and type(ops[0]) is GetOp:
            return [self._get_one(ops[0])]  # what `get` asks for, without the batch
        ops = list(ops)
        puts = self._check(ops)
        vectors: _Vectors = {}
        queries: dict[str, list[float]] = {}
        if self.embeddings is not None:
            texts = self._texts(puts)
            if texts:
                vectors = self._place(texts, self.embeddings.embed_documents(list(texts)))
            queries = {q: self.embeddings.embed_query(q) for q in self._queries(ops)}
        return self._run(ops, puts, vectors, queries)

    async def abatch(self, ops: Iterable[Op]) -> list[Result]:
        ops = list(ops)
        puts = self._check(ops)
        vectors: _Vectors = {}
        queries: dict[str, list[float]] = {}
        if self.embeddings is not None:
            texts = self._texts(puts)
            if texts:
                vectors = self._place(texts, await self.embeddings.aembed_documents(list(texts)))
            for q in self._queries(ops):
                queries[q] = await self.embeddings.aembed_query(q)
        return self._run(ops, puts, vectors, queries)

    def _check(self, ops: list[Op]) -> list[_Put]:
        """Every op checked and every value encoded before anything is read or written;
        returns the puts, one per item (the last wins, in the order of the item's first)."""
        latest: dict[tuple[Any, Any], PutOp] = {}
        for op in ops:
            if isinstance(op, PutOp):
                latest[(op.namespace, op.key)] = op
            elif isinstance(op, SearchOp):
                _check_filter(op.filter)
            elif isinstance(op, ListNamespacesOp):
                for cond in op.match_conditions or ():
                    if cond.match_type not in ("prefix", "suffix"):
                        raise ValueError(f"Unsupported match type: {cond.match_type}")
            elif not isinstance(op, GetOp):
                raise ValueError(f"Unknown operation type: {type(op)}")
        puts: list[_Put] = []
        for (namespace, key), op in latest.items():
            if op.value is None:
                # Where a namespace or key cannot be stored, nothing is there to delete.
                if (found := self._lookup(namespace, key)) is not None:
                    puts.append((found, str.__str__(key), op, None))
                continue
            ns = self._ns(tuple(namespace))
            if not isinstance(key, str):
                raise TypeError(f"item keys must be str, not {type(key).__name__}")
            key = str.__str__(key)
            if not _storable(key):
                raise ValueError(f"item key {key!r} cannot be stored: it holds a lone surrogate")
            if op.ttl is not None and (not isinstance(op.ttl, (int, float)) or not math.isfinite(op.ttl)):
                raise ValueError(f"ttl must be a finite number of minutes or None, not {op.ttl!r}")
            value = dict(op.value)
            if _exact(value):
                stored: list[Any] = [value]
            elif _bad_text(value):
                raise ValueError(
                    f"the value of item {key!r} in {tuple(namespace)!r} cannot be stored: it "
                    "holds text that is not valid Unicode (a lone surrogate)"
                )
            else:
                try:
                    stored = list(self.serde.dumps_typed(value))
                except Exception as e:
                    raise TypeError(
                        f"the value of item {key!r} in {tuple(namespace)!r} cannot be stored: {e}"
                    ) from e
            puts.append((ns, key, op, stored))
        return puts

    def _run(
        self, ops: list[Op], puts: list[_Put], vectors: _Vectors, queries: dict[str, list[float]]
    ) -> list[Result]:
        # Reads first, all of them before the batch's puts, as InMemoryStore does.
        results: list[Result] = [None] * len(ops)
        refresh: list[tuple[str, str, _Rec]] = []
        gets = [(i, op) for i, op in enumerate(ops) if isinstance(op, GetOp)]
        if gets:
            self._get(gets, results, refresh)
        for i, op in enumerate(ops):
            if isinstance(op, SearchOp):
                results[i] = self._search(op, queries.get(op.query) if op.query else None, refresh)
            elif isinstance(op, ListNamespacesOp):
                results[i] = self._list(op)
        if puts:
            self._put(puts, vectors)
        if refresh:
            self._refresh(refresh)
        return results

    # -- reading -------------------------------------------------------------------------

    def _get(self, gets: list[tuple[int, GetOp]], results: list[Result], refresh: list[tuple[str, str, _Rec]]) -> None:
        asked = [(i, op, ns) for i, op in gets if (ns := self._lookup(op.namespace, op.key)) is not None]
        self._load({_REC + ns for _, _, ns in asked})
        recs = self.store.get_many([(_REC + ns, op.key) for _, op, ns in asked])
        for (i, op, ns), rec in zip(asked, recs):
            if rec is None:
                continue
            at = _at(rec[1])
            results[i] = Item(value=self._value(rec), key=op.key, namespace=op.namespace, created_at=at, updated_at=at)
            if op.refresh_ttl and rec[3] is not None:
                refresh.append((ns, op.key, rec))

    def _get_one(self, op: GetOp) -> Item | None:
        ns = self._lookup(op.namespace, op.key)
        if ns is None:
            return None
        self._load((_REC + ns,))
        rec = self.store.get(_REC + ns, op.key)
        if rec is None:
            return None
        if op.refresh_ttl and rec[3] is not None:
            self._refresh([(ns, op.key, rec)])
        at = _at(rec[1])
        return Item(value=self._value(rec), key=op.key, namespace=op.namespace, created_at=at, updated_at=at)

    def _search(
        self, op: SearchOp, query: list[float] | None, refresh: list[tuple[str, str, _Rec]]
    ) -> list[SearchItem]:
        try:
            head = _REC + _encode(tuple(op.namespace_prefix))
        except ValueError:
            return []
        nss = [name[len(_REC) :] for name in self._namespaces(head)]
        if not nss:
            return []
        store = self.store
        self._load([_ORD + ns for ns in nss] + [_REC + ns for ns in nss])
        firsts = store.get_many([(_ORD + ns, "") for ns in nss])
        # A namespace caught between its first put and its place goes last.
        order = sorted([(_MAX_NS if f is None else f, ns) for ns, f in zip(nss, firsts)])
        wanted = list(op.filter.items()) if op.filter else None
        stop = op.offset + op.limit if query is None and min(op.offset, op.limit) >= 0 else None
        found: list[tuple[str, str, _Rec, Any]] = []  # ns, key, record, value
        stale: list[tuple[str, str]] = []
        for _, ns in order:
            start = "0"  # past the namespace's own entry ""
            while stop is None or len(found) < stop:
                # Without a filter, exactly the entries still wanted (more if some are stale).
                want = None if wanted or stop is None else stop - len(found)
                oks = store.scan(_ORD + ns, start=start, limit=want)
                for first in range(0, len(oks), _CHUNK):
                    chunk = oks[first : first + _CHUNK]
                    recs = store.get_many([(_REC + ns, ok[16:]) for ok in chunk])
                    for ok, rec in zip(chunk, recs):
                        if rec is None or f"{rec[0]:016x}" != ok[:16]:
                            stale.append((ns, ok))
                            continue
                        value = self._value(rec)
                        if wanted and not all(_matches(value.get(k), w) for k, w in wanted):
                            continue
                        found.append((ns, ok[16:], rec, value))
                        if len(found) == stop:
                            break
                    if len(found) == stop:
                        break
                if want is None or len(oks) < want:
                    break
                start = oks[-1] + "\0"
        if stale:
            self._clean(stale)
        if query is not None:
            kept = self._rank(op, query, found)
        else:
            kept = [(None, f) for f in found[op.offset : op.offset + op.limit]]
        out = []
        for score, (ns, key, rec, value) in kept:
            at = _at(rec[1])
            out.append(
                SearchItem(namespace=self._tuple(ns), key=key, value=value, created_at=at, updated_at=at, score=score)
            )
            if op.refresh_ttl and rec[3] is not None:
                refresh.append((ns, key, rec))
        return out

    def _rank(
        self, op: SearchOp, query: list[float], found: list[tuple[str, str, _Rec, Any]]
    ) -> list[tuple[float | None, tuple[str, str, _Rec, Any]]]:
        """InMemoryStore's ranking: every vector of an item scored, the item at its best
        score, then items without vectors to fill the page."""
        if not found:
            return []
        self._load({_VEC + f[0] for f in found})
        entries = self.store.get_many([(_VEC + ns, key) for ns, key, _, _ in found])
        flat_items, flat_vectors, scoreless = [], [], []
        for f, entry in zip(found, entries):
            vecs = list(entry[1].values()) if entry is not None and entry[0] == f[2][1] else []
            for v in vecs:
                flat_items.append(f)
                flat_vectors.append(v)
            if not vecs:
                scoreless.append(f)
        scored = sorted(zip(_cosine(query, flat_vectors), flat_items), key=lambda x: x[0], reverse=True)
        seen: set[tuple[str, str]] = set()
        kept: list[tuple[float | None, tuple[str, str, _Rec, Any]]] = []
        for score, f in scored:
            if (f[0], f[1]) in seen:
                continue
            ix = len(seen)
            seen.add((f[0], f[1]))
            if ix >= op.offset + op.limit:
                break
            if ix >= op.offset:
                kept.append((float(score), f))
        if scoreless and len(kept) < op.limit:
            kept.extend((None, f) for f in scoreless[: op.limit - len(kept)])
        return kept

    def _list(self, op: ListNamespacesOp) -> list[tuple[str, ...]]:
        conds = op.match_conditions or ()
        literal: list[str] = []
        for cond in conds:
            if cond.match_type == "prefix":
                for label in cond.path:
                    if label == "*":
                        break
                    literal.append(label)
                break
        try:
            head = _REC + _encode(tuple(literal))
        except ValueError:
            return []
        found = [self._tuple(name[len(_REC) :]) for name in self._namespaces(head)]
        if conds:
            found = [ns for ns in found if all(_ns_matches(c, ns) for c in conds)]
        if op.max_depth is not None:
            found = sorted({ns[: op.max_depth] for ns in found})
        else:
            found.sort()
        return found[op.offset : op.offset + op.limit]

    # -- writing -------------------------------------------------------------------------

    def _put(self, puts: list[_Put], vectors: _Vectors) -> None:
        store = self.store
        nss = list(dict.fromkeys(ns for ns, _, _, _ in puts))
        locks = self._acquire(nss)
        try:
            self._load([_REC + ns for ns in nss] + [_ORD + ns for ns in nss] + [_VEC + ns for ns in nss] + [_TTL])
            olds = store.get_many([(_REC + ns, key) for ns, key, _, _ in puts])
            had = dict(zip(nss, store.get_many([(_ORD + ns, "") for ns in nss])))
            first = self._tick(len(puts))
            now = first // 1000
            derived: list[tuple[str, str, Any]] = []  # order, embeddings, expiry: first
            records: list[tuple[str, str, Any]] = []
            after: list[tuple[str, str]] = []  # what the new records no longer read
            gone: dict[str, list[tuple[str, _Rec]]] = {}
            for n, ((ns, key, op, stored), old) in enumerate(zip(puts, olds)):
                if stored is None:
                    if old is not None:
                        gone.setdefault(ns, []).append((key, old))
                    continue
                ver = first + n
                if had[ns] is None:
                    had[ns] = ver
                    derived.append((_ORD + ns, "", ver))
                expires = None
                if op.ttl is not None:
                    expires = min(max(now + int(op.ttl * 60_000_000), 0), _MAX_US - 1)
                    derived.append((_TTL, _expiry_key(expires, ver, ns, key), True))
                if old is None:
                    seq = ver
                    derived.append((_ORD + ns, f"{seq:016x}{key}", True))
                else:
                    seq = old[0]
                    if old[2] is not None:
                        after.append((_TTL, _expiry_key(old[2], old[1], ns, key)))
                if vecs := vectors.get((ns, key)):
                    derived.append((_VEC + ns, key, [ver, vecs]))
                elif old is not None and self.embeddings is not None:
                    after.append((_VEC + ns, key))
                records.append((_REC + ns, key, [seq, ver, expires, op.ttl, *stored]))
            # _check let through only values the codec takes, so no write below fails.
            if derived:
                store.set_many(derived)
            store.set_many(records)
            for name, k in after:
                store.delete(name, k)
            for ns, dropped in gone.items():
                self._remove(ns, dropped)
        finally:
            self._release(locks)
        self._commit()

    def _remove(self, ns: str, dropped: list[tuple[str, _Rec]]) -> None:
        """Delete items and what derives from them (the caller holds the namespace's lock)."""
        store = self.store
        for key, _ in dropped:
            store.delete(_REC + ns, key)  # the record first, then what it implied
        if _REC + ns in store:
            for key, rec in dropped:
                store.delete(_ORD + ns, f"{rec[0]:016x}{key}")
                store.delete(_VEC + ns, key)
        else:
            store.drop_namespace(_ORD + ns)  # the last items: with anything stale in there
            store.drop_namespace(_VEC + ns)
        for key, rec in dropped:
            if rec[2] is not None:
                store.delete(_TTL, _expiry_key(rec[2], rec[1], ns, key))

    def _clean(self, stale: list[tuple[str, str]]) -> None:
        """Drop order entries whose item is gone (left by a change a snapshot cut short)."""
        store = self.store
        locks = self._acquire({ns for ns, _ in stale})
        try:
            recs = store.get_many([(_REC + ns, ok[16:]) for ns, ok in stale])
            for (ns, ok), rec in zip(stale, recs):
                if rec is None or f"{rec[0]:016x}" != ok[:16]:
                    store.delete(_ORD + ns, ok)
        finally:
            self._release(locks)
        self._commit()

    # -- TTL -----------------------------------------------------------------------------

    def _refresh(self, read: list[tuple[str, str, _Rec]]) -> None:
        store = self.store
        locks = self._acquire({ns for ns, _, _ in read})
        try:
            self._load([_TTL])
            recs = store.get_many([(_REC + ns, key) for ns, key, _ in read])
            now = time.time_ns() // 1000
            expiring, records, unexpiring = [], [], []
            done: set[tuple[str, str]] = set()
            for (ns, key, seen), rec in zip(read, recs):
                # Only the version that was read, once, and only if it still expires.
                if rec is None or rec[1] != seen[1] or rec[3] is None or (ns, key) in done:
                    continue
                done.add((ns, key))
                expires = min(max(now + int(rec[3] * 60_000_000), 0), _MAX_US - 1)
                if expires == rec[2]:
                    continue
                expiring.append((_TTL, _expiry_key(expires, rec[1], ns, key), True))
                if rec[2] is not None:
                    unexpiring.append(_expiry_key(rec[2], rec[1], ns, key))
                rec[2] = expires
                records.append((_REC + ns, key, rec))
            if records:
                store.set_many(expiring)
                store.set_many(records)
                for ek in unexpiring:
                    store.delete(_TTL, ek)
        finally:
            self._release(locks)
        if records:
            self._commit()

    def sweep_ttl(self) -> int:
        """Delete the items whose TTL has run out; returns how many."""
        store = self.store
        self._load([_TTL])
        deleted = 0
        while True:
            due = store.scan(_TTL, stop=f"{time.time_ns() // 1000:016x}", limit=_CHUNK)
            if not due:
                return deleted
            parsed = [_parse_expiry_key(ek) for ek in due]
            nss = {ns for _, _, ns, _ in parsed}
            locks = self._acquire(nss)
            try:
                self._load([_REC + ns for ns in nss] + [_ORD + ns for ns in nss] + [_VEC + ns for ns in nss])
                recs = store.get_many([(_REC + ns, key) for _, _, ns, key in parsed])
                gone: dict[str, list[tuple[str, _Rec]]] = {}
                for (expires, ver, ns, key), rec in zip(parsed, recs):
                    if rec is not None and rec[1] == ver and rec[2] == expires:
                        gone.setdefault(ns, []).append((key, rec))
                        deleted += 1
                for ns, dropped in gone.items():
                    self._remove(ns, dropped)
                for ek in due:
                    store.delete(_TTL, ek)  # also those that no record matches any more
            finally:
                self._release(locks)
            self._commit()
            if len(due) < _CHUNK:
                return deleted

    def start_ttl_sweeper(self, sweep_interval_minutes: float | None = None) -> concurrent.futures.Future[None]:
        """Run `sweep_ttl` every `sweep_interval_minutes` (else the TTL configuration's,
        else 5) on a daemon thread until `stop_ttl_sweeper`; does nothing without a TTL
        configuration. Returns a future that is done when the sweeper stops; cancelling it
        stops the sweeper."""
        future: concurrent.futures.Future[None] = concurrent.futures.Future()
        if not self.ttl_config:
            future.set_result(None)
            return future
        future.add_done_callback(lambda f: self._stop.set() if f.cancelled() else None)
        if self._sweeper is not None and self._sweeper.is_alive():
            return future
        self._stop.clear()
        interval = float(sweep_interval_minutes or self.ttl_config.get("sweep_interval_minutes") or 5)
        stop = self._stop

        def loop() -> None:
            while not stop.wait(interval * 60):
                try:
                    self.sweep_ttl()
                except Exception:
                    logger.exception("TTL sweep failed")
            if not future.done():
                future.set_result(None)

        self._sweeper = threading.Thread(target=loop, daemon=True, name="quorvalent-ttl-sweeper")
        self._sweeper.start()
        return future

    def stop_ttl_sweeper(self, timeout: float | None = None) -> bool:
        """Stop the sweeper thread; True once it has stopped (or was not running), False
        if `timeout` seconds passed first."""
        thread = self._sweeper
        if thread is None or not thread.is_alive():
            return True
        self._stop.set()
        thread.join(timeout)
        if thread.is_alive():
            return False
        self._sweeper = None
        return True

    # -- embeddings ----------------------------------------------------------------------

    def _texts(self, puts: list[_Put]) -> dict[str, list[tuple[str, str, str]]]:
        """Texts to embed, each with the (ns, key, path) places it goes to."""
        texts: dict[str, list[tuple[str, str, str]]] = {}
        for ns, key, op, stored in puts:
            if stored is None or op.index is False:
                continue
            paths = self._fields if op.index is None else [(p, tokenize_path(p)) for p in op.index]
            for path, field in paths:
                found = get_text_at_path(op.value, field)
                if len(found) > 1:
                    for i, text in enumerate(found):
                        texts.setdefault(text, []).append((ns, key, f"{path}.{i}"))
                elif found:
                    texts.setdefault(found[0], []).append((ns, key, path))
        return texts

    @staticmethod
    def _place(texts: dict[str, list[tuple[str, str, str]]], embedded: list[list[float]]) -> _Vectors:
        places = [place for where in texts.values() for place in where]
        if len(places) != len(embedded):
            raise ValueError(
                f"Number of embeddings ({len(embedded)}) does not match number of indices ({len(places)})"
            )
        out: _Vectors = {}
        for vector, (ns, key, path) in zip(embedded, places):
            out.setdefault((ns, key), {})[path] = [float(x) for x in vector]
        return out

    def _queries(self, ops: list[Op]) -> list[str]:
        return list(dict.fromkeys(op.query for op in ops if isinstance(op, SearchOp) and op.query))

    def __del__(self) -> None:
        if getattr(self, "_sweeper", None) is not None:
            self.stop_ttl_sweeper(timeout=0.1)
