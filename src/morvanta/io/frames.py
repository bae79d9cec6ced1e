"""Frames and arrays: pandas and polars DataFrames, dicts of arrays.

:func:`pandas_table`, :func:`polars_table` and :func:`mapping_table` turn a
frame into the raw columns every reader produces (see
:mod:`morvanta.io.cells`), so that a request log held in a frame reads as the
same log written to a file. :func:`as_feature_table` gives the data detector a
float64 table of a frame's numeric columns.

NumPy and polars are imported inside the functions and pandas is only looked up
in sys.modules, so that ``import morvanta`` stays cheap and frames optional.
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from .cells import Column, Origin, Table, common_width, object_column

if TYPE_CHECKING:
    from .._native import DataDrift
    import numpy
    from numpy.typing import NDArray

__all__ = ["pandas_table", "polars_table", "mapping_table", "as_feature_table", "match_columns", "numbers_of"]


def numbers_of(series: Any) -> NDArray[numpy.float64]:
    """A pandas numeric or boolean column as float64, NaN for missing cells."""
    import numpy as np

    out: NDArray[numpy.float64] = series.to_numpy(dtype=np.float64, na_value=np.nan)
    return out


def _pandas_column(origin: Origin, name: str, s: Any) -> Column:
    import numpy as np

    pd = sys.modules["pandas"]
    dtype = s.dtype
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        from .parquet import arrow_column

        return arrow_column(origin, name, pa.chunked_array(s.array.__arrow_array__()))
    if isinstance(dtype, pd.CategoricalDtype):
        # A pandas categorical is categorical whatever its categories hold.
        missing = s.isna().to_numpy()
        cells = [None if m else str(v) for v, m in zip(s.tolist(), missing)]
        return Column(name, "text", cells, str(dtype))
    kind = getattr(dtype, "kind", "O")
    if kind == "M":
        if getattr(dtype, "tz", None) is not None:
            s = s.dt.tz_convert("UTC").dt.tz_localize(None)
        ns = s.to_numpy(dtype="datetime64[ns]").astype(np.int64).astype(np.float64)
        ns[s.isna().to_numpy()] = np.nan
        return Column(name, "time", ns / 1e9, str(dtype))
    if kind == "b":
        return Column(name, "flag", numbers_of(s), str(dtype))
    if kind in "iuf":
        return Column(name, "number", numbers_of(s), str(dtype))
    if kind == "O" or isinstance(dtype, pd.StringDtype):
        missing = s.isna().to_numpy()
        cells = [None if m else v for v, m in zip(s.tolist(), missing)]
        return object_column(origin, name, cells, str(dtype))
    return Column(name, "other", None, str(dtype))


def pandas_table(frame: Any, origin: Origin, columns: Any = None) -> Table:
    """The raw columns of a pandas DataFrame (only ``columns``, when given)."""
    out = Table(origin, {}, len(frame))
    for label in frame.columns:
        name = str(label)
        if columns is not None and name not in columns:
            continue
        if name in out.columns:
            raise origin.error(name, "appears twice; column names must be unique")
        s = frame[label]
        if getattr(s, "ndim", 1) != 1:  # duplicate labels select a frame
            raise origin.error(name, "appears twice; column names must be unique")
        out.add(_pandas_column(origin, name, s))
    return out


def _polars_matrix(origin: Origin, name: str, s: Any) -> Any:
    import numpy as np
    import polars as pl

    dtype = s.dtype
    if s.null_count():
        raise origin.error(name, "missing embedding", int(np.flatnonzero(s.is_null().to_numpy())[0]))
    if isinstance(dtype, pl.List):
        width = common_width(origin, name, s.list.len().to_numpy())
        flat = s.explode()
    else:
        width = int(getattr(dtype, "size", getattr(dtype, "width", 0)))
        flat = s.arr.explode()
    if not flat.dtype.is_numeric():
        if isinstance(flat.dtype, (pl.List, pl.Array)):
            raise origin.error(name, "embedding holds a list inside the list; an embedding is a flat list of "
                                     "numbers", 0)
        raise origin.error(name, f"embedding of {flat.dtype} values, not numbers")
    if flat.null_count():
        where = int(np.flatnonzero(flat.is_null().to_numpy())[0])
        raise origin.error(name, "embedding holds a missing value", where // max(width, 1))
    return flat.to_numpy().reshape(len(s), width)


def _polars_column(origin: Origin, name: str, s: Any) -> Column:
    import polars as pl

    dtype = s.dtype
    if isinstance(dtype, (pl.List, pl.Array)):
        return Column(name, "vector", None, str(dtype), build=lambda: _polars_matrix(origin, name, s))
    if dtype == pl.Boolean:
        return Column(name, "flag", s.cast(pl.Float64).fill_null(float("nan")).to_numpy(), "bool")
    if dtype.is_numeric():
        return Column(name, "number", s.cast(pl.Float64).fill_null(float("nan")).to_numpy(), str(dtype))
    if isinstance(dtype, pl.Datetime):
        unit = dtype.time_unit or "us"
        factor = {"ns": 1e9, "us": 1e6, "ms": 1e3}[unit]
        ticks = s.dt.epoch(unit).cast(pl.Float64).fill_null(float("nan")).to_numpy()
        return Column(name, "time", ticks / factor, str(dtype))
    if dtype == pl.Date:
        us = s.cast(pl.Datetime("us")).dt.epoch("us").cast(pl.Float64).fill_null(float("nan")).to_numpy()
        return Column(name, "time", us / 1e6, str(dtype))
    if dtype in (pl.Utf8, pl.Categorical) or isinstance(dtype, pl.Enum):
        return object_column(origin, name, s.cast(pl.Utf8).to_list(), str(dtype))
    if dtype == pl.Null:
        import numpy as np

        return Column(name, "empty", np.full(len(s), np.nan), "null")
    return Column(name, "other", None, str(dtype))


def polars_table(frame: Any, origin: Origin) -> Table:
    """The raw columns of a polars DataFrame."""
    out = Table(origin, {}, int(frame.height))
    for name in frame.columns:
        out.add(_polars_column(origin, str(name), frame.get_column(name)))
    return out


def _array_column(origin: Origin, name: str, value: Any) -> Column:
    import numpy as np

    arr = np.asarray(value)
    if arr.ndim == 2:
        if arr.dtype.kind in "iuf":
            return Column(name, "vector", None, str(arr.dtype), build=lambda: arr)

        def refuse() -> Any:
            raise origin.error(name, f"embedding of {arr.dtype} values, not numbers")

        return Column(name, "vector", None, str(arr.dtype), build=refuse)
    if arr.ndim != 1:
        raise origin.error(name, f"a {arr.ndim}-D array; columns are 1-D (or 2-D for embeddings)")
    if arr.dtype.kind == "b":
        return Column(name, "flag", arr.astype(np.float64), "bool")
    if arr.dtype.kind in "iuf":
        return Column(name, "number", arr.astype(np.float64), str(arr.dtype))
    if arr.dtype.kind == "M":
        ns = arr.astype("datetime64[ns]")
        secs = ns.astype(np.int64).astype(np.float64) / 1e9
        secs[np.isnat(ns)] = np.nan
        return Column(name, "time", secs, str(arr.dtype))
    if arr.dtype.kind in "UO":
        return object_column(origin, name, arr.tolist(), str(arr.dtype))
    return Column(name, "other", None, str(arr.dtype))


def mapping_table(mapping: Mapping[Any, Any], origin: Origin) -> Table:
    """The raw columns of a dict of columns: 1-D arrays or lists, 2-D arrays for embeddings."""
    columns = [_array_column(origin, str(k), v) for k, v in mapping.items()]
    counts = {c.name: len(v) for c, v in zip(columns, mapping.values())}
    n = next(iter(counts.values()), 0)
    first = next(iter(counts), None)
    for name, count in counts.items():
        if count != n:
            raise origin.error(name, f"{count} rows, but column '{first}' has {n}")
    out = Table(origin, {}, n)
    for c in columns:
        out.add(c)
    return out


def _frame_kind(obj: object) -> str | None:
    # A frame can only exist if its library is already imported, so looking in
    # sys.modules never imports pandas or polars on our behalf.
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(obj, pd.DataFrame):
        return "pandas"
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(obj, pl.DataFrame):
        return "polars"
    return None


def _not_numeric(arg: str, column: object, dtype: object) -> TypeError:
    return TypeError(f"argument '{arg}': column {str(column)!r} is not numeric (dtype {dtype})")


def _pandas_table(arg: str, frame: Any) -> tuple[NDArray[numpy.float64], list[str]]:
    import numpy as np

    names = [str(c) for c in frame.columns]
    # Checked up front so the error names the first offending column, not whichever
    # one NumPy happened to choke on.
    for label, dtype in zip(frame.columns, frame.dtypes):
        # NumPy and pandas extension dtypes (nullable Int64, boolean) both carry a kind code.
        if getattr(dtype, "kind", "O") not in "biuf":
            raise _not_numeric(arg, label, dtype)
    # Column-major, so that every column handed to the detector is one contiguous run.
    out = np.empty((len(frame), len(names)), dtype=np.float64, order="F")
    for j in range(len(names)):
        out[:, j] = numbers_of(frame.iloc[:, j])
    return out, names


def _polars_table(arg: str, frame: Any) -> tuple[NDArray[numpy.float64], list[str]]:
    import numpy as np
    import polars as pl

    names = list(frame.columns)
    for name, dtype in frame.schema.items():
        if not (dtype.is_numeric() or dtype == pl.Boolean):
            raise _not_numeric(arg, name, dtype)
    out = np.empty((frame.height, len(names)), dtype=np.float64, order="F")
    for j, name in enumerate(names):
        out[:, j] = frame.get_column(name).cast(pl.Float64).fill_null(float("nan")).to_numpy()
    return out, names


def as_feature_table(arg: str, table: object) -> tuple[NDArray[numpy.float64], list[str] | None]:
    """Returns ``table`` as a 2-D float64 array and its column names (None for arrays).

    Arrays are passed through unconverted (a float32 or integer array is refused,
    as by :class:`DataDrift`); DataFrames keep their numeric columns' values,
    converted to float64, and refuse any other column.
    """
    kind = _frame_kind(table)
    if kind == "pandas":
        return _pandas_table(arg, table)
    if kind == "polars":
        return _polars_table(arg, table)
    np = sys.modules.get("numpy")
    if np is None or not isinstance(table, np.ndarray):
        raise TypeError(
            f"argument '{arg}': expected a 2-D float64 NumPy array or a DataFrame, "
            f"got {type(table).__name__}"
        )
    if table.ndim != 2 or table.dtype != np.float64:
        raise TypeError(
            f"argument '{arg}': expected a 2-D float64 array, got a {table.ndim}-D {table.dtype} array"
        )
    return table, None


def match_columns(
    detector: DataDrift,
    base: NDArray[numpy.float64],
    base_names: list[str] | None,
    cur: NDArray[numpy.float64],
    cur_names: list[str] | None,
) -> NDArray[numpy.float64]:
    """Returns ``cur`` with its columns in the baseline's order.

    Different column counts raise the detector's own MorvantaError. When both
    tables carry names they are matched by name, not by position, so that a
    reordered export never pairs "age" with "income"; names that differ raise
    ValueError.
    """
    if base.shape[1] != cur.shape[1]:
        # Zero-row views: the detector tests the column counts before anything
        # else, so this raises its mismatch error without copying either table.
        detector.detect(base[:0], cur[:0])
        raise RuntimeError("DataDrift accepted tables with different column counts")
    if base_names is None or cur_names is None or base_names == cur_names:
        return cur
    if sorted(base_names) != sorted(cur_names) or len(set(base_names)) != len(base_names):
        missing = [n for n in base_names if n not in cur_names]
        extra = [n for n in cur_names if n not in base_names]
        raise ValueError(
            f"column names differ: only in baseline {missing}, only in current {extra}"
            if missing or extra
            else "column names differ: duplicate column names cannot be matched"
        )
    where = {n: i for i, n in enumerate(cur_names)}
    return cur[:, [where[n] for n in base_names]]
