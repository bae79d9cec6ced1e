"""One reading of a cell, whatever the file or frame it comes from.

Every reader (CSV/TSV, JSON Lines, Parquet and Arrow tables, pandas and
polars frames, dicts of arrays, the partitions of a Dask frame) turns its
columns into :class:`Column` objects here, so that a cell means the same
thing everywhere:

- a column's kind is the kind most of its cells have (ties go to numbers,
  then flags, lists, text): "number", "flag" (true/false, or 0/1 beside
  true/false), "vector" (a list of numbers per row), "text", "time", "other",
  or "empty" when every cell is missing;
- a cell of another kind in a number, flag or list column is an error that
  names the source, the column and the line (text files) or row of the first
  such cell: one stray ``12ms`` stops the read rather than turning the column
  into text;
- a text column keeps numbers as their text, and remembers where its first
  cell that is not a number is (to explain a column that is numeric in another
  log);
- in CSV/TSV every cell is text until read: an empty cell is missing, a cell
  Python's ``float`` accepts is a number, true/false/yes/no/t/f/y/n are flags
  and a cell starting with ``[`` holding a JSON list is a list. Typed sources
  (JSON, Arrow, frames) keep their types: the JSON string ``"12"`` is text;
- a number too large for a float (``10**400``, ``1e400``) is an error, not
  infinity; ``inf`` spelled out is infinity.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = [
    "InputError", "LogError", "Origin", "Column", "Table", "BigNumber", "TRUE_WORDS", "FALSE_WORDS",
    "text_column", "object_column", "vector_matrix", "common_width", "drop_row_index", "show",
    "json_hooks", "number_of_text", "Spelled",
]


class InputError(Exception):
    """A file that cannot be used as the input asked for."""


class LogError(InputError, ValueError):
    """A request log that cannot be read; the message is one line naming the file,
    the column and, where known, the row."""


TRUE_WORDS = frozenset({"true", "t", "yes", "y", "1", "1.0"})
FALSE_WORDS = frozenset({"false", "f", "no", "n", "0", "0.0"})
# Words that are flags and not numbers.
_FLAG_WORDS = frozenset({"true", "t", "yes", "y", "false", "f", "no", "n"})
# First characters of what float() reads, besides digits of other scripts (str.isdigit).
_NUMBER_STARTS = frozenset("0123456789+-.iInN")
_INF_WORDS = frozenset({"inf", "+inf", "-inf", "infinity", "+infinity", "-infinity"})
# Majority ties go to the first kind in this order.
_ORDER = ("number", "flag", "vector", "text", "time", "other")


def show(value: Any, limit: int = 40) -> str:
    """A cell for a message: its repr, cut to ``limit`` characters."""
    if isinstance(value, BigNumber):
        text = str(value)
        return text if len(text) <= limit else f"{text[:12]}... ({len(text)} characters)"
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


class BigNumber(str):
    """A number written in a cell that no float can hold (``10**400``, ``1e400``)."""


# ------------------------------------------------------------------ where a cell is


@dataclass(frozen=True, eq=False)
class Origin:
    """The source of some cells, for messages.

    ``label`` is the file path or the frame's name; ``lines`` the line of each
    row of a text file; ``index`` the row labels of a frame whose labels are the
    rows' names (a Dask partition). ``argument`` writes messages as
    ``argument 'logs': column 'x' row 3: ...`` (a Python API argument) instead of
    ``'log.csv' column 'x' line 4: ...``.
    """

    label: str
    lines: Any = None  # a sequence of line numbers
    index: Any = None
    argument: bool = False

    def where(self, row: int) -> str:
        """Line (text files) or row (counted from 1, or the frame's own label) of ``row``."""
        if self.lines is not None:
            return f"line {int(self.lines[row])}"
        if self.index is not None:
            label = self.index[row]
            label = label.item() if hasattr(label, "item") else label
            return f"row {label!r}"
        return f"row {row + 1}"

    def error(self, column: str | None, message: str, row: int | None = None, where: str | None = None) -> LogError:
        """One line naming the source, ``column`` and the cell at ``row`` (or at ``where``, already named)."""
        if row is not None:
            where = self.where(row)
        at = "" if where is None else f" {where}"
        if self.argument:
            head = f"argument '{self.label}':"
            if column is None:
                return LogError(f"{head} {message}")
            return LogError(f"{head} column '{column}'{at}: {message}")
        if column is None:
            return LogError(f"'{self.label}'{at}: {message}")
        return LogError(f"'{self.label}' column '{column}'{at}: {message}")


# ------------------------------------------------------------------ columns


@dataclass(eq=False)
class Column:
    """One column as read.

    ``values``: float64 with NaN for missing cells ("number", "flag", "empty"),
    float64 seconds since the epoch ("time"), a list of str/None ("text").
    ``cells`` keeps the original text of a CSV column. A "vector" column builds
    its matrix only when asked (:meth:`matrix`), so an unused list column of
    anything never stops a read. ``first_text`` is the row of a text column's
    first cell that is not a number, ``numbers`` how many of its cells are.
    """

    name: str
    kind: str
    values: Any = None
    dtype: str = ""
    first_text: int | None = None
    numbers: int = 0
    cells: list[str] | None = None
    build: Callable[[], Any] | None = field(default=None, repr=False)

    def matrix(self) -> Any:
        assert self.build is not None
        return self.build()


@dataclass
class Table:
    """The raw columns of one source, in order, with the notes of reading it."""

    origin: Origin
    columns: dict[str, Column]
    n_rows: int
    notes: list[str] = field(default_factory=list)
    # Columns pandas recorded as the frame's index (Parquet/Arrow metadata).
    index_columns: tuple[str, ...] = ()

    def add(self, column: Column) -> None:
        if column.name in self.columns:
            raise self.origin.error(column.name, "appears twice; column names must be unique")
        self.columns[column.name] = column


def _missing_array(n: int) -> NDArray[numpy.float64]:
    import numpy as np

    return np.full(n, np.nan)


def _too_large(origin: Origin, name: str, row: int, text: Any) -> LogError:
    return origin.error(name, f"number too large for a float: {show(BigNumber(str(text)))}", row)


def _majority(counts: dict[str, int]) -> str:
    best = max(counts.values())
    return next(k for k in _ORDER if counts.get(k, 0) == best)


def _flag_of_number(v: float) -> bool:
    return v == 0.0 or v == 1.0


# ------------------------------------------------------------------ text cells (CSV/TSV)


def number_of_text(text: str) -> float | BigNumber | None:
    """The number a stripped cell spells, or None."""
    try:
        v = float(text)
    except ValueError:
        return None
    if math.isinf(v) and text.lower() not in _INF_WORDS:
        return BigNumber(text)
    return v


def text_column(origin: Origin, name: str, cells: list[str]) -> Column:
    """A column of CSV/TSV cells."""
    import numpy as np

    n = len(cells)
    try:
        # Most columns are all numbers: one pass, no per-cell bookkeeping.
        values = np.array([float(c) for c in cells], dtype=np.float64)
    except ValueError:
        pass
    else:
        inf = np.flatnonzero(np.isinf(values))
        for i in inf.tolist():
            if cells[i].strip().lower() not in _INF_WORDS:
                raise _too_large(origin, name, i, cells[i].strip())
        return Column(name, "number", values, "number", cells=cells)
    kinds: list[str | None] = [None] * n
    parsed: list[Any] = [None] * n
    counts: dict[str, int] = {}
    first: dict[str, int] = {}
    for i, c in enumerate(cells):
        t = c.strip()
        if not t:
            continue
        # Cheap tests first: most text cannot be a number, and float() failing is slow.
        v = number_of_text(t) if t[0] in _NUMBER_STARTS or t[0].isdigit() else None
        if v is not None:
            kind = "number"
        elif t.lower() in _FLAG_WORDS:
            kind, v = "flag", float(t.lower() in TRUE_WORDS)
        elif t[0] == "[":
            try:
                v = json.loads(t, **json_hooks())
            except (ValueError, RecursionError):
                v = None
            kind = "vector" if isinstance(v, list) else "text"
        else:
            kind = "text"
        kinds[i], parsed[i] = kind, v
        counts[kind] = counts.get(kind, 0) + 1
        first.setdefault(kind, i)
    if not counts:
        return Column(name, "empty", _missing_array(n), "empty", cells=cells)
    present = set(counts)
    if "flag" in present and present <= {"number", "flag"} and all(
            _flag_of_number(parsed[i]) for i in range(n) if kinds[i] == "number"):
        kind = "flag"
    else:
        kind = _majority(counts)
    if kind in ("number", "flag"):
        out = np.full(n, np.nan)
        for i, k in enumerate(kinds):
            if k is None:
                continue
            v = parsed[i]
            if k == kind or (kind == "flag" and k == "number"):
                if isinstance(v, BigNumber):
                    raise _too_large(origin, name, i, v)
                out[i] = v
            elif kind == "number":
                raise origin.error(name, f"expected a number, got {show(cells[i].strip())}", i)
            else:
                raise origin.error(name, f"not a flag (true/false, yes/no, 1/0): {show(cells[i].strip())}", i)
        if kind == "number":
            return Column(name, "number", out, "number", cells=cells)
        return Column(name, "flag", out, "bool", cells=cells)
    if kind == "vector":
        bad = next((i for i, k in enumerate(kinds) if k is not None and k != "vector"), None)
        if bad is not None:
            raise origin.error(name, f"not a list of numbers: {show(cells[bad].strip())}", bad)
        rows = parsed
        return Column(name, "vector", None, "list", cells=cells,
                      build=lambda: vector_matrix(origin, name, rows))
    text = [c if k is not None else None for c, k in zip(cells, kinds)]
    first_text = min(i for kind_, i in first.items() if kind_ != "number")
    return Column(name, "text", text, "str", first_text=first_text, numbers=counts.get("number", 0), cells=cells)


# ------------------------------------------------------------------ typed cells (JSON, object columns)


class Spelled(float):
    """An infinity or NaN written out as such in JSON (``Infinity``, ``NaN``): kept as written."""


def _json_constant(name: str) -> Spelled:
    return Spelled(name.replace("Infinity", "inf"))


def _json_int(text: str) -> Any:
    # Only for integers past Python's digit limit: kept as text, refused with the column named.
    try:
        return int(text)
    except ValueError:
        return BigNumber(text)


def json_hooks(big_ints: bool = False) -> dict[str, Any]:
    """``json.loads`` keywords: infinities written out are kept apart from numbers that
    overflowed to infinity; ``big_ints`` keeps integers past Python's digit limit as
    :class:`BigNumber` (slower: only to find the cell once plain reading failed)."""
    hooks: dict[str, Any] = {"parse_constant": _json_constant}
    if big_ints:
        hooks["parse_int"] = _json_int
    return hooks


# The kind of the common Python types, looked up before the isinstance chain below.
_KIND_OF_TYPE: dict[type, str] = {float: "number", int: "number", str: "text", bool: "flag", list: "vector",
                                  tuple: "vector"}


def _kind_of(v: Any) -> str:
    import numpy as np

    if isinstance(v, BigNumber):
        return "number"
    if isinstance(v, (bool, np.bool_)):
        return "flag"
    if isinstance(v, (int, float, np.integer, np.floating)):
        return "number"
    if isinstance(v, str):
        return "text"
    if isinstance(v, (list, tuple)) or (isinstance(v, np.ndarray) and v.ndim == 1):
        return "vector"
    from datetime import date

    if isinstance(v, (date, np.datetime64)):
        return "time"
    return "other"


def _float_of(origin: Origin, name: str, row: int, v: Any, parsed: bool) -> float:
    if isinstance(v, BigNumber):
        raise _too_large(origin, name, row, v)
    if parsed and type(v) is float and math.isinf(v):
        # JSON text: an infinity not written as one is a number past a float's range.
        raise origin.error(name, "number too large for a float (beyond 1.8e308)", row)
    try:
        return float(v)
    except OverflowError:
        raise _too_large(origin, name, row, v) from None


def _as_text(v: Any) -> str:
    if isinstance(v, bool) or type(v).__name__ == "bool_":
        return "true" if v else "false"
    if hasattr(v, "item") and not isinstance(v, str):
        v = v.item()
    return str(v) if isinstance(v, (int, str)) else repr(v)


def _seconds(v: Any) -> float:
    """Seconds since the epoch of a date, datetime (naive: UTC) or datetime64."""
    from datetime import datetime, timezone

    import numpy as np

    if isinstance(v, np.datetime64):
        if np.isnat(v):
            return math.nan
        return float(v.astype("datetime64[ns]").astype(np.int64)) / 1e9
    if not isinstance(v, datetime):
        v = datetime(v.year, v.month, v.day)
    if v.tzinfo is None:
        v = v.replace(tzinfo=timezone.utc)
    return float(v.timestamp())


def object_column(origin: Origin, name: str, cells: list[Any], dtype: str = "object", parsed: bool = False) -> Column:
    """A column of Python values (JSON Lines, object columns); None is missing.

    ``parsed``: the values come from JSON text (read with :func:`json_hooks`), where
    a float infinity means a number too large for a float."""
    import numpy as np

    n = len(cells)
    kinds: list[str | None] = [None] * n
    counts: dict[str, int] = {}
    first: dict[str, int] = {}
    for i, v in enumerate(cells):
        if v is None or (isinstance(v, float) and v != v):
            continue
        kv = _KIND_OF_TYPE.get(type(v)) or _kind_of(v)
        kinds[i] = kv
        counts[kv] = counts.get(kv, 0) + 1
        first.setdefault(kv, i)
    if not counts:
        return Column(name, "empty", _missing_array(n), "null")
    present = set(counts)
    if "flag" in present and present <= {"number", "flag"} and all(
            not isinstance(cells[i], BigNumber) and _flag_of_number(float(cells[i]))
            for i in range(n) if kinds[i] == "number"):
        kind = "flag"
    else:
        kind = _majority(counts)
    if kind in ("number", "flag"):
        out = np.full(n, np.nan)
        for i, k in enumerate(kinds):
            if k is None:
                continue
            if k == kind or (kind == "flag" and k == "number"):
                out[i] = _float_of(origin, name, i, cells[i], parsed)
            elif kind == "number":
                raise origin.error(name, f"expected a number, got {show(cells[i])}", i)
            else:
                raise origin.error(name, f"not a flag (true/false, yes/no, 1/0): {show(cells[i])}", i)
        return Column(name, kind, out, "number" if kind == "number" else "bool")
    if kind == "vector":
        bad = next((i for i, k in enumerate(kinds) if k is not None and k != "vector"), None)
        if bad is not None:
            raise origin.error(name, f"not a list of numbers: {show(cells[bad])}", bad)
        return Column(name, "vector", None, "list", build=lambda: vector_matrix(origin, name, cells))
    if kind == "text":
        text: list[str | None] = []
        for i, (v, k) in enumerate(zip(cells, kinds)):
            if k is None:
                text.append(None)
            elif k == "text":
                text.append(v)
            elif k in ("number", "flag"):
                text.append(_as_text(v))
            else:
                raise origin.error(name, f"expected text, got {show(v)}", i)
        first_text = min(i for kind_, i in first.items() if kind_ != "number")
        return Column(name, "text", text, "str", first_text=first_text, numbers=counts.get("number", 0))
    if kind == "time":
        out = np.full(n, np.nan)
        for i, k in enumerate(kinds):
            if k == "time":
                out[i] = _seconds(cells[i])
            elif k is not None:
                raise origin.error(name, f"expected a time, got {show(cells[i])}", i)
        return Column(name, "time", out, "datetime")
    return Column(name, "other", None, type(cells[first[kind]]).__name__)


# ------------------------------------------------------------------ lists of numbers


def common_width(origin: Origin, name: str, lengths: Any) -> int:
    """The width most rows have (ties: the earliest row's); another width is an error."""
    import numpy as np

    lengths = np.asarray(lengths, dtype=np.int64)
    if lengths.size == 0:
        return 0
    widths, first, counts = np.unique(lengths, return_index=True, return_counts=True)
    top = counts == counts.max()
    width = int(widths[top][np.argmin(first[top])])
    if widths.size > 1:
        row = int(np.argmax(lengths != width))
        raise origin.error(name, f"embedding of {int(lengths[row])} values, but other rows have {width}", row)
    return width


def _row_problem(v: Any) -> str | None:
    """What keeps one embedding cell from being a flat list of numbers, or None."""
    import numpy as np

    if isinstance(v, np.ndarray):
        if v.ndim != 1:
            return f"embedding is a {v.ndim}-D array; an embedding is a flat list of numbers"
        return None if v.dtype.kind in "iuf" else f"embedding of {v.dtype} values, not numbers"
    for x in v:
        if isinstance(x, BigNumber):
            return f"embedding holds a number too large for a float: {show(x)}"
        if isinstance(x, (bool, np.bool_)) or not isinstance(x, (int, float, np.integer, np.floating)):
            if isinstance(x, (list, tuple, np.ndarray)):
                return "embedding holds a list inside the list; an embedding is a flat list of numbers"
            return f"embedding holds a value that is not a number: {show(x)}"
        if isinstance(x, int) and not isinstance(x, np.integer):
            try:
                float(x)
            except OverflowError:
                return f"embedding holds a number too large for a float: {show(BigNumber(str(x)))}"
    return None


def vector_matrix(origin: Origin, name: str, rows: Sequence[Any]) -> Any:
    """Per-row lists (or 1-D arrays) of numbers as one (rows, width) array.

    Arrays of one real dtype keep it (a float32 frame column stays float32);
    lists become float64. Missing rows, rows of another width and values that
    are not numbers name their row.
    """
    import numpy as np

    for i, v in enumerate(rows):
        if v is None or (isinstance(v, float) and v != v):
            raise origin.error(name, "missing embedding", i)
    width = common_width(origin, name, [len(v) for v in rows])
    n = len(rows)
    if n and all(isinstance(v, np.ndarray) and v.ndim == 1 and v.dtype.kind in "iuf" for v in rows):
        dtypes = {v.dtype for v in rows}
        if len(dtypes) == 1:
            return np.stack(rows) if width else np.empty((n, 0), dtype=rows[0].dtype)
    if not any(isinstance(v, np.ndarray) for v in rows):
        try:
            out = np.array(rows)  # lists of numbers: one C pass
        except (TypeError, ValueError, OverflowError, RecursionError):
            out = None
        if out is not None and out.dtype.kind in "iuf" and out.shape == (n, width):
            return out.astype(np.float64, copy=False)
    if all(_row_problem(v) is None for v in rows):
        try:
            out = np.array([np.asarray(v, dtype=np.float64) for v in rows], dtype=np.float64)
            return out.reshape(n, width)
        except (TypeError, ValueError, OverflowError, RecursionError):
            pass
    for i, v in enumerate(rows):
        problem = _row_problem(v)
        if problem is not None:
            raise origin.error(name, problem, i)
    raise origin.error(name, "does not form a matrix of numbers")


# ------------------------------------------------------------------ a pandas row index


# Names a row index gets in the first column when pandas writes a frame: to_csv()
# leaves the header cell empty, "Unnamed: 0" once read back and written again.
INDEX_NAMES = ("", "Unnamed: 0")


def _is_row_index(col: Column) -> tuple[int, int] | None:
    """(first, last) when ``col`` holds consecutive integers counting up by one."""
    import numpy as np

    if col.kind not in ("number", "empty"):
        return None
    v = col.values
    if v.size == 0:
        return (0, -1)
    start = v[0]
    if not (math.isfinite(start) and start >= 0 and start == math.floor(start)):
        return None
    if not np.array_equal(v, start + np.arange(v.size, dtype=np.float64)):
        return None
    return int(start), int(start) + v.size - 1


def drop_row_index(table: Table) -> Table:
    """Drops the row index pandas writes with a frame, with a note; it is never a feature.

    That is: the columns pandas' metadata names as the index (Parquet, Arrow),
    ``__index_level_N__`` columns, and an unnamed first column (header "" or
    "Unnamed: 0") holding consecutive integers: 0..n-1 as ``to_csv`` writes a
    frame, k..k+n-1 for a slice of one. Compared as a feature, a row index would
    report drift whenever two windows differ in position. An unnamed first
    column holding anything else is refused: there is no telling what it is.
    """
    names = list(table.columns)
    index = [c for c in names if c in table.index_columns or (c.startswith("__index_level_") and c.endswith("__"))]
    for c in index:
        del table.columns[c]
    if index:
        table.notes.append(f"dropped the pandas index column{'s' if len(index) > 1 else ''} "
                           f"{', '.join(repr(c) for c in index)} (index=False leaves it out)")
    if not names or names[0] not in INDEX_NAMES or names[0] in index:
        return table
    span = _is_row_index(table.columns[names[0]])
    if span is None:
        raise table.origin.error(
            None, "the unnamed first column is not a row index 0..n-1; name it in the header, "
                  "or write the file without the index (pandas: index=False)")
    del table.columns[names[0]]
    rows = f" {span[0]}..{span[1]}" if table.n_rows else ""
    table.notes.append(f"dropped the unnamed first column, a row index{rows} as pandas writes it "
                       "(index=False leaves it out)")
    return table
