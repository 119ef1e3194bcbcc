"""The `quorvalent._core` native module."""

from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, TypeAlias, final

__version__: Final[str]
__all__ = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph", "roundtrips"]

# What the codec accepts (containers may nest up to 128 levels); a name of the stubs only.
_Value: TypeAlias = (
    None | bool | int | float | str | bytes | list[Any] | tuple[Any, ...] | dict[Any, Any]
)

def core_version() -> str:
    """Return the version string of the compiled native core.

    The package and its tests call it to confirm that the native module loaded.
    """

def dumps(obj: _Value) -> bytes:
    """Serialize a Python object to msgpack bytes (quorvalent's stable, cross-language codec)."""

def loads(data: bytes) -> Any:
    """Deserialize msgpack bytes back into a Python object."""

def roundtrips(obj: object) -> bool:
    """Whether `loads(dumps(obj))` gives back `obj` with every type as it was.

    True for exact None, bool, int, float, str and bytes, and exact lists and dicts with str
    keys of them, that dumps accepts. False, raising nothing, for the rest: tuples (they
    come back as lists), subclasses (as their base type), other dict keys, and values
    dumps rejects. It checks `obj` as it is now: if another thread changes it before it is
    encoded, the encoding follows the change.
    """

@final
class Store:
    """Framework-agnostic state store with immutable snapshots."""

    def __new__(
        cls,
        backend: str = "memory",
        codec: str = "msgpack",
        max_history: int | None = 0,
    ) -> Store: ...
    @property
    def codec(self) -> str:
        """The serialization codec (currently always `"msgpack"`)."""
    @property
    def max_history(self) -> int | None:
        """How many snapshots the store retains: `0` none, `n` the last `n`,
        `None` unlimited.
        """
    def set(self, namespace: str, key: str, value: _Value) -> None:
        """Store `value` under `(namespace, key)`, replacing any existing value."""
    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        """Return the value at `(namespace, key)`, or `default` (None) if absent."""
    def set_many(
        self,
        items: Sequence[tuple[str, str, Any]],
        *,
        fallback: Callable[[Any], _Value] | None = None,
    ) -> None:
        """Store many `(namespace, key, value)` triples in one call.

        Values are encoded under the GIL, then written with the GIL released,
        locking each shard once for the whole batch (not once per item). This
        spreads the per-call crossing and lock overhead over the whole batch.

        With `fallback`, a value is stored as itself only if it comes back with
        every type as it went in (see `roundtrips`); any other value is replaced by
        `fallback(value)`, stored as usual. Nothing is stored if a call raises.
        """
    def get_many(self, pairs: Sequence[tuple[str, str]]) -> list[Any]:
        """Fetch many `(namespace, key)` pairs in one call, preserving input order.

        Missing pairs come back as `None`. Bytes are read with the GIL released
        (one read lock per shard for the batch), then decoded under the GIL.
        """
    def get_raw(self, namespace: str, key: str) -> bytes | None:
        """The encoded bytes stored at `(namespace, key)`, or `None` if absent.

        Nothing is decoded: these are the bytes `dumps` wrote (or `set_raw` took),
        for callers that keep values elsewhere as they are, such as a durable copy
        of the store.
        """
    def get_many_raw(self, pairs: Sequence[tuple[str, str]]) -> list[bytes | None]:
        """The encoded bytes of many `(namespace, key)` pairs, in input order.

        Missing pairs come back as `None`. The read locks of the shards touched are
        held together, so the batch is one moment of the store: a change made by
        `apply_raw` is seen whole or not at all.
        """
    def set_raw(self, namespace: str, key: str, data: bytes) -> None:
        """Store encoded bytes under `(namespace, key)` as they are.

        `data` must be exactly one value that `loads` reads, within the codec's
        limits, with valid UTF-8 text and nothing after it; otherwise ValueError
        is raised and nothing is stored. Nothing is decoded or re-encoded.
        """
    def apply_raw(
        self,
        items: Sequence[tuple[str, str, bytes]],
        deletes: Sequence[tuple[str, str]] = (),
        base: Snapshot | None = None,
    ) -> None:
        """Remove `deletes`, then store `items`, as one change.

        `deletes` holds `(namespace, key)` pairs, `items` `(namespace, key, data)`
        triples; a pair in both ends up stored. Every `data` is checked as
        `set_raw` checks it before anything changes, and the shards touched are
        write-locked together, so no reader and no snapshot sees part of the change.

        With a `base` snapshot, each delete and item takes effect only where the
        store still holds what `base` holds for its pair (the same bytes, or
        neither holds it), judged at the moment of the change: pairs changed since
        `base` keep their value.
        """
    def restore_namespace(self, snapshot: Snapshot, namespace: str, base: Snapshot | None = None) -> bool:
        """Roll one namespace back to what it holds in `snapshot`.

        The namespace is removed when the snapshot lacks it. It shares the
        snapshot's key map (no key or value is copied), and `snapshot` may come
        from another store. With a `base` snapshot, this happens only if the
        namespace is still as `base` has it (the very same key map, or absent
        from both). Returns whether the namespace was restored.
        """
    def contains(self, namespace: str, key: str) -> bool:
        """Return whether `(namespace, key)` exists."""
    def delete(self, namespace: str, key: str) -> bool:
        """Delete `(namespace, key)`. Returns True if a value was removed.

        A namespace that loses its last key is dropped as well: otherwise empty
        namespaces pile up forever in [`Store::namespaces`], which callers scan
        (the LangGraph adapter does, on every `list()` / `delete_thread()`).
        """
    def keys(self, namespace: str, prefix: str | None = None) -> list[str]:
        """Keys within `namespace`, optionally only those starting with `prefix`.

        Empty list if the namespace is unknown.
        """
    def max_key(self, namespace: str) -> str | None:
        """The greatest key in `namespace`, or `None` if it holds nothing.

        Scans the namespace without building a key list, which is what callers
        after "the newest entry" actually need (the LangGraph adapter resolves
        the latest checkpoint id this way).
        """
    def namespaces(self, prefix: str | None = None) -> list[str]:
        """Namespaces in the store, optionally only those starting with `prefix`.

        Filtering happens here rather than in the caller so that a prefix scan
        copies only the names it returns. Callers that key namespaces by tenant
        or thread (the LangGraph adapter does) would otherwise pay for a full
        copy of every name on each lookup.
        """
    def scan(
        self,
        namespace: str,
        prefix: str | None = None,
        *,
        start: str | None = None,
        stop: str | None = None,
        reverse: bool = False,
        limit: int | None = None,
    ) -> list[str]:
        """Keys of `namespace` in key order, optionally only those starting with
        `prefix` and within `[start, stop)`.

        Keys compare bytewise, as in [`Store::max_key`]; `reverse=True` lists the
        greatest first. `limit` keeps the first `limit` keys of that order and
        selects them without sorting the whole namespace, so the newest few
        checkpoints before an id cost one call (the LangGraph adapter's
        `list(before=..., limit=...)`).
        """
    def copy_namespace(self, source: str, target: str) -> None:
        """Make `target` an exact copy of `source`, replacing what it held.

        No key or value is copied: `target` shares the source's persistent key map,
        and later writes to either namespace stay in that namespace. An empty or
        unknown `source` leaves `target` empty.
        """
    def drop_namespace(self, namespace: str) -> int:
        """Remove `namespace` with all its keys in one step.

        Returns how many keys it held (0 if the namespace is unknown).
        """
    def clear(self) -> None:
        """Remove all entries (does not clear snapshot history)."""
    def snapshot(self) -> Snapshot:
        """Capture a cheap, immutable snapshot of the current state.

        Read-locks every shard (in order) so the clone is a consistent
        point-in-time view, then clones each shard map (O(1) structural share).
        """
    def history(self) -> list[Snapshot]:
        """Snapshots retained by this store, oldest first.

        Empty unless the store was built with `max_history`; the snapshots
        returned by [`Store::snapshot`] are always valid on their own.
        """
    def clear_history(self) -> None:
        """Drop every retained snapshot, releasing the state they pin."""
    def restore(self, snapshot: Snapshot) -> None:
        """Roll the store back to a previously captured snapshot."""
    def __len__(self) -> int: ...
    def __contains__(self, namespace: str, /) -> bool: ...

@final
class Snapshot:
    """A cheap, immutable point-in-time view of a [`Store`]."""

    @property
    def id(self) -> int:
        """Monotonic id assigned by the originating store."""
    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch when the snapshot was taken."""
    @property
    def parent(self) -> int | None:
        """Id of the previous snapshot from the same store (for incremental diffs)."""
    @property
    def size_bytes(self) -> int:
        """Total size in bytes of all stored (serialized) values."""
    @property
    def keys(self) -> list[tuple[str, str]]:
        """All `(namespace, key)` pairs present in the snapshot."""
    def diff(self, base: Snapshot) -> dict[str, list[tuple[str, str]]]:
        """Incremental diff describing how to go from `base` to `self`.

        Returns a dict with keys `"added"`, `"removed"`, and `"changed"`, each
        mapping to a list of `(namespace, key)` tuples.
        """
    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        """Return the value at `(namespace, key)` in the snapshot, or `default` (None)
        if absent.
        """
    def get_many(self, pairs: Sequence[tuple[str, str]]) -> list[Any]:
        """Fetch many `(namespace, key)` pairs from the snapshot, preserving input order.

        Missing pairs come back as `None`.
        """
    def get_raw(self, namespace: str, key: str) -> bytes | None:
        """The encoded bytes at `(namespace, key)` in the snapshot, or `None` if absent."""
    def get_many_raw(self, pairs: Sequence[tuple[str, str]]) -> list[bytes | None]:
        """The encoded bytes of many `(namespace, key)` pairs, in input order.

        Missing pairs come back as `None`.
        """
    def keys_in(self, namespace: str, prefix: str | None = None) -> list[str]:
        """Keys within `namespace` in the snapshot, optionally only those starting
        with `prefix`.

        Empty list if the namespace is unknown. The `keys` attribute lists every
        `(namespace, key)` pair instead.
        """
    def namespaces(self, prefix: str | None = None) -> list[str]:
        """Namespaces in the snapshot, optionally only those starting with `prefix`."""

@final
class HandoffGraph:
    """A deterministic routing graph over named nodes with conditional edges."""

    def __new__(cls, on_cycle: Literal["error", "allow"] | str = "error") -> HandoffGraph: ...
    @property
    def on_cycle(self) -> str:
        """Behaviour on cycle detection: `"error"` or `"allow"`."""
    def add_node(self, name: str) -> None:
        """Register a node with no edges (edges also register their endpoints)."""
    def add_edge(self, from_node: str, to: str, when: str | None = None) -> None:
        """Add a directed edge `from -> to`, optionally guarded by a `when`
        condition (see the condition mini-language).

        Raises `ValueError` on an invalid condition, or — when `on_cycle` is
        `"error"` — if the edge would create a cycle.
        """
    def route(self, node: str, state: Any = None) -> str | None:
        """Resolve the next node from `node` given `state`.

        Evaluates outgoing edges in insertion order and returns the first whose
        condition is satisfied (an edge with no condition always matches).
        Returns `None` if no edge matches.
        """
    def nodes(self) -> list[str]:
        """All nodes in the graph (sorted for stable output)."""
    def edges(self, node: str) -> list[tuple[str, str | None]]:
        """Outgoing edges of `node` as `(to, when)` pairs, in insertion order."""
    def has_node(self, node: str) -> bool:
        """Whether `node` exists in the graph."""
    def is_dag(self) -> bool:
        """Whether the graph is currently acyclic.

        Kahn's algorithm: O(V+E) and iterative. The previous reachability search
        per edge was O(V·E) — half a second on a 3000-node chain — and recursed
        once per node, so a deep graph could overflow the stack.
        """
    def __len__(self) -> int: ...
    def __contains__(self, node: str, /) -> bool: ...
