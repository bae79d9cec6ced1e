"""Breakdowns: the parts each drift score is made of.

Every breakdown carries the :class:`DriftScore` it explains, and its parts
recombine into that score with the same floating-point operations the detector
uses, so the recombined value equals ``score.score`` bit for bit:

- data: ``max(0.0, column values...)`` (ascending column order), each column
  value ``max(ks, psi)`` (``psi`` when ``ks`` is NaN, ``ks`` when there is no psi);
- embedding: ``max(mmd2, 0.0) + sliced_wasserstein``;
- response: ``ks`` or ``ks + sliced_wasserstein``;
- confidence: ``ks`` or ``ks + abs(ece_current - ece_baseline)``, each calibration
  error the ascending sum over occupied bins of ``abs(confidence - accuracy) *
  (count / total)``;
- query: ``(sum(current_term) + sum(baseline_term)) * 0.5`` over the clusters
  in order.

NumPy is imported only by the functions that need it.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Union

from ._native import DriftScore

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = [
    "explain",
    "Breakdown",
    "DataBreakdown",
    "ColumnBreakdown",
    "EmbeddingBreakdown",
    "ResponseBreakdown",
    "ConfidenceBreakdown",
    "CalibrationBin",
    "QueryBreakdown",
    "ClusterShare",
]


def _plain(value: Any) -> Any:
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, DriftScore):
        return value.to_dict()
    if isinstance(value, list):
        return [_plain(v) for v in value]
    if hasattr(value, "to_dict"):
        return value.to_dict()
    return value


class _ToDict:
    def to_dict(self) -> dict[str, Any]:
        """The fields as plain Python values (arrays as lists, the score as its dict)."""
        return {name: _plain(getattr(self, name)) for name in self.__dataclass_fields__}  # type: ignore[attr-defined]


@dataclass(frozen=True, eq=False)
class ColumnBreakdown(_ToDict):
    """One feature column of a data score.

    ``ks`` and ``psi`` are the column's Kolmogorov-Smirnov statistic and
    population stability index (``psi`` is None when the index was not formed:
    fewer baseline rows than bins, or an index that came out non-finite);
    ``value`` is the column score the table score maximises. ``missing_*`` are
    the shares of NaN cells in each window. ``bin_edges`` are the baseline's
    quantile edges (n_bins - 1 of them) and ``*_counts`` the rows of each window
    per bin; all three are empty when there is no index.
    """

    index: int
    name: str
    ks: float
    psi: float | None
    value: float
    missing_baseline: float
    missing_current: float
    bin_edges: NDArray[numpy.float64]
    baseline_counts: NDArray[numpy.int64]
    current_counts: NDArray[numpy.int64]


@dataclass(frozen=True, eq=False)
class DataBreakdown(_ToDict):
    """A data score and its columns, in table order."""

    score: DriftScore
    columns: list[ColumnBreakdown]

    def worst(self) -> ColumnBreakdown | None:
        """The column with the largest value (None for a table without columns)."""
        best: ColumnBreakdown | None = None
        for c in self.columns:
            if best is None or c.value > best.value:
                best = c
        return best


@dataclass(frozen=True)
class EmbeddingBreakdown(_ToDict):
    """An embedding score: the squared maximum mean discrepancy before the clamp
    at 0, the sliced Wasserstein distance, and the kernel's bandwidth sigma
    (the median heuristic of both windows' first 256 rows)."""

    score: DriftScore
    mmd2: float
    sliced_wasserstein: float
    bandwidth: float


@dataclass(frozen=True)
class ResponseBreakdown(_ToDict):
    """A response score: KS of the lengths and, when embeddings were compared,
    their sliced Wasserstein distance."""

    score: DriftScore
    ks: float
    sliced_wasserstein: float | None


@dataclass(frozen=True)
class CalibrationBin(_ToDict):
    """One calibration bin [lower, upper): counts, mean confidence and accuracy of
    each window (NaN for an empty bin)."""

    lower: float
    upper: float
    baseline_count: int
    current_count: int
    baseline_confidence: float
    baseline_accuracy: float
    current_confidence: float
    current_accuracy: float


@dataclass(frozen=True)
class ConfidenceBreakdown(_ToDict):
    """A confidence score: KS of the confidences and, with correctness flags, both
    expected calibration errors and the per-bin table (empty without flags, or
    for more than 4096 bins)."""

    score: DriftScore
    ks: float
    ece_baseline: float | None
    ece_current: float | None
    bins: list[CalibrationBin] = field(default_factory=list)


@dataclass(frozen=True)
class ClusterShare(_ToDict):
    """One k-means cluster of a query score: the share of each window's queries
    in it, and its term of the symmetric KL divergence, ``contribution =
    (baseline_term + current_term) * 0.5`` with ``baseline_term = log(p/q) * p``,
    ``current_term = log(q/p) * q`` (p, q the shares plus the detector's epsilon)."""

    index: int
    baseline_share: float
    current_share: float
    contribution: float
    baseline_term: float
    current_term: float


@dataclass(frozen=True, eq=False)
class QueryBreakdown(_ToDict):
    """A query score: every cluster's shares and KL terms, and the centroids."""

    score: DriftScore
    clusters: list[ClusterShare]
    centroids: NDArray[numpy.float32]


Breakdown = Union[DataBreakdown, EmbeddingBreakdown, ResponseBreakdown, ConfidenceBreakdown, QueryBreakdown]


def _share(count: int, total: int) -> float:
    return count / total if total else math.nan


def build_breakdown(
    dimension: str, score: DriftScore, parts: dict[str, Any], names: list[str] | None = None
) -> Breakdown:
    """A breakdown from the engine's parts of one score."""
    if dimension == "data":
        rb, rc = parts["rows_baseline"], parts["rows_current"]
        cols = [
            ColumnBreakdown(
                index=j,
                name=names[j] if names is not None else str(j),
                ks=c["ks"],
                psi=c["psi"],
                value=c["value"],
                missing_baseline=_share(c["missing_baseline"], rb),
                missing_current=_share(c["missing_current"], rc),
                bin_edges=c["bin_edges"],
                baseline_counts=c["baseline_counts"],
                current_counts=c["current_counts"],
            )
            for j, c in enumerate(parts["columns"])
        ]
        return DataBreakdown(score, cols)
    if dimension == "embedding":
        return EmbeddingBreakdown(score, parts["mmd2"], parts["sliced_wasserstein"], parts["bandwidth"])
    if dimension == "response":
        return ResponseBreakdown(score, parts["ks"], parts["sliced_wasserstein"])
    if dimension == "confidence":
        bins = [CalibrationBin(*row) for row in parts["bins"]]
        return ConfidenceBreakdown(score, parts["ks"], parts["ece_baseline"], parts["ece_current"], bins)
    if dimension == "query":
        tb, tc = parts["term_baseline"], parts["term_current"]
        clusters = [
            ClusterShare(
                index=c,
                baseline_share=float(parts["baseline"][c]),
                current_share=float(parts["current"][c]),
                contribution=(float(tb[c]) + float(tc[c])) * 0.5,
                baseline_term=float(tb[c]),
                current_term=float(tc[c]),
            )
            for c in range(len(tb))
        ]
        return QueryBreakdown(score, clusters, parts["centroids"])
    raise ValueError(f"unknown dimension {dimension!r}")


# (detector class name, method name) -> the Baseline parts of one window.
_FORMS: dict[tuple[str, str], tuple[str, ...]] = {
    ("DataDrift", "detect"): ("features",),
    ("EmbeddingDrift", "detect"): ("embeddings",),
    ("QueryDrift", "detect"): ("queries",),
    ("ResponseDrift", "detect"): ("response_lengths",),
    ("ResponseDrift", "detect_with_embeddings"): ("response_lengths", "response_embeddings"),
    ("ConfidenceDrift", "detect"): ("confidences",),
    ("ConfidenceDrift", "detect_with_correctness"): ("confidences", "correct"),
}

_DETECTOR_ARG = {
    "DataDrift": "data",
    "EmbeddingDrift": "embedding",
    "QueryDrift": "query",
    "ResponseDrift": "response",
    "ConfidenceDrift": "confidence",
}


def _window(arg: str, value: Any, parts: tuple[str, ...]) -> dict[str, Any]:
    if len(parts) == 1:
        return {parts[0]: value}
    if not isinstance(value, tuple) or len(value) != len(parts):
        raise TypeError(f"argument '{arg}': expected a tuple ({', '.join(parts)})")
    return dict(zip(parts, value))


def explain(method: Callable[..., DriftScore], baseline: Any, current: Any) -> Breakdown:
    """The breakdown of ``method(baseline, current)`` for a plain detector.

    ``method`` is a bound detector method: ``DataDrift(...).detect``,
    ``EmbeddingDrift(...).detect``, ``QueryDrift(...).detect``,
    ``ResponseDrift(...).detect`` or ``.detect_with_embeddings``,
    ``ConfidenceDrift(...).detect`` or ``.detect_with_correctness``. Where the
    method takes two values per window, ``baseline`` and ``current`` are tuples:
    ``(lengths, embeddings)``, ``(confidences, correct)``. The breakdown's
    ``score`` is bit-identical to ``method(baseline, current)``, and its parts
    recombine into that score bit for bit (see :mod:`morvanta.explain`).

    >>> b = morvanta.explain(morvanta.DataDrift().detect, last_week, today)
    >>> b.worst().name, b.worst().ks, b.worst().psi
    """
    from .baseline import Baseline

    det = getattr(method, "__self__", None)
    name = getattr(method, "__name__", None)
    cls = type(det).__name__ if det is not None else None
    key = (cls or "", name or "")
    if key not in _FORMS or type(det).__module__ != "morvanta._native":
        raise TypeError(
            "argument 'method': expected a bound detector method such as DataDrift().detect, "
            f"got {method!r}"
        )
    parts = _FORMS[key]
    fitted = Baseline.fit(**_window("baseline", baseline, parts), **{_DETECTOR_ARG[cls or ""]: det})
    out = fitted.explain(**_window("current", current, parts))
    return next(iter(out.values()))
