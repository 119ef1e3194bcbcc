"""LangGraph's long-term memory on quorvalent: `QuorvalentStore`, a `BaseStore` whose
items live in a `Store`. Import it from `quorvalent.langgraph`.

Layout in the store. ``lp(s)`` is ``f"{len(s)}:{s}"``, a prefix-free encoding, and a
namespace tuple is the concatenation of its labels' ``lp``, so no tuple can pass for
another: ``("a", "b")`` is ``1:a1:b``, ``("a|b",)`` is ``3:a|b``, ``("a", "")`` is
``1:a0:``, and a tuple is a prefix of another exactly when its encoding is.

- ``langgraph/store/n/{lp(label)...}``: one store namespace per memory namespace. It exists
  exactly while it holds an item, so ``Store.namespaces(prefix)`` lists the memory
  namespaces under a prefix without reading any value. Its keys:

  - ``k{key}``: the item's record ``[seq, ver, expires, ttl, value]``, or
    ``[seq, ver, expires, ttl, type, bytes]`` for a value the codec cannot hold exactly
    (it went through the serializer). ``seq`` fixes the item's place in search order (when
    it was created), ``ver`` is when it was last put (both nanoseconds since the epoch,
    drawn from one clock that never repeats); ``expires`` is microseconds since the
    epoch and ``ttl`` minutes, or both ``None``.
  - ``o{seq:016x}{key}``: the item's place in search order, so ``Store.scan`` gives a
    namespace's items in order and a search stops once it has enough.
  - ``n``: when the namespace got its first item, its place in search order.
  - ``v{key}``: ``[ver, {path: vector}]``, the embeddings of the item's put ``ver``.

- ``langgraph/store/ttl``: a key ``{expires:016x}{ver:016x}{lp(name)}{key}`` for each item
  that expires (``name`` is the namespace's encoding), so a sweep scans only what is due.

The record is the truth. What is derived from it (order, embeddings, expiry entries) is
written with it or before it and removed after it, and readers skip whatever does not
match its record, so a snapshot taken in the middle of a change restores to a consistent
memory.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import math
import threading
import time
from collections.abc import Iterable, Iterator
from datetime import datetime, timedelta, timezone
from typing import Any

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

__all__ = ["QuorvalentStore"]

logger = logging.getLogger(__name__)

_ITEMS = "langgraph/store/n/"
_TTL = "langgraph/store/ttl"
_STRIPES = 64
_CHUNK = 256  # order entries read per store round trip while searching
_NAMES_CACHE = 4096
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MAX_US = 16**16  # expiry times have 16 hex digits in the index
_SCALARS = frozenset((str, bool, float, bytes, type(None)))
_OPS = frozenset(("$eq", "$ne", "$gt", "$gte", "$lt", "$lte"))

# name, key, the item's put (PutOp), its value as stored (None for a delete)
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
    """Whether the codec gives `v` back as an equal value of the same types."""
    t = type(v)
    if t in _SCALARS:
        return True
    if t is int:
        return -(2**63) <= v < 2**63
    if depth >= 100:
        return False
    if t is dict:
        for k, x in v.items():
            if type(k) is not str or not (type(x) in _SCALARS or _exact(x, depth + 1)):
                return False
        return True
    if t is list:
        for x in v:
            if not (type(x) in _SCALARS or _exact(x, depth + 1)):
                return False
        return True
    return False


def _at(ver: int) -> datetime:
    return _EPOCH + timedelta(microseconds=ver // 1000)


def _expiry_key(expires: int, ver: int, enc: str, key: str) -> str:
    return f"{expires:016x}{ver:016x}{len(enc)}:{enc}{key}"


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
    (restore while nothing writes to the memory). Durable exactly when the store is.

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

    def __init__(
        self,
        store: Store | None = None,
        *,
        index: IndexConfig | None = None,
        ttl: TTLConfig | None = None,
        serde: SerializerProtocol | None = None,
    ) -> None:
        self.store = Store() if store is None else store
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
        self._names: dict[tuple[str, ...], str] = {}
        self._sweeper: threading.Thread | None = None
        self._stop = threading.Event()

    # -- store access: the only places that reach the store's contents as a whole ---------

    def _load(self, names: Iterable[str]) -> None:
        """Bring these store namespaces in before they are read (a no-op in memory)."""

    def _namespaces(self, prefix: str) -> list[str]:
        """The store namespaces under `prefix` (a durable store loads them first)."""
        return self.store.namespaces(prefix)

    def _commit(self) -> None:
        """Make the changes just written durable (a no-op in memory)."""

    # -- names, locks, clock -------------------------------------------------------------

    def _name(self, namespace: tuple[str, ...]) -> str:
        name = self._names.get(namespace)
        if name is None:
            name = _ITEMS + _encode(namespace)
            if len(self._names) >= _NAMES_CACHE:
                self._names.clear()
            self._names[namespace] = name
        return name

    def _lookup(self, namespace: tuple[str, ...], key: Any) -> str | None:
        """The store namespace to read `(namespace, key)` from, or None where nothing can
        be stored."""
        try:
            name = self._name(namespace)
        except (ValueError, TypeError):
            return None
        return name if type(key) is str and _storable(key) else None

    @contextlib.contextmanager
    def _locked(self, names: Iterable[str]) -> Iterator[None]:
        with contextlib.ExitStack() as stack:
            for i in sorted({hash(n) % _STRIPES for n in names}):
                stack.enter_context(self._locks[i])
            yield

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
        """Every op checked and every value encoded before anything is read or written:
        the puts, one per item (the last wins, in the order of the item's first put)."""
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
                # Nothing can be stored where a namespace or key is unstorable: no-op.
                if (found := self._lookup(tuple(namespace), key)) is not None:
                    puts.append((found, key, op, None))
                continue
            name = self._name(tuple(namespace))
            if type(key) is not str:
                raise TypeError(f"item keys must be str, not {type(key).__name__}")
            if not _storable(key):
                raise ValueError(f"item key {key!r} cannot be stored: it holds a lone surrogate")
            if op.ttl is not None and (
                not isinstance(op.ttl, (int, float)) or not math.isfinite(op.ttl)
            ):
                raise ValueError(f"ttl must be a finite number of minutes or None, not {op.ttl!r}")
            value = dict(op.value)
            if _exact(value):
                stored: list[Any] = [value]
            else:
                try:
                    stored = list(self.serde.dumps_typed(value))
                except Exception as e:
                    raise TypeError(
                        f"the value of item {key!r} in {tuple(namespace)!r} cannot be stored: {e}"
                    ) from e
            puts.append((name, key, op, stored))
        return puts

    def _run(
        self, ops: list[Op], puts: list[_Put], vectors: _Vectors, queries: dict[str, list[float]]
    ) -> list[Result]:
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
        found = [(i, op, self._lookup(tuple(op.namespace), op.key)) for i, op in gets]
        asked = [(i, op, name) for i, op, name in found if name is not None]
        self._load({name for _, _, name in asked})
        recs = self.store.get_many([(name, "k" + op.key) for _, op, name in asked])
        for (i, op, name), rec in zip(asked, recs):
            if rec is None:
                continue
            at = _at(rec[1])
            results[i] = Item(
                value=self._value(rec), key=op.key, namespace=op.namespace, created_at=at, updated_at=at
            )
            if op.refresh_ttl and rec[3] is not None:
                refresh.append((name, op.key, rec))

    def _search(
        self, op: SearchOp, query: list[float] | None, refresh: list[tuple[str, str, _Rec]]
    ) -> list[SearchItem]:
        try:
            head = _ITEMS + _encode(tuple(op.namespace_prefix))
        except ValueError:
            return []
        names = self._namespaces(head)
        if not names:
            return []
        store = self.store
        firsts = store.get_many([(n, "n") for n in names])
        # A namespace caught between its first put and its "n" entry goes last.
        order = sorted(zip(names, firsts), key=lambda t: (t[1] is None, t[1] or 0, t[0]))
        wanted = list(op.filter.items()) if op.filter else None
        scoring = query is not None
        stop = op.offset + op.limit if not scoring and min(op.offset, op.limit) >= 0 else None
        found: list[tuple[str, str, _Rec, Any]] = []  # name, key, record, value
        stale: list[tuple[str, str]] = []
        for name, _ in order:
            start = None
            while stop is None or len(found) < stop:
                oks = store.scan(name, prefix="o", start=start, limit=_CHUNK)
                if not oks:
                    break
                keys = [ok[17:] for ok in oks]
                recs = store.get_many([(name, "k" + k) for k in keys])
                for ok, key, rec in zip(oks, keys, recs):
                    if rec is None or f"{rec[0]:016x}" != ok[1:17]:
                        stale.append((name, ok))
                        continue
                    value = self._value(rec)
                    if wanted and not all(_matches(value.get(k), w) for k, w in wanted):
                        continue
                    found.append((name, key, rec, value))
                    if len(found) == stop:
                        break
                if len(oks) < _CHUNK:
                    break
                start = oks[-1] + "\0"
        if stale:
            self._clean(stale)
        if scoring:
            assert query is not None
            kept = self._rank(op, query, found)
        else:
            kept = [(None, f) for f in found[op.offset : op.offset + op.limit]]
        out = []
        for score, (name, key, rec, value) in kept:
            at = _at(rec[1])
            out.append(
                SearchItem(
                    namespace=_decode(name[len(_ITEMS) :]),
                    key=key,
                    value=value,
                    created_at=at,
                    updated_at=at,
                    score=score,
                )
            )
            if op.refresh_ttl and rec[3] is not None:
                refresh.append((name, key, rec))
        return out

    def _rank(
        self, op: SearchOp, query: list[float], found: list[tuple[str, str, _Rec, Any]]
    ) -> list[tuple[float | None, tuple[str, str, _Rec, Any]]]:
        """InMemoryStore's ranking: every vector of an item scored, the item at its best
        score, then items without vectors to fill the page."""
        if not found:
            return []
        entries = self.store.get_many([(name, "v" + key) for name, key, _, _ in found])
        flat_items, flat_vectors, scoreless = [], [], []
        for f, entry in zip(found, entries):
            vecs = list(entry[1].values()) if entry is not None and entry[0] == f[2][1] else []
            for v in vecs:
                flat_items.append(f)
                flat_vectors.append(v)
            if not vecs:
                scoreless.append(f)
        scored = sorted(
            zip(_cosine(query, flat_vectors), flat_items), key=lambda x: x[0], reverse=True
        )
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
            head = _ITEMS + _encode(tuple(literal))
        except ValueError:
            return []
        found = [_decode(n[len(_ITEMS) :]) for n in self._namespaces(head)]
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
        names = list(dict.fromkeys(name for name, _, _, _ in puts))
        with self._locked(names):
            self._load(names)
            olds = store.get_many([(name, "k" + key) for name, key, _, _ in puts])
            had = dict(zip(names, store.get_many([(n, "n") for n in names])))
            first = self._tick(len(puts))
            now = first // 1000
            items: list[tuple[str, str, Any]] = []
            expiring: list[tuple[str, str, Any]] = []
            unexpiring: list[str] = []
            gone: dict[str, list[tuple[str, _Rec]]] = {}
            for n, ((name, key, op, stored), old) in enumerate(zip(puts, olds)):
                if stored is None:
                    if old is not None:
                        gone.setdefault(name, []).append((key, old))
                    continue
                ver = first + n
                if had[name] is None:
                    had[name] = ver
                    items.append((name, "n", ver))
                expires = None
                if op.ttl is not None:
                    expires = min(max(now + int(op.ttl * 60_000_000), 0), _MAX_US - 1)
                    expiring.append((_TTL, _expiry_key(expires, ver, name[len(_ITEMS) :], key), True))
                if old is None:
                    seq = ver
                    items.append((name, f"o{seq:016x}{key}", True))
                else:
                    seq = old[0]
                    if old[2] is not None:
                        unexpiring.append(_expiry_key(old[2], old[1], name[len(_ITEMS) :], key))
                items.append((name, "k" + key, [seq, ver, expires, op.ttl, *stored]))
                vecs = vectors.get((name, key))
                if vecs:
                    items.append((name, "v" + key, [ver, vecs]))
                elif old is not None and self.embeddings is not None:
                    items.append((name, "v" + key, None))  # the old embeddings go
            # Expiry entries before the records that they expire (a record without one
            # would never expire); an entry without its record is ignored and swept.
            if expiring:
                store.set_many(expiring)
            try:
                store.set_many([t for t in items if t[2] is not None])
            except BaseException:
                for _, ek, _ in expiring:  # a value the codec refused: nothing stays
                    store.delete(_TTL, ek)
                raise
            for name, k, v in items:
                if v is None:
                    store.delete(name, k)
            for ek in unexpiring:
                store.delete(_TTL, ek)
            for name, dropped in gone.items():
                if dropped:
                    self._remove(name, dropped)
        self._commit()

    def _remove(self, name: str, dropped: list[tuple[str, _Rec]]) -> None:
        """Delete items with their derived entries (the caller holds the namespace's lock)."""
        store = self.store
        keys = {"k" + key for key, _ in dropped}
        left = store.scan(name, prefix="k", limit=len(keys) + 1)
        if len(left) <= len(keys) and keys.issuperset(left):
            store.drop_namespace(name)  # the last items: everything in one step
        else:
            for key, _ in dropped:
                store.delete(name, "k" + key)  # the record first, then what it implies
            for key, rec in dropped:
                store.delete(name, f"o{rec[0]:016x}{key}")
                store.delete(name, "v" + key)
        enc = name[len(_ITEMS) :]
        for key, rec in dropped:
            if rec[2] is not None:
                store.delete(_TTL, _expiry_key(rec[2], rec[1], enc, key))

    def _clean(self, stale: list[tuple[str, str]]) -> None:
        """Drop order entries whose item is gone (left by a change a snapshot cut short)."""
        store = self.store
        with self._locked({name for name, _ in stale}):
            recs = store.get_many([(name, "k" + ok[17:]) for name, ok in stale])
            for (name, ok), rec in zip(stale, recs):
                if rec is None or f"{rec[0]:016x}" != ok[1:17]:
                    store.delete(name, ok)
        self._commit()

    # -- TTL -----------------------------------------------------------------------------

    def _refresh(self, read: list[tuple[str, str, _Rec]]) -> None:
        store = self.store
        with self._locked({name for name, _, _ in read}):
            recs = store.get_many([(name, "k" + key) for name, key, _ in read])
            now = time.time_ns() // 1000
            expiring, items, unexpiring = [], [], []
            done: set[tuple[str, str]] = set()
            for (name, key, seen), rec in zip(read, recs):
                # Only the version that was read, once, and only if it still expires.
                if rec is None or rec[1] != seen[1] or rec[3] is None or (name, key) in done:
                    continue
                done.add((name, key))
                expires = min(max(now + int(rec[3] * 60_000_000), 0), _MAX_US - 1)
                if expires == rec[2]:
                    continue
                enc = name[len(_ITEMS) :]
                expiring.append((_TTL, _expiry_key(expires, rec[1], enc, key), True))
                if rec[2] is not None:
                    unexpiring.append(_expiry_key(rec[2], rec[1], enc, key))
                rec[2] = expires
                items.append((name, "k" + key, rec))
            if items:
                store.set_many(expiring)
                store.set_many(items)
                for ek in unexpiring:
                    store.delete(_TTL, ek)
        if items:
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
            names = {_ITEMS + enc for _, _, enc, _ in parsed}
            with self._locked(names):
                self._load(names)
                recs = store.get_many([(_ITEMS + enc, "k" + key) for _, _, enc, key in parsed])
                gone: dict[str, list[tuple[str, _Rec]]] = {}
                for (expires, ver, enc, key), rec in zip(parsed, recs):
                    if rec is not None and rec[1] == ver and rec[2] == expires:
                        gone.setdefault(_ITEMS + enc, []).append((key, rec))
                        deleted += 1
                for name, dropped in gone.items():
                    self._remove(name, dropped)
                for ek in due:
                    store.delete(_TTL, ek)  # also those no record matches any more
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
        """Texts to embed, each with the (name, key, path) places it goes to."""
        texts: dict[str, list[tuple[str, str, str]]] = {}
        for name, key, op, stored in puts:
            if stored is None or op.index is False:
                continue
            paths = self._fields if op.index is None else [(p, tokenize_path(p)) for p in op.index]
            for path, field in paths:
                found = get_text_at_path(op.value, field)
                if len(found) > 1:
                    for i, text in enumerate(found):
                        texts.setdefault(text, []).append((name, key, f"{path}.{i}"))
                elif found:
                    texts.setdefault(found[0], []).append((name, key, path))
        return texts

    @staticmethod
    def _place(texts: dict[str, list[tuple[str, str, str]]], embedded: list[list[float]]) -> _Vectors:
        places = [place for where in texts.values() for place in where]
        if len(places) != len(embedded):
            raise ValueError(
                f"Number of embeddings ({len(embedded)}) does not match number of indices ({len(places)})"
            )
        out: _Vectors = {}
        for vector, (name, key, path) in zip(embedded, places):
            out.setdefault((name, key), {})[path] = [float(x) for x in vector]
        return out

    def _queries(self, ops: list[Op]) -> list[str]:
        return list(dict.fromkeys(op.query for op in ops if isinstance(op, SearchOp) and op.query))

    def __del__(self) -> None:
        if getattr(self, "_sweeper", None) is not None:
            self.stop_ttl_sweeper(timeout=0.1)
