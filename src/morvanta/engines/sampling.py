"""Seeded uniform row samples: the rows a test reads when a window is longer than its cap.

A window above a dimension's row cap (``dimensions.REGISTRY[d].max_rows``) is
tested on a uniform sample of ``cap`` of its rows, kept in row order. The
sample is dealt by the core's own generator, the one that deals the
permutations (``_engine.split_labels``), never by NumPy's: NumPy does not
promise the same bits across its versions, and a sample decides a p-value and
the rows a saved baseline keeps.

Each sample has a stream number, so that the two sides of a test and the
parts that are sampled on their own never share a deal: part ``i`` of a
method's arguments is sampled on stream ``2 i`` on the baseline side and
``2 i + 1`` on the current side (:func:`stream`). A stream is generator index
``2**64 - 1 - stream`` under the given seed, far from the indices
``0, 1, 2, ...`` that deal the permutations of a test under the same seed.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .. import _engine

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["subsample", "stream", "BASELINE", "CURRENT", "REFERENCE"]

#: Side numbers of :func:`stream`.
BASELINE, CURRENT = 0, 1
#: First stream of the reference part :func:`~morvanta.calibrate` sets aside (one per argument part).
REFERENCE = 16

_LAST_INDEX = (1 << 64) - 1
_MAX_STREAM = 1 << 32


def stream(part: int, side: int) -> int:
    """The stream of argument part ``part`` (0 or 1) on side ``side`` (BASELINE or CURRENT)."""
    return 2 * part + side


def _whole(arg: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"argument '{arg}': expected int, got {type(value).__name__}")
    if value < least:
        raise ValueError(f"argument '{arg}': must be >= {least}, got {value}")
    return value


def subsample(n_rows: int, cap: int, seed: int, *, stream: int = 0) -> NDArray[numpy.int64]:
    """Indices of the rows a window of ``n_rows`` keeps under row cap ``cap``, ascending.

    All rows (``0 .. n_rows - 1``) when ``n_rows <= cap``; otherwise ``cap``
    rows, each set of ``cap`` rows equally likely, chosen by the deal
    ``_engine.split_labels(n_rows, cap, seed, 2**64 - 1 - stream)`` (its
    baseline-side rows). Equal arguments give the same rows on every platform
    and version.

    >>> keep = subsample(len(table), 200_000, seed=0)
    >>> sample = table[keep]
    """
    import numpy as np

    n = _whole("n_rows", n_rows, 0)
    c = _whole("cap", cap, 1)
    s = _whole("seed", seed, 0)
    if s >= 1 << 64:
        raise OverflowError("argument 'seed': must be < 2**64")
    k = _whole("stream", stream, 0)
    if k >= _MAX_STREAM:
        raise ValueError(f"argument 'stream': must be < 2**32, got {k}")
    if n <= c:
        return np.arange(n, dtype=np.int64)
    labels = np.frombuffer(_engine.split_labels(n, c, s, _LAST_INDEX - k), dtype=np.uint8)
    out: NDArray[numpy.int64] = np.flatnonzero(labels).astype(np.int64, copy=False)
    return out


def rows(value: Any, index: Any) -> Any:
    """The rows ``index`` of a window part (an array, or a sequence NumPy reads)."""
    import numpy as np

    a = value if isinstance(value, np.ndarray) else np.asarray(value)
    return a[index]
