"""quorvalent: an exact msgpack codec, a snapshotting state store and a routing graph."""

from quorvalent import _core
from quorvalent._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
__version__ = _core.__version__
