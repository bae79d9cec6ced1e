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
from typing import Any

from .._native import DriftScore
from ..results import (
    Breakdown,
    CalibrationBin,
    ClusterShare,
    ColumnBreakdown,
    ConfidenceBreakdown,
    DataBreakdown,
    EmbeddingBreakdown,
    QueryBreakdown,
    ResponseBreakdown,
)

__all__ = ["build_breakdown"]


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
