"""Timestamps: one rule for every log, file and frame (see :func:`to_seconds`)."""

from __future__ import annotations

from datetime import datetime, timezone
from typing import TYPE_CHECKING

from .cells import Column, Origin, show

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["LOW", "HIGH", "UNITS", "to_seconds", "time_of_text"]

LOW = 946_684_800.0  # 2000-01-01T00:00:00Z
HIGH = 4_102_444_800.0  # 2100-01-01T00:00:00Z
UNITS = (("seconds", 1.0), ("milliseconds", 1e3), ("microseconds", 1e6), ("nanoseconds", 1e9))
_RANGE = "the years 2000 to 2100"


def time_of_text(text: str) -> float:
    """Seconds since the epoch of ISO 8601 text (UTC without an offset); ValueError otherwise."""
    t = text.strip()
    if t.endswith(("Z", "z")):
        t = t[:-1] + "+00:00"
    d = datetime.fromisoformat(t)
    if d.tzinfo is None:
        d = d.replace(tzinfo=timezone.utc)
    return d.timestamp()


def _iso(seconds: float) -> str:
    try:
        return datetime.fromtimestamp(seconds, tz=timezone.utc).isoformat().replace("+00:00", "Z")
    except (OverflowError, OSError, ValueError):
        return f"{seconds!r} seconds since the epoch"


def _number(v: float) -> str:
    """A number as written: 1700000000000 rather than 1700000000000.0."""
    return str(int(v)) if v.is_integer() and abs(v) < 1e19 else repr(v)


def _first(mask: NDArray[numpy.bool_]) -> int | None:
    import numpy as np

    rows = np.flatnonzero(mask)
    return int(rows[0]) if rows.size else None


def _in_range(origin: Origin, name: str, seconds: NDArray[numpy.float64], what: str) -> NDArray[numpy.float64]:
    import numpy as np

    if (row := _first(np.isnan(seconds))) is not None:
        raise origin.error(name, "missing timestamp", row)
    if (row := _first(~((seconds >= LOW) & (seconds < HIGH)))) is not None:
        raise origin.error(name, f"{what} {_iso(float(seconds[row]))} is outside {_RANGE}", row)
    return seconds


def _numbers(origin: Origin, name: str, values: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
    import numpy as np

    if (row := _first(np.isnan(values))) is not None:
        raise origin.error(name, "missing timestamp", row)
    if (row := _first(~np.isfinite(values))) is not None:
        raise origin.error(name, f"not a finite time: {values[row].item()!r}", row)
    band = np.full(values.shape, -1, dtype=np.int64)
    for k, (_, factor) in enumerate(UNITS):
        band[(values >= LOW * factor) & (values < HIGH * factor)] = k
    if (row := _first(band < 0)) is not None:
        raise origin.error(
            name, f"{_number(values[row].item())} is no time between the years 2000 and 2100 in seconds, milliseconds, "
                  "microseconds or nanoseconds since the epoch", row)
    counts = np.bincount(band, minlength=len(UNITS))
    unit = int(np.argmax(counts))  # ties: the coarser unit
    if (row := _first(band != unit)) is not None:
        raise origin.error(
            name, f"{_number(values[row].item())} is in {UNITS[int(band[row])][0]} since the epoch, but most of the "
                  f"column is in {UNITS[unit][0]}; a column holds one unit", row)
    factor = UNITS[unit][1]
    return values if factor == 1.0 else values / factor


def to_seconds(origin: Origin, col: Column) -> NDArray[numpy.float64]:
    """The timestamps of ``col`` as seconds since the epoch: the one rule every entry point uses.

    A timestamp column becomes float64 seconds since the Unix epoch (UTC):

    - a datetime column (pandas, polars, Arrow/Parquet timestamp or date) by its
      own unit; times without a zone are UTC;
    - ISO 8601 text (``2024-03-01T12:00:00Z``, ``2024-03-01 12:00:00+02:00``,
      ``2024-03-01``); text without an offset is UTC;
    - numbers are seconds, milliseconds, microseconds or nanoseconds since the
      epoch, told apart by magnitude: the unit is the one that puts the value
      between the years 2000 and 2100 (seconds in [9.47e8, 4.10e9),
      milliseconds in [9.47e11, 4.10e12), microseconds in [9.47e14, 4.10e15),
      nanoseconds in [9.47e17, 4.10e18)). The bands do not overlap, so each value
      has at most one reading. A column holds one unit: the one most of its values
      are in; a value in another band is an error, as mixing units would scramble
      the order of the requests.

    Every time must fall in the years 2000 to 2100. Anything outside (0, -1e12,
    1e30, infinity, a 1970 datetime) is an error naming the column and the row (the
    line of a text file): such a value is almost always a wrong unit or a
    placeholder, and windows cut by it would be wrong. A missing timestamp is an
    error too.

    Raises :class:`~morvanta.io.cells.LogError` naming ``origin``, the column and
    the row (the line of a text file) of the first value that breaks the rule.
    """
    import numpy as np

    name = col.name
    if col.kind == "time":
        return _in_range(origin, name, np.asarray(col.values, dtype=np.float64), "time")
    if col.kind in ("number", "empty"):
        return _numbers(origin, name, np.asarray(col.values, dtype=np.float64))
    if col.kind != "text":
        raise origin.error(name, f"expected times (ISO 8601 text, numbers since the epoch or a datetime column), "
                                 f"got {col.dtype} values")
    out = np.empty(len(col.values))
    for i, v in enumerate(col.values):
        if v is None:
            raise origin.error(name, "missing timestamp", i)
        try:
            out[i] = time_of_text(v)
        except ValueError:
            raise origin.error(name, f"not an ISO 8601 time or a number since the epoch: {show(v)}", i) from None
        if not LOW <= out[i] < HIGH:
            raise origin.error(name, f"time {show(v)} is outside {_RANGE}", i)
    return out
