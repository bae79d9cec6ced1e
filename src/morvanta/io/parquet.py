"""Parquet files and Arrow tables.

Types are the schema's: numbers, booleans (flags), timestamps and dates
(times), strings (text), lists (embeddings, built into a matrix only when a
role reads them). pandas' metadata says which columns hold a frame's index;
they are dropped by :func:`~morvanta.io.cells.drop_row_index`.
"""

from __future__ import annotations

import os
from typing import Any

from .cells import Column, InputError, LogError, Origin, Table, common_width, object_column

__all__ = ["read_parquet", "read_parquet_table", "arrow_table", "arrow_column"]


def read_parquet(path: str, error: type[InputError] = LogError) -> Any:
    """The pyarrow Table of a Parquet file; a missing pyarrow or an unreadable
    file raises ``error`` naming the file."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise error(f"reading '{path}' needs pyarrow, which is not installed (pip install pyarrow)") from None
    try:
        if os.path.getsize(path) == 0:
            raise error(f"'{path}' is empty (0 bytes, not a Parquet file)")
        return pq.read_table(path)
    except OSError as err:
        if isinstance(err, (FileNotFoundError, PermissionError, IsADirectoryError)):
            raise error(f"cannot read '{path}': {err.strerror or err}") from None
        raise error(f"cannot read '{path}' as Parquet: {err}") from None
    except pa.ArrowException as err:
        raise error(f"cannot read '{path}' as Parquet: {err}") from None


def _list_matrix(origin: Origin, name: str, column: Any) -> Any:
    """A list column as a (rows, width) array of its value type."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    if pa.types.is_fixed_size_list(column.type) and not column.null_count:
        # Checked chunk by chunk below, without first copying the chunks into one.
        col = column.chunk(0) if isinstance(column, pa.ChunkedArray) and column.num_chunks else column
        if isinstance(col, pa.ChunkedArray):  # no chunks at all
            col = col.combine_chunks()
    else:
        col = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    if col.null_count:
        row = int(np.flatnonzero(col.is_null().to_numpy(zero_copy_only=False))[0])
        raise origin.error(name, "missing embedding", row)
    vt = col.type.value_type
    if not (pa.types.is_floating(vt) or pa.types.is_integer(vt)):
        if pa.types.is_list(vt) or pa.types.is_large_list(vt) or pa.types.is_fixed_size_list(vt):
            # Which row does not matter: every row of the column nests.
            raise origin.error(name, "embedding holds a list inside the list; an embedding is a flat list of "
                                     "numbers", 0 if len(col) else None)
        raise origin.error(name, f"embedding of {vt} values, not numbers")
    if pa.types.is_fixed_size_list(col.type):
        return _fixed_matrix(origin, name, column, col.type.list_size)
    lengths = pc.list_value_length(col).to_numpy(zero_copy_only=False)
    width = common_width(origin, name, lengths)
    flat = pc.list_flatten(col)
    if flat.null_count:
        where = int(np.flatnonzero(flat.is_null().to_numpy(zero_copy_only=False))[0])
        raise origin.error(name, "embedding holds a missing value", where // max(width, 1))
    values = flat.to_numpy(zero_copy_only=False)
    return values.reshape(len(col), width)


def _fixed_matrix(origin: Origin, name: str, column: Any, width: int) -> Any:
    """A FixedSizeList column without missing rows as a (rows, width) array: the
    values of a single chunk are used in place (no copy), several chunks are
    copied once, each straight into its rows of the result."""
    import numpy as np
    import pyarrow as pa

    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    rows = len(column)
    out = None
    start = 0
    for chunk in chunks:
        flat = chunk.flatten()  # the chunk's own values, offset applied
        if flat.null_count:
            where = int(np.flatnonzero(flat.is_null().to_numpy(zero_copy_only=False))[0])
            raise origin.error(name, "embedding holds a missing value", start + where // max(width, 1))
        values = flat.to_numpy(zero_copy_only=False).reshape(len(chunk), width)
        if len(chunks) == 1:
            return values
        if out is None:
            out = np.empty((rows, width), dtype=values.dtype)
        out[start:start + len(chunk)] = values
        start += len(chunk)
    return out if out is not None else np.empty((0, width), dtype=np.float32)


def _is_list(t: Any) -> bool:
    import pyarrow as pa

    return bool(pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_fixed_size_list(t))


def arrow_column(origin: Origin, name: str, column: Any) -> Column:
    """One Arrow column (a ChunkedArray or Array) as a raw column."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    t = column.type
    if pa.types.is_dictionary(t):
        # A dictionary column is categorical whatever its values hold.
        if not (pa.types.is_string(t.value_type) or pa.types.is_large_string(t.value_type)):
            column = pc.cast(pc.cast(column, t.value_type), pa.string())
        cells = [None if v is None else str(v) for v in column.to_pylist()]
        return Column(name, "text", cells, str(t))
    if _is_list(t):
        return Column(name, "vector", None, str(t), build=lambda: _list_matrix(origin, name, column))
    if pa.types.is_boolean(t):
        return Column(name, "flag", pc.cast(column, pa.float64()).to_numpy(zero_copy_only=False), "bool")
    if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t):
        # Integers beyond 2**53 round to the nearest float, as NumPy's astype does.
        values = pc.cast(column, pa.float64(), safe=False).to_numpy(zero_copy_only=False)
        return Column(name, "number", np.asarray(values, dtype=np.float64), str(t))
    if pa.types.is_timestamp(t) or pa.types.is_date(t):
        if pa.types.is_date(t):
            column, t = pc.cast(column, pa.timestamp("s")), pa.timestamp("s")
        # The stored integers count units since the epoch in UTC, with or without a zone.
        # (Nulls come out as NaN.)
        ticks = pc.cast(column, pa.int64()).to_numpy(zero_copy_only=False)
        secs = np.asarray(ticks, dtype=np.float64) / {"s": 1.0, "ms": 1e3, "us": 1e6, "ns": 1e9}[t.unit]
        return Column(name, "time", secs, str(t))
    if pa.types.is_string(t) or pa.types.is_large_string(t) or getattr(pa.types, "is_string_view", bool)(t):
        return object_column(origin, name, column.to_pylist(), str(t))
    if pa.types.is_null(t):
        return Column(name, "empty", np.full(len(column), np.nan), "null")
    return Column(name, "other", None, str(t))


def arrow_table(origin: Origin, table: Any) -> Table:
    """The columns of a pyarrow Table; pandas' index columns are recorded for dropping."""
    meta = table.schema.pandas_metadata or {}
    index = tuple(c for c in meta.get("index_columns", []) if isinstance(c, str))
    out = Table(origin, {}, int(table.num_rows), index_columns=index)
    for name, column in zip(table.column_names, table.columns):
        out.add(arrow_column(origin, str(name), column))
    return out


def read_parquet_table(path: str) -> Table:
    return arrow_table(Origin(path), read_parquet(path))

