"""Request logs of a QA pipeline: one row per request, read into detector inputs.

A log is a Parquet, CSV/TSV or JSON Lines file, or (from Python) a pandas or
polars DataFrame, a pyarrow Table or a dict of columns. Columns are found by
their conventional names, each optional:

- ``query_embedding``, ``response_embedding``: list/array columns of floats;
- ``embedding``: another embedding column for the embedding dimension (e.g. the
  retrieved context); without it the embedding dimension uses the query embeddings;
- ``response_length`` or ``response`` (text, measured in characters or in
  whitespace-separated words);
- ``confidence`` (a number in [0, 1]) and ``correct`` (a boolean or 0/1);
- ``timestamp`` (seconds since the Unix epoch, ISO 8601 text or a datetime column);
- every other numeric or boolean column is a feature of the data dimension.

The names can be changed with :class:`LogColumns` or a TOML file (``[columns]``
table, see :func:`load_config`). Every problem is raised as :class:`LogError`,
one line naming the file, the column and, where known, the row (counted from 1,
the first request) or the line of a text file.
"""

from __future__ import annotations

import csv
import json
import math
import os
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Literal

from ..dimensions import ROLES
from .files import InputError, read_parquet

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["LogError", "LogColumns", "RequestLog", "read_log", "load_config", "LOG_SUFFIXES"]

LOG_SUFFIXES = (".parquet", ".pq", ".csv", ".tsv", ".jsonl", ".ndjson")
LengthUnit = Literal["chars", "words"]


class LogError(InputError, ValueError):
    """A request log that cannot be read; the message is one line naming the file,
    the column and, where known, the row."""


@dataclass(frozen=True)
class LogColumns:
    """Which column plays which role; ``None`` switches a role off.

    ``features`` lists the feature columns explicitly (default: every numeric or
    boolean column without another role, minus ``exclude``). ``length`` says how
    a ``response`` text column is measured: "chars" or "words".
    """

    query_embedding: str | None = "query_embedding"
    response_embedding: str | None = "response_embedding"
    embedding: str | None = "embedding"
    response_length: str | None = "response_length"
    response: str | None = "response"
    confidence: str | None = "confidence"
    correct: str | None = "correct"
    timestamp: str | None = "timestamp"
    features: tuple[str, ...] | None = None
    exclude: tuple[str, ...] = ()
    length: LengthUnit = "chars"

    def roles(self) -> dict[str, str]:
        """Role name -> column name, for the roles switched on."""
        return {r: getattr(self, r) for r in ROLES if getattr(self, r) is not None}


@dataclass(frozen=True)
class RequestLog:
    """The detector inputs of one log (or one window of it); row i of every array is request i.

    Embeddings are float32 (converted explicitly when the log held another type;
    ``notes`` says so), features float64 in column order ``feature_names`` (NaN for
    missing cells), timestamps float64 seconds since the Unix epoch.
    """

    source: str
    n_rows: int
    features: NDArray[numpy.float64]
    feature_names: list[str]
    queries: NDArray[numpy.float32] | None = None
    embeddings: NDArray[numpy.float32] | None = None
    embedding_column: str | None = None
    response_embeddings: NDArray[numpy.float32] | None = None
    response_lengths: NDArray[numpy.float64] | None = None
    length_column: str | None = None
    confidences: NDArray[numpy.float64] | None = None
    correct: NDArray[numpy.bool_] | None = None
    timestamps: NDArray[numpy.float64] | None = None
    notes: tuple[str, ...] = field(default=())

    def take(self, rows: Any) -> RequestLog:
        """The requests ``rows`` (a slice or an index array) as a new log with the same columns."""
        import numpy as np

        def cut(a: Any) -> Any:
            return None if a is None else a[rows]

        features = np.asfortranarray(self.features[rows])
        queries = cut(self.queries)
        embeddings = queries if self.embeddings is self.queries else cut(self.embeddings)
        return replace(
            self,
            n_rows=int(features.shape[0]),
            features=features,
            queries=queries,
            embeddings=embeddings,
            response_embeddings=cut(self.response_embeddings),
            response_lengths=cut(self.response_lengths),
            confidences=cut(self.confidences),
            correct=cut(self.correct),
            timestamps=cut(self.timestamps),
        )


# ------------------------------------------------------------------ raw columns


@dataclass
class _Col:
    """One column as read: kind "num" (float64, NaN missing; ``flags`` set for
    booleans), "vec" (2-D, the dtype as stored), "text" (list of str/None),
    "time" (float64 seconds) or "other"."""

    kind: str
    values: Any
    dtype: str
    flags: bool = False


def _where(source: str) -> str:
    return f"'{source}'"


def _err(source: str, column: str | None, message: str, row: int | None = None, unit: str = "row") -> LogError:
    parts = [_where(source)]
    if column is not None:
        parts.append(f"column '{column}'")
    if row is not None:
        parts.append(f"{unit} {row}")
    return LogError(": ".join([" ".join(parts), message]) if len(parts) > 1 else f"{parts[0]}: {message}")


def _vectors(source: str, name: str, rows: Sequence[Any], unit: str = "row", first: int = 1) -> _Col:
    """A list of per-row sequences of numbers as one 2-D float64 array."""
    import numpy as np

    width = None
    for i, v in enumerate(rows):
        if v is None:
            raise _err(source, name, "missing embedding", i + first, unit)
        n = len(v)
        if width is None:
            width = n
        elif n != width:
            raise _err(source, name, f"embedding of {n} values, but earlier rows have {width}", i + first, unit)
    if rows and all(isinstance(v, np.ndarray) and v.dtype.kind in "iuf" for v in rows):
        # Arrays keep their dtype (a float32 frame column stays float32, unconverted).
        out = np.stack(rows) if width else np.empty((len(rows), 0), dtype=rows[0].dtype)
        return _Col("vec", out, str(out.dtype))
    try:
        out = np.array(rows, dtype=np.float64).reshape(len(rows), width or 0)
    except (TypeError, ValueError):
        for i, v in enumerate(rows):
            try:
                np.asarray(v, dtype=np.float64)
            except (TypeError, ValueError):
                raise _err(source, name, "embedding holds a value that is not a number", i + first, unit) from None
        raise
    return _Col("vec", out, "float64")


def _time_of_text(text: str) -> float:
    t = text.strip()
    if t.endswith("Z"):
        t = t[:-1] + "+00:00"
    d = datetime.fromisoformat(t)
    if d.tzinfo is None:
        d = d.replace(tzinfo=timezone.utc)
    return d.timestamp()


def _from_python(source: str, name: str, values: list[Any], unit: str = "row", first: int = 1) -> _Col:
    """A column given as Python objects (JSON Lines, object arrays, lists)."""
    import numpy as np

    sample = next((v for v in values if v is not None), None)
    if sample is None:
        return _Col("num", np.full(len(values), np.nan), "null")
    if isinstance(sample, (list, tuple)) or (isinstance(sample, np.ndarray) and sample.ndim == 1):
        return _vectors(source, name, values, unit, first)
    if isinstance(sample, (bool, np.bool_)):
        out = np.empty(len(values))
        for i, v in enumerate(values):
            if v is None:
                out[i] = np.nan
            elif isinstance(v, (bool, np.bool_)):
                out[i] = float(v)
            else:
                raise _err(source, name, f"expected true/false, got {v!r}", i + first, unit)
        return _Col("num", out, "bool", flags=True)
    if isinstance(sample, (int, float, np.integer, np.floating)):
        out = np.empty(len(values))
        for i, v in enumerate(values):
            if v is None:
                out[i] = np.nan
            elif isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_)):
                out[i] = float(v)
            else:
                raise _err(source, name, f"expected a number, got {v!r}", i + first, unit)
        return _Col("num", out, "number")
    if isinstance(sample, str):
        for i, v in enumerate(values):
            if v is not None and not isinstance(v, str):
                raise _err(source, name, f"expected text, got {v!r}", i + first, unit)
        return _Col("text", values, "str")
    if isinstance(sample, datetime):
        out = np.array(
            [np.nan if v is None else (v if v.tzinfo else v.replace(tzinfo=timezone.utc)).timestamp() for v in values]
        )
        return _Col("time", out, "datetime")
    return _Col("other", values, type(sample).__name__)


def _from_numpy(source: str, name: str, arr: Any) -> _Col:
    import numpy as np

    arr = np.asarray(arr)
    if arr.ndim == 2:
        if arr.dtype.kind not in "biuf":
            raise _err(source, name, f"embedding of {arr.dtype} values, not numbers")
        return _Col("vec", arr, str(arr.dtype))
    if arr.ndim != 1:
        raise _err(source, name, f"a {arr.ndim}-D array; columns are 1-D (or 2-D for embeddings)")
    if arr.dtype.kind == "b":
        return _Col("num", arr.astype(np.float64), "bool", flags=True)
    if arr.dtype.kind in "iuf":
        return _Col("num", arr.astype(np.float64), str(arr.dtype))
    if arr.dtype.kind == "M":
        return _Col("time", arr.astype("datetime64[ns]").astype(np.int64) / 1e9, str(arr.dtype))
    if arr.dtype.kind in "UO":
        return _from_python(source, name, arr.tolist())
    return _Col("other", arr, str(arr.dtype))


# ------------------------------------------------------------------ readers


def _arrow_columns(source: str, table: Any) -> dict[str, _Col]:
    import numpy as np
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    out: dict[str, _Col] = {}
    for name, column in zip(table.column_names, table.columns):
        name = str(name)
        t = column.type
        if pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_fixed_size_list(t):
            col = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
            if col.null_count:
                row = int(np.flatnonzero(col.is_null().to_numpy(zero_copy_only=False))[0])
                raise _err(source, name, "missing embedding", row + 1)
            lengths = pc.list_value_length(col).to_numpy(zero_copy_only=False)
            if len(lengths) and (lengths != lengths[0]).any():
                row = int(np.flatnonzero(lengths != lengths[0])[0])
                raise _err(source, name, f"embedding of {lengths[row]} values, but earlier rows have {lengths[0]}",
                           row + 1)
            vt = t.value_type
            if not (pa.types.is_floating(vt) or pa.types.is_integer(vt)):
                raise _err(source, name, f"embedding of {vt} values, not numbers")
            flat = pc.list_flatten(col)
            if flat.null_count:
                where = int(np.flatnonzero(flat.is_null().to_numpy(zero_copy_only=False))[0])
                raise _err(source, name, "embedding holds a missing value", where // max(int(lengths[0]), 1) + 1)
            width = int(lengths[0]) if len(lengths) else 0
            values = flat.to_numpy(zero_copy_only=False).reshape(len(col), width)
            out[name] = _Col("vec", values, str(values.dtype))
        elif pa.types.is_boolean(t):
            out[name] = _Col("num", pc.cast(column, pa.float64()).to_numpy(zero_copy_only=False), "bool", flags=True)
        elif pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t):
            out[name] = _Col("num", pc.cast(column, pa.float64()).to_numpy(zero_copy_only=False), str(t))
        elif pa.types.is_timestamp(t) or pa.types.is_date(t):
            if pa.types.is_date(t):
                column, t = pc.cast(column, pa.timestamp("s")), pa.timestamp("s")
            # The stored integers count units since the epoch in UTC, with or without a zone.
            ticks = pc.cast(column, pa.int64()).to_numpy(zero_copy_only=False).astype(np.float64)
            secs = ticks / {"s": 1.0, "ms": 1e3, "us": 1e6, "ns": 1e9}[t.unit]
            out[name] = _Col("time", secs, str(t))
        elif pa.types.is_string(t) or pa.types.is_large_string(t):
            out[name] = _Col("text", column.to_pylist(), "str")
        else:
            out[name] = _Col("other", None, str(t))
    return out


def _read_parquet(path: str) -> dict[str, _Col]:
    return _arrow_columns(path, read_parquet(path, LogError))


def _read_jsonl(path: str) -> dict[str, _Col]:
    names: list[str] = []
    columns: dict[str, list[Any]] = {}
    lines: list[int] = []
    try:
        with open(path, encoding="utf-8-sig") as f:
            for line_no, line in enumerate(f, start=1):
                if not line.strip():
                    continue
                try:
                    obj = json.loads(line)
                except ValueError as err:
                    raise LogError(f"'{path}' line {line_no}: not valid JSON ({err})") from None
                if not isinstance(obj, dict):
                    raise LogError(f"'{path}' line {line_no}: expected one JSON object per line")
                for k in obj:
                    if k not in columns:
                        names.append(k)
                        columns[k] = [None] * len(lines)
                for k in names:
                    columns[k].append(obj.get(k))
                lines.append(line_no)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise LogError(f"cannot read '{path}': not a UTF-8 text file") from None
    out: dict[str, _Col] = {}
    for k in names:
        try:
            out[k] = _from_python(path, k, columns[k], unit="row")
        except LogError as err:
            # Re-point the row at the file's line number, which an editor can jump to.
            msg = str(err)
            marker = f"column '{k}' row "
            if marker in msg:
                head, rest = msg.split(marker, 1)
                row_text, tail = rest.split(":", 1)
                msg = f"{head}column '{k}' line {lines[int(row_text) - 1]}:{tail}"
            raise LogError(msg) from None
    return out


_TRUE = {"true", "t", "yes", "y", "1", "1.0"}
_FALSE = {"false", "f", "no", "n", "0", "0.0"}


def _csv_column(path: str, name: str, cells: list[str]) -> _Col:
    import numpy as np

    present = [c.strip() for c in cells if c.strip()]
    if not present:
        return _Col("num", np.full(len(cells), np.nan), "empty")
    head = present[0]
    if head.startswith("["):
        rows: list[Any] = []
        for i, c in enumerate(cells):
            t = c.strip()
            if not t:
                rows.append(None)
                continue
            try:
                rows.append(json.loads(t))
            except ValueError:
                raise _err(path, name, f"not a list of numbers: {t[:40]!r}", i + 2, "line") from None
        return _vectors(path, name, rows, "line", first=2)
    try:
        values = np.array([float(c) if c.strip() else np.nan for c in cells])
        return _Col("num", values, "number")
    except ValueError:
        pass
    if all(c.lower() in _TRUE or c.lower() in _FALSE for c in present):
        return _Col("num", np.array([np.nan if not c.strip() else float(c.strip().lower() in _TRUE) for c in cells]),
                    "bool", flags=True)
    return _Col("text", [c if c.strip() else None for c in cells], "str")


def _read_csv(path: str, delimiter: str) -> dict[str, _Col]:
    # Wide embedding cells ("[0.1, 0.2, ...]") exceed csv's default field limit.
    csv.field_size_limit(min(sys.maxsize, 2**31 - 1))
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f, delimiter=delimiter)
            header = next(reader, None)
            if header is None:
                raise LogError(f"'{path}' is empty (expected a header row with column names)")
            names = [h.strip() for h in header]
            cells: list[list[str]] = [[] for _ in names]
            for line_no, row in enumerate(reader, start=2):
                if not row:
                    continue
                if len(row) != len(names):
                    raise LogError(f"'{path}' line {line_no}: {len(row)} fields, but the header names {len(names)}")
                for j, c in enumerate(row):
                    cells[j].append(c)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise LogError(f"cannot read '{path}': not a UTF-8 text file") from None
    except csv.Error as err:
        raise LogError(f"cannot read '{path}' as CSV: {err}") from None
    return {n: _csv_column(path, n, c) for n, c in zip(names, cells)}


def _pandas_columns(source: str, frame: Any) -> dict[str, _Col]:
    import numpy as np

    out: dict[str, _Col] = {}
    for label in frame.columns:
        name = str(label)
        s = frame[label]
        dtype = s.dtype
        kind = getattr(dtype, "kind", "O")
        if kind == "M":
            if getattr(dtype, "tz", None) is not None:
                s = s.dt.tz_convert("UTC").dt.tz_localize(None)
            ns = s.to_numpy(dtype="datetime64[ns]").astype(np.int64).astype(np.float64)
            ns[s.isna().to_numpy()] = np.nan
            out[name] = _Col("time", ns / 1e9, str(dtype))
        elif kind == "b":
            out[name] = _Col("num", s.to_numpy(dtype=np.float64, na_value=np.nan), str(dtype), flags=True)
        elif kind in "iuf":
            out[name] = _Col("num", s.to_numpy(dtype=np.float64, na_value=np.nan), str(dtype))
        else:
            values = [None if (v is None or (isinstance(v, float) and math.isnan(v))) else v for v in s.tolist()]
            out[name] = _from_python(source, name, values)
    return out


def _polars_columns(source: str, frame: Any) -> dict[str, _Col]:
    import numpy as np
    import polars as pl

    out: dict[str, _Col] = {}
    for name in frame.columns:
        s = frame.get_column(name)
        dtype = s.dtype
        if isinstance(dtype, (pl.List, pl.Array)):
            if s.null_count():
                row = int(np.flatnonzero(s.is_null().to_numpy())[0])
                raise _err(source, name, "missing embedding", row + 1)
            lengths = s.list.len().to_numpy() if isinstance(dtype, pl.List) else None
            if lengths is not None and len(lengths) and (lengths != lengths[0]).any():
                row = int(np.flatnonzero(lengths != lengths[0])[0])
                raise _err(source, name, f"embedding of {lengths[row]} values, but earlier rows have {lengths[0]}",
                           row + 1)
            flat = s.explode() if isinstance(dtype, pl.List) else s.arr.explode()
            if not flat.dtype.is_numeric():
                raise _err(source, name, f"embedding of {flat.dtype} values, not numbers")
            values = flat.to_numpy()
            width = (int(lengths[0]) if lengths is not None and len(lengths) else
                     getattr(dtype, "size", getattr(dtype, "width", 0)) if lengths is None else 0)
            out[name] = _Col("vec", values.reshape(len(s), width), str(values.dtype))
        elif dtype == pl.Boolean:
            out[name] = _Col("num", s.cast(pl.Float64).fill_null(float("nan")).to_numpy(), "bool", flags=True)
        elif dtype.is_numeric():
            out[name] = _Col("num", s.cast(pl.Float64).fill_null(float("nan")).to_numpy(), str(dtype))
        elif isinstance(dtype, pl.Datetime) or dtype == pl.Date:
            us = s.cast(pl.Datetime("us")).dt.epoch("us") if dtype == pl.Date else s.dt.epoch("us")
            out[name] = _Col("time", us.cast(pl.Float64).fill_null(float("nan")).to_numpy() / 1e6, str(dtype))
        elif dtype == pl.Utf8:
            out[name] = _Col("text", s.to_list(), "str")
        else:
            out[name] = _Col("other", None, str(dtype))
    return out


def _columns_of(source: Any, name: str | None) -> tuple[str, dict[str, _Col]]:
    """Reads ``source`` into raw columns; returns the name used in messages too."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        suffix = os.path.splitext(path)[1].lower()
        if not os.path.exists(path):
            raise LogError(f"cannot read '{path}': No such file or directory")
        if suffix in (".parquet", ".pq"):
            return path, _read_parquet(path)
        if suffix in (".csv", ".tsv"):
            return path, _read_csv(path, "\t" if suffix == ".tsv" else ",")
        if suffix in (".jsonl", ".ndjson", ".json"):
            return path, _read_jsonl(path)
        raise LogError(f"'{path}': unsupported log format (use {', '.join(LOG_SUFFIXES)})")
    label = name or "log"
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(source, pd.DataFrame):
        return label, _pandas_columns(label, source)
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(source, pl.DataFrame):
        return label, _polars_columns(label, source)
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(source, pa.Table):
        return label, _arrow_columns(label, source)
    if isinstance(source, Mapping):
        return label, {str(k): _from_numpy(label, str(k), v) for k, v in source.items()}
    raise TypeError(
        f"argument '{label}': expected a path to a .parquet/.csv/.jsonl log, a pandas or polars DataFrame, "
        f"a pyarrow Table or a dict of columns, got {type(source).__name__}"
    )


# ------------------------------------------------------------------ roles


def _embedding(source: str, name: str, col: _Col, notes: list[str]) -> NDArray[numpy.float32]:
    import numpy as np

    if col.kind != "vec":
        raise _err(source, name, f"expected an embedding (a list of numbers per row), got {col.dtype} values")
    arr = col.values
    if arr.dtype != np.float32:
        # Explicit and reported: the detectors take float32 and never cast silently.
        notes.append(f"{name}: {arr.dtype} embeddings converted to float32")
        arr = arr.astype(np.float32)
    return np.ascontiguousarray(arr)


def _numbers(source: str, name: str, col: _Col) -> NDArray[numpy.float64]:
    if col.kind != "num":
        raise _err(source, name, f"expected numbers, got {col.dtype} values")
    return col.values  # type: ignore[no-any-return]


def _flags(source: str, name: str, col: _Col) -> NDArray[numpy.bool_]:
    import numpy as np

    if col.kind == "text":
        vals = [None if v is None else v.strip().lower() for v in col.values]
        bad = next((i for i, v in enumerate(vals) if v not in _TRUE and v not in _FALSE), None)
        if bad is not None:
            raise _err(source, name, f"not a flag (true/false, yes/no, 1/0): {col.values[bad]!r}", bad + 1)
        return np.array([v in _TRUE for v in vals], dtype=bool)
    v = _numbers(source, name, col)
    bad_mask = ~((v == 0) | (v == 1))
    if bad_mask.any():
        row = int(np.flatnonzero(bad_mask)[0])
        what = "missing" if math.isnan(v[row]) else f"not a flag (true/false or 0/1): {v[row]!r}"
        raise _err(source, name, what, row + 1)
    flags: NDArray[numpy.bool_] = v == 1
    return flags


def _timestamps(source: str, name: str, col: _Col) -> NDArray[numpy.float64]:
    import numpy as np

    if col.kind == "time":
        out = col.values
    elif col.kind == "num" and not col.flags:
        out = col.values
    elif col.kind == "text":
        out = np.empty(len(col.values))
        for i, v in enumerate(col.values):
            if v is None:
                out[i] = np.nan
                continue
            try:
                out[i] = _time_of_text(v)
            except ValueError:
                raise _err(source, name, f"not an ISO 8601 time or a number of seconds: {v!r}", i + 1) from None
    else:
        raise _err(source, name, f"expected times (ISO 8601 text, seconds or a datetime column), got {col.dtype}")
    missing = np.isnan(out)
    if missing.any():
        raise _err(source, name, "missing timestamp", int(np.flatnonzero(missing)[0]) + 1)
    return np.asarray(out, dtype=np.float64)


def _lengths(source: str, name: str, col: _Col, unit: LengthUnit) -> NDArray[numpy.float64]:
    import numpy as np

    if col.kind != "text":
        raise _err(source, name, f"expected the response text, got {col.dtype} values")
    if unit == "words":
        return np.array([np.nan if t is None else float(len(t.split())) for t in col.values])
    return np.array([np.nan if t is None else float(len(t)) for t in col.values])


def read_log(
    source: Any,
    *,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    name: str | None = None,
) -> RequestLog:
    """Reads a request log into detector inputs.

    ``source`` is a path (.parquet/.pq, .csv/.tsv, .jsonl/.ndjson), a pandas or
    polars DataFrame, a pyarrow Table or a dict of columns (1-D arrays, 2-D
    arrays for embeddings). ``columns`` renames the roles; ``length`` ("chars" or
    "words", default ``columns.length``) measures a ``response`` text column when
    there is no ``response_length`` column. ``name`` labels a non-file source in
    messages. Raises :class:`LogError` for unreadable input, ``TypeError`` for an
    unsupported ``source``.
    """
    import numpy as np

    cols = columns if columns is not None else LogColumns()
    unit: LengthUnit = length if length is not None else cols.length
    if unit not in ("chars", "words"):
        raise ValueError(f"argument 'length': expected 'chars' or 'words', got {unit!r}")
    label, raw = _columns_of(source, name)
    counts = {k: len(c.values) for k, c in raw.items() if c.values is not None}
    if len(set(counts.values())) > 1:
        first = next(iter(counts))
        other = next(k for k, v in counts.items() if v != counts[first])
        raise _err(label, other, f"{counts[other]} rows, but column '{first}' has {counts[first]}")
    n = next(iter(counts.values()), 0)
    notes: list[str] = []
    roles = cols.roles()

    def get(role: str) -> tuple[str, _Col] | None:
        col_name = roles.get(role)
        if col_name is None or col_name not in raw:
            return None
        return col_name, raw[col_name]

    queries = embeddings = response_embeddings = None
    lengths = confidences = correct = timestamps = None
    embedding_column = length_column = None
    if (q := get("query_embedding")) is not None:
        queries = _embedding(label, q[0], q[1], notes)
    if (e := get("embedding")) is not None:
        embeddings, embedding_column = _embedding(label, e[0], e[1], notes), e[0]
    elif queries is not None:
        embeddings, embedding_column = queries, roles["query_embedding"]
    if (r := get("response_embedding")) is not None:
        response_embeddings = _embedding(label, r[0], r[1], notes)
    if (ln := get("response_length")) is not None:
        lengths, length_column = _numbers(label, ln[0], ln[1]), ln[0]
    elif (t := get("response")) is not None:
        lengths, length_column = _lengths(label, t[0], t[1], unit), f"{t[0]} ({unit})"
    if (c := get("confidence")) is not None:
        confidences = _numbers(label, c[0], c[1])
    if (ok := get("correct")) is not None:
        correct = _flags(label, ok[0], ok[1])
    if (ts := get("timestamp")) is not None:
        timestamps = _timestamps(label, ts[0], ts[1])

    taken = set(roles.values())
    if cols.features is not None:
        feature_names = list(cols.features)
        for f in feature_names:
            if f not in raw:
                raise _err(label, f, "no such column (listed as a feature)")
            if raw[f].kind != "num":
                raise _err(label, f, f"a feature must be numeric or boolean, got {raw[f].dtype} values")
    else:
        skip = taken | set(cols.exclude)
        feature_names = [k for k, c in raw.items() if c.kind == "num" and k not in skip]
    features = np.empty((n, len(feature_names)), dtype=np.float64, order="F")
    for j, f in enumerate(feature_names):
        features[:, j] = raw[f].values
    return RequestLog(
        source=label,
        n_rows=n,
        features=features,
        feature_names=feature_names,
        queries=queries,
        embeddings=embeddings,
        embedding_column=embedding_column,
        response_embeddings=response_embeddings,
        response_lengths=None if lengths is None else np.asarray(lengths, dtype=np.float64),
        length_column=length_column,
        confidences=confidences,
        correct=correct,
        timestamps=timestamps,
        notes=tuple(notes),
    )


# ------------------------------------------------------------------ configuration


_COLUMN_KEYS = ROLES


def load_config(path: str) -> tuple[LogColumns, dict[str, Any]]:
    """Reads a TOML configuration: the ``[columns]`` table renames roles (a name, or
    ``false`` to ignore the role), lists ``features`` and ``exclude``, and sets
    ``length`` ("chars"/"words"); every other top-level key is returned as options.

    .. code-block:: toml

        [columns]
        query_embedding = "q_vec"
        response = "answer"
        length = "words"
        exclude = ["request_id"]
    """
    try:
        import tomllib  # type: ignore[import-not-found, unused-ignore]
    except ImportError:  # Python 3.10
        try:
            import tomli as tomllib  # type: ignore[import-not-found, no-redef, unused-ignore]
        except ImportError:
            raise LogError(
                f"reading '{path}' needs Python 3.11 or the tomli package (pip install tomli)"
            ) from None
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except tomllib.TOMLDecodeError as err:
        raise LogError(f"cannot read '{path}' as TOML: {err}") from None
    table = data.pop("columns", {})
    if not isinstance(table, dict):
        raise LogError(f"'{path}': [columns] must be a table")
    kwargs: dict[str, Any] = {}
    for key, value in table.items():
        if key in _COLUMN_KEYS:
            if value is False:
                kwargs[key] = None
            elif isinstance(value, str):
                kwargs[key] = value
            else:
                raise LogError(f"'{path}': columns.{key} must be a column name or false, got {value!r}")
        elif key in ("features", "exclude"):
            if not (isinstance(value, list) and all(isinstance(v, str) for v in value)):
                raise LogError(f"'{path}': columns.{key} must be a list of column names")
            kwargs[key] = tuple(value)
        elif key == "length":
            if value not in ("chars", "words"):
                raise LogError(f"'{path}': columns.length must be \"chars\" or \"words\", got {value!r}")
            kwargs[key] = value
        else:
            raise LogError(f"'{path}': unknown key columns.{key} (known: {', '.join(_COLUMN_KEYS)}, "
                           "features, exclude, length)")
    return LogColumns(**kwargs), data
