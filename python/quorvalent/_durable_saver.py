"""The durable QuorvalentSaver: the in-memory saver over a `DurableStore`, which loads a
thread's namespaces when the thread is first used, sees other processes' commits on
every read, and commits every change before the method that made it returns."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import (
    ChannelVersions,
    Checkpoint,
    CheckpointMetadata,
    CheckpointTuple,
    DeltaChannelHistory,
)
from langgraph.checkpoint.serde.base import SerializerProtocol

from quorvalent import persist
from quorvalent.langgraph import _BLOB, _CKPT, _INDEX, _META, _WRITES, QuorvalentSaver, _lp, _Strs, _unlp

if TYPE_CHECKING:
    from quorvalent.persist import DurableStore

_KINDS = (_INDEX, _CKPT, _META, _BLOB, _WRITES)


class DurableSaver(QuorvalentSaver):
    """`QuorvalentSaver` whose threads live in a database (see
    `QuorvalentSaver.from_conn_string`)."""

    def __init__(self, db: DurableStore, *, serde: SerializerProtocol | None = None) -> None:
        super().__init__(db.store, serde=serde)
        self.db = db
        self._ready: set[str] = set()  # threads whose namespaces are loaded (for good)

    def _thread(self, thread_id: Any, *, fresh: bool = True) -> None:
        """This thread's namespaces loaded, and other processes' commits in (`fresh`, or
        where asking costs no round trip: a commit merges them anyway)."""
        db = self.db
        t = thread_id if type(thread_id) is str else str(thread_id)
        if t not in self._ready:
            lp = _lp(t, "thread_id")
            prefixes = [kind + lp for kind in _KINDS]
            if not all(db._covered(p) for p in prefixes):
                db.load_prefix(*prefixes)  # brings in what others committed, first
                self._ready.add(t)  # only once loaded: a failed load is tried again
                return
            self._ready.add(t)
        if fresh or db._db.cheap_changed:
            db.refresh()

    def _all_threads(self) -> None:
        db = self.db
        db.refresh()
        db.load_prefix(*_KINDS)

    def setup(self) -> None:
        """Nothing to do: opening the database made its tables."""

    # -- reading -----------------------------------------------------------------------

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        self._thread(config["configurable"]["thread_id"])
        return super().get_tuple(config)

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        # Loaded before the first item is asked for, so that a caller that never
        # iterates still sees a consistent picture when it does.
        if config is not None:
            self._thread(config["configurable"]["thread_id"])
        else:
            self._all_threads()
        return super().list(config, filter=filter, before=before, limit=limit)

    def get_delta_channel_history(self, *, config: RunnableConfig, channels: Sequence[str]) -> Mapping[str, DeltaChannelHistory]:
        self._thread(config["configurable"]["thread_id"])
        return super().get_delta_channel_history(config=config, channels=channels)

    def _thread_ids(self) -> _Strs:
        # Every thread in the database, loaded or not.
        names = self.db.namespaces(_INDEX)
        return sorted(_unlp(name, len(_INDEX))[0] for name in names)

    # -- writing: each change is committed before it returns -----------------------------

    def put(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        self._thread(config["configurable"]["thread_id"], fresh=False)
        out = super().put(config, checkpoint, metadata, new_versions)
        self.db.commit()
        return out

    def put_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        self._thread(config["configurable"]["thread_id"], fresh=False)
        super().put_writes(config, writes, task_id, task_path)
        self.db.commit()

    def delete_thread(self, thread_id: str) -> None:
        self._thread(thread_id)
        super().delete_thread(thread_id)
        self.db.commit()

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        self._all_threads()
        super().delete_for_runs(run_ids)
        self.db.commit()

    def prune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        for t in thread_ids:
            self._thread(t)
        super().prune(thread_ids, strategy=strategy)
        self.db.commit()

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        self._thread(source_thread_id)
        self._thread(target_thread_id)
        super().copy_thread(source_thread_id, target_thread_id)
        self.db.commit()

    # The async twins are the in-memory saver's: they call the sync methods above.


class SaverContext:
    """What ``from_conn_string`` returns: ``with`` or ``async with`` it to get a durable
    saver (or memory store); the database is closed when the block ends."""

    def __init__(self, url: Any, make: Callable[[DurableStore], Any], options: dict[str, Any]) -> None:
        if isinstance(url, str) and "://" not in url:  # a bare path, as SqliteSaver.from_conn_string takes
            url = "sqlite:///" + url
        self._url, self._make, self._options = url, make, options
        self._db: DurableStore | None = None

    def __enter__(self) -> Any:
        if self._db is not None:
            raise RuntimeError("this from_conn_string(...) context is already open")
        db = persist.open(self._url, **self._options)
        try:
            made = self._make(db)
        except BaseException:
            db.close()
            raise
        self._db = db
        return made

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        db, self._db = self._db, None
        if db is not None:
            db.close()  # every change was committed when it was made

    async def __aenter__(self) -> Any:
        return self.__enter__()

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.__exit__(exc_type, exc, tb)
