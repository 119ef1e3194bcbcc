"""quorvalent: an exact msgpack codec, a snapshotting state store and a routing graph."""

from quorvalent._core import (
    HandoffGraph,
    Snapshot,
    Store,
    __version__,
    core_version,
    dumps,
    loads,
    roundtrips,
)

# Spelled out (not copied from _core) so that type checkers see what the package exports.
__all__ = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph", "roundtrips"]
