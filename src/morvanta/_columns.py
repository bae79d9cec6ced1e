"""Per-column data drift: which features moved, and by how much.

NumPy and polars are imported inside the functions and pandas is only looked up
in sys.modules, so that ``import morvanta`` stays cheap and frames optional.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._native import DataDrift, DriftScore

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["ColumnDrift", "data_drift_by_column", "as_feature_table", "match_columns", "column_scores"]


@dataclass(frozen=True)
class ColumnDrift:
    """The drift of one feature column.

    ``index`` is the column's position in the baseline table, ``name`` its name
    (the frame's column label, the given ``names`` entry, or ``str(index)``), and
    ``score`` the :class:`DriftScore` that :class:`DataDrift` gives for that
    column alone: max(KS, PSI), the same column value the whole-table score
    maximises.
    """

    index: int
    name: str
    score: DriftScore


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


def column_scores(
    detector: DataDrift,
    base: NDArray[numpy.float64],
    cur: NDArray[numpy.float64],
    labels: Sequence[str],
) -> list[ColumnDrift]:
    """Scores each column pair on its own; the tables must already match."""
    # One-column views: the detector copies just that column out of each table.
    return [
        ColumnDrift(j, labels[j], detector.detect(base[:, j : j + 1], cur[:, j : j + 1]))
        for j in range(base.shape[1])
    ]


def data_drift_by_column(
    baseline: Any,
    current: Any,
    *,
    threshold: float = 0.1,
    n_bins: int = 10,
    names: Sequence[str] | None = None,
) -> list[ColumnDrift]:
    """Scores every feature column on its own with :class:`DataDrift`.

    ``baseline`` and ``current`` are 2-D float64 arrays (rows are samples, columns
    features) or, when pandas or polars is installed, DataFrames of numeric
    columns (converted to float64; two frames are matched by column name).
    Returns one :class:`ColumnDrift` per baseline column, in column order; the
    largest ``score.score`` equals ``DataDrift(threshold, n_bins).detect(baseline,
    current).score``. ``names`` overrides the column names.

    Raises :class:`MorvantaError` when the column counts differ (with the
    detector's own message) or a column cannot be scored (e.g. an empty window),
    ``TypeError`` for an unsupported table or a non-numeric column, and
    ``ValueError`` for ``names`` of the wrong length or frames whose column names
    differ.

    >>> rows = morvanta.data_drift_by_column(base, cur, names=["age", "income"])
    >>> worst = max(rows, key=lambda c: c.score.score)
    """
    base, base_names = as_feature_table("baseline", baseline)
    cur, cur_names = as_feature_table("current", current)
    detector = DataDrift(threshold, n_bins)
    cur = match_columns(detector, base, base_names, cur, cur_names)
    if isinstance(names, str):
        raise TypeError("argument 'names': expected a sequence of column names, got str")
    if names is not None:
        labels = [str(n) for n in names]
        if len(labels) != base.shape[1]:
            raise ValueError(f"names has {len(labels)} entries for {base.shape[1]} columns")
    elif base_names is not None:
        labels = base_names
    else:
        labels = [str(j) for j in range(base.shape[1])]
    return column_scores(detector, base, cur, labels)
