"""Feature tables from arrays and DataFrames (pandas, polars) for the data detector.

NumPy and polars are imported inside the functions and pandas is only looked up
in sys.modules, so that ``import morvanta`` stays cheap and frames optional.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .._native import DataDrift
    import numpy
    from numpy.typing import NDArray


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
        out[:, j] = frame.iloc[:, j].to_numpy(dtype=np.float64, na_value=np.nan)
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
