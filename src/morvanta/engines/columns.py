"""Per-column data drift: which features moved, and by how much.

NumPy and polars are imported inside the functions and pandas is only looked up
in sys.modules, so that ``import morvanta`` stays cheap and frames optional.
"""

from __future__ import annotations

import math

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .._native import DataDrift
from ..errors import annotated
from ..io.frames import as_feature_table, match_columns
from ..results import ColumnDrift

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["ColumnDrift", "data_drift_by_column", "as_feature_table", "match_columns", "column_scores"]


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


@annotated
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


def worst_first(columns: Sequence[ColumnDrift]) -> list[ColumnDrift]:
    # Highest score first, NaN last, ties in column order.
    def key(c: ColumnDrift) -> tuple[bool, float, int]:
        x = c.score.score
        return (math.isnan(x), 0.0 if math.isnan(x) else -x, c.index)

    return sorted(columns, key=key)
