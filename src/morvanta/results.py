"""Result records of every API, in one module: plain frozen dataclasses.

Engines, the pipeline and the readers build them; the renderers in
:mod:`morvanta.render` turn them into text, JSON, Prometheus and HTML. The
records import nothing of the package but the native score and report types.
Their JSON forms (a check's ``to_json``, a monitor's ``to_jsonl``) start with
``"schema_version": SCHEMA_VERSION``; see :mod:`morvanta.render` for what stays
stable.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Union

from . import _engine
from ._native import DriftReport, DriftScore
from .dimensions import Detector as _Detector

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from .io.log import RequestLog


#: The version of the JSON outputs' field layout; it changes only when a field is
#: renamed, removed or changes meaning (new fields may appear within a version).
SCHEMA_VERSION = 1


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


@dataclass(frozen=True)
class TestPart:
    """One part of a combined permutation test (see :class:`DriftTest`).

    ``name`` is the part's statistic: "ks" and "psi" of one feature column
    (``column`` its index in the table), "mmd2" and "sw" of the embeddings,
    "ks(length)" and "sw(emb)" of the responses, "ks(conf)" and "ece_delta" of
    the confidences, "sym_kl" of the query clusters (``column`` None).
    ``statistic`` is its value on the given split; ``p_value`` the share of
    permutations reaching it (NaN for a NaN statistic); ``p_adjusted`` the
    single-step maxT adjustment, valid for this part however many parts the
    test has (NaN when the part is ``excluded``: its statistic is NaN, or no
    split moved it in the pilot, so it cannot take part in the combination).
    """

    __test__ = False  # not a pytest test class

    name: str
    column: int | None
    statistic: float
    p_value: float
    p_adjusted: float
    excluded: bool

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "column": self.column,
            "statistic": self.statistic,
            "p_value": self.p_value,
            "p_adjusted": self.p_adjusted,
            "excluded": self.excluded,
        }


@dataclass(frozen=True)
class DriftTest:
    """Outcome of :func:`permutation_test`: a p-value that decides at full power.

    ``score`` is the detector's own :class:`DriftScore` on the rows tested.
    The test keeps the parts of the detector's statistic apart (``parts``,
    e.g. KS and PSI of every feature column) and combines them by maxT: a
    pilot of 200 permutations on a stream of its own fixes each part's mean
    and standard deviation (of log(PSI + 1e-4) for a numeric column's PSI part,
    whose heavy null tail would otherwise decide), and the statistic (``observed``, named by
    ``statistic``, e.g. "maxT(ks,psi per column)") is the largest
    standardised part. A composite score would be decided by its noisiest
    part; on one scale every part counts.

    ``p_value`` is the share of permutations whose maxT reaches the observed
    one: (1 + c) / (1 + n_permutations) after all permutations, or, when the
    test stopped early (``stopped``: the 20th permutation reaching it came
    ``permutations_run`` permutations in), 20 / permutations_run. Either is a
    valid p-value, never 0; stopping only cuts short windows that are plainly
    not drifted, since a p-value below 20 / n_permutations always comes from
    every permutation (``exact=True`` runs them all regardless).

    ``n_baseline``/``n_current`` are the rows tested per side (the most of any
    part), after the dimension's row cap: ``sampled`` says a side was longer
    and was tested on a seeded uniform sample of its rows.
    """

    score: DriftScore
    p_value: float
    n_permutations: int
    seed: int
    statistic: str
    observed: float
    parts: tuple[TestPart, ...] = ()
    permutations_run: int = 0
    stopped: bool = False
    n_baseline: int = 0
    n_current: int = 0
    sampled: bool = False

    def drifted(self, alpha: float = 0.05) -> bool:
        """True when ``p_value <= alpha``: the alarm of a test at level ``alpha``."""
        return self.p_value <= alpha

    def to_dict(self) -> dict[str, Any]:
        """Plain values: the score as its own dict, then the test's fields and its parts."""
        return {
            "score": dict(self.score.to_dict()),
            "p_value": self.p_value,
            "n_permutations": self.n_permutations,
            "seed": self.seed,
            "statistic": self.statistic,
            "observed": self.observed,
            "parts": [p.to_dict() for p in self.parts],
            "permutations_run": self.permutations_run,
            "stopped": self.stopped,
            "n_baseline": self.n_baseline,
            "n_current": self.n_current,
            "sampled": self.sampled,
        }

    def __repr__(self) -> str:
        run = f"stopped after {self.permutations_run} of" if self.stopped else "over"
        rows = f"{self.n_baseline} vs {self.n_current} rows" + (" (sampled)" if self.sampled else "")
        return (
            f"DriftTest({self.score.dimension}: p={self.p_value:.4g} {run} {self.n_permutations} permutations "
            f"(seed {self.seed}) of {self.statistic}={self.observed:.6g}, {rows}; score={self.score.score:.6g})"
        )


@dataclass(frozen=True)
class Calibration:
    """Outcome of :func:`calibrate`: a threshold with a known false-alarm rate.

    ``null_scores`` are the scores of the ``n_splits`` baseline splits, sorted;
    an alarm is ``score >= threshold``, and at most ``floor(false_alarm_rate *
    n_splits)`` of the null scores reach ``threshold``. ``detector`` is a new
    detector of the method's class and settings with that threshold, ready for a
    monitor (or for ``Baseline.fit``).

    With ``reference_size``, ``reference`` holds the baseline rows set aside as
    the reference the threshold belongs to: one ascending index array per part
    of the method's window (``reference_rows`` picks them out of the
    baseline). Without it both are None.
    """

    threshold: float
    detector: _Detector
    null_scores: tuple[float, ...]
    false_alarm_rate: float
    n_splits: int
    seed: int
    current_size: int
    reference_size: int | None = None
    reference: tuple[NDArray[numpy.int64], ...] | None = field(default=None, compare=False, repr=False)

    def reference_rows(self, baseline: Any) -> Any:
        """The reference rows of ``baseline`` (the window given to :func:`calibrate`), in its form:
        one array, or a tuple for the methods that take two per side."""
        import numpy as np

        if self.reference is None:
            raise ValueError("this calibration has no reference part (calibrate without reference_size)")
        parts = baseline if isinstance(baseline, tuple) else (baseline,)
        if len(parts) != len(self.reference):
            raise TypeError(f"argument 'baseline': expected {len(self.reference)} part(s), got {len(parts)}")
        out = tuple(np.asarray(p)[i] for p, i in zip(parts, self.reference))
        return out if isinstance(baseline, tuple) else out[0]

    def to_dict(self) -> dict[str, Any]:
        """Plain values; the detector as its class name and constructor arguments (the
        reference rows follow from the seed and the sizes, and are left out)."""
        settings = _engine.detector_settings(self.detector)
        return {
            "threshold": self.threshold,
            "detector": {"class": settings[0], "arguments": list(settings[1:])},
            "null_scores": list(self.null_scores),
            "false_alarm_rate": self.false_alarm_rate,
            "n_splits": self.n_splits,
            "seed": self.seed,
            "current_size": self.current_size,
            "reference_size": self.reference_size,
        }

    def __repr__(self) -> str:
        ref = "" if self.reference_size is None else f", reference_size={self.reference_size}"
        return (
            f"Calibration(threshold={self.threshold:.6g}, {type(self.detector).__name__}, "
            f"false_alarm_rate={self.false_alarm_rate}, n_splits={self.n_splits}, seed={self.seed}, "
            f"current_size={self.current_size}{ref})"
        )


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


@dataclass(frozen=True)
class CategoryShare(_ToDict):
    """One category's share of the non-missing rows of each window; ``unseen``: absent from the baseline.
    The category "(other)" pools the values beyond the cap."""

    category: str
    baseline_share: float
    current_share: float
    unseen: bool


@dataclass(frozen=True)
class CategoryBreakdown(_ToDict):
    """One categorical column of a data breakdown: its ``categories`` distinct values in both
    windows (before the cap), the categories whose share ``moved`` most (largest move first), those
    ``unseen`` in the baseline, and each window's share of missing cells. Values are redacted when the
    check was asked to."""

    name: str
    categories: int
    moved: list[CategoryShare]
    unseen: list[CategoryShare]
    missing_baseline: float
    missing_current: float


@dataclass(frozen=True, eq=False)
class DataBreakdown(_ToDict):
    """A data score and its columns, in table order; ``categories`` the categorical columns
    (what moved in each), empty for a numeric table."""

    score: DriftScore
    columns: list[ColumnBreakdown]
    categories: list[CategoryBreakdown] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        out = super().to_dict()
        if not self.categories:  # a numeric table's breakdown keeps its plain form
            del out["categories"]
        return out

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


@dataclass(frozen=True)
class PartResult:
    """One part of a dimension's combined permutation test: a column's KS or PSI,
    the MMD or the sliced distance of the embeddings, the change of calibration
    error, ....

    ``statistic`` is the part's value on the two windows, ``p_value`` its own
    permutation p-value, ``p_within`` its maxT-adjusted p-value within the
    dimension, and ``p_adjusted`` the one that holds over the whole check:
    ``min(1, m * p_within)`` for m dimensions tested, never below the
    dimension's own Holm-adjusted p-value. A part at or below alpha is a
    contributor of the drift. ``column`` names the feature column of a data
    part (None elsewhere); an ``excluded`` part (NaN, or no spread under
    permutation) took no part in the test.
    """

    dimension: str
    name: str
    column: str | None
    statistic: float
    p_value: float
    p_within: float
    p_adjusted: float
    excluded: bool = False

    def to_dict(self) -> dict[str, Any]:
        return {"name": self.name, "column": self.column, "statistic": _num(self.statistic),
                "p_value": _num(self.p_value), "p_within": _num(self.p_within), "p_adjusted": _num(self.p_adjusted),
                "excluded": self.excluded}


@dataclass(frozen=True)
class DimensionResult:
    """One dimension of a check.

    ``status`` is "scored", "skipped" (a log lacks the columns) or "too_small"
    (a window has too few rows for the detector; never scored silently).
    ``decided_by`` says what decided ``drifted``: "p-value" (the combined
    permutation p-value, Holm-adjusted over the dimensions tested, at or below
    alpha), "threshold" (the score reaching the detector's fixed threshold) or
    "calibrated" (the score reaching a threshold calibrated on the baseline).
    The score's ``threshold``/``exceeded`` are evidence beside it either way.
    ``p_value``/``p_adjusted`` are the permutation p-value and its Holm
    adjustment (None without a test); ``parts`` the test's parts.
    ``permutations_run`` may be fewer than asked when the test stopped early
    (``stopped``: the p-value was clearly large). ``rows_tested`` are the rows
    per side the test used, ``rows_given`` those the windows held when a row
    cap ``sampled`` them. With a ``min_effect`` floor a dimension drifts only
    when its score reaches it too; ``below_min_effect`` marks a decision the
    floor held back.
    """

    dimension: str
    status: str
    reason: str | None = None
    score: DriftScore | None = None
    p_value: float | None = None
    p_adjusted: float | None = None
    statistic: str | None = None
    drifted: bool = False
    inputs: str = ""
    decided_by: str | None = None
    parts: tuple[PartResult, ...] = ()
    permutations_run: int | None = None
    stopped: bool | None = None
    rows_tested: tuple[int, int] | None = None
    rows_given: tuple[int, int] | None = None
    sampled: bool = False
    min_effect: float | None = None
    below_min_effect: bool = False

    def contributors(self, alpha: float) -> list[PartResult]:
        """The parts at or below ``alpha`` (adjusted over the check) of a dimension that drifted by its p-value."""
        if not self.drifted or self.decided_by != "p-value":
            return []
        return [p for p in self.parts if not p.excluded and not math.isnan(p.p_adjusted) and p.p_adjusted <= alpha]

    def to_dict(self) -> dict[str, Any]:
        s = self.score

        def sides(pair: tuple[int, int] | None) -> dict[str, int] | None:
            return None if pair is None else {"baseline": int(pair[0]), "current": int(pair[1])}

        return {
            "dimension": self.dimension,
            "status": self.status,
            "reason": self.reason,
            "inputs": self.inputs,
            "decided_by": self.decided_by,
            "drifted": self.drifted,
            "score": None if s is None else _num(s.score),
            "threshold": None if s is None else _num(s.threshold),
            "exceeded": None if s is None else s.exceeded,
            "method": None if s is None else s.method,
            "p_value": _num(self.p_value),
            "p_adjusted": _num(self.p_adjusted),
            "statistic": self.statistic,
            "permutations_run": self.permutations_run,
            "stopped": self.stopped,
            "rows_tested": sides(self.rows_tested),
            "rows_given": sides(self.rows_given) if self.sampled else None,
            "sampled": self.sampled,
            "min_effect": self.min_effect,
            "below_min_effect": self.below_min_effect,
            "parts": [p.to_dict() for p in self.parts],
        }


def _num(x: float | None) -> float | None:
    return None if x is None or not math.isfinite(x) else float(x)


def _json_default(obj: Any) -> Any:
    if hasattr(obj, "tolist"):
        return obj.tolist()
    if hasattr(obj, "to_dict"):
        return obj.to_dict()
    raise TypeError(f"cannot write {type(obj).__name__} as JSON")


def _finite(obj: Any) -> Any:
    """``obj`` with NaN and infinities as None, so that the JSON stays standard."""
    if isinstance(obj, float):
        return obj if math.isfinite(obj) else None
    if isinstance(obj, dict):
        return {k: _finite(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [_finite(v) for v in obj]
    if hasattr(obj, "tolist"):
        return _finite(obj.tolist())
    if hasattr(obj, "to_dict"):
        return _finite(obj.to_dict())
    return obj


@dataclass(frozen=True)
class CheckResult:
    """The outcome of :func:`check`.

    ``dimensions`` holds all five dimensions in the order data, embedding,
    response, confidence, query; ``report`` the native :class:`DriftReport` of
    the scored ones; ``drifted`` the overall verdict, decided as ``decide``
    says ("p-value": some Holm-adjusted p-value at or below ``alpha``, which
    keeps the check's family-wise false-alarm rate at ``alpha``; "threshold";
    "calibrated"). ``n_permutations`` is the permutation count of each test
    and ``smallest_p_adjusted`` the smallest Holm-adjusted p-value it can give
    (m/(B + 1) for m dimensions tested). ``columns`` are the feature columns'
    own scores, worst first; ``breakdowns`` what moved per dimension when
    :mod:`morvanta.explain` is available (else empty).
    """

    dimensions: list[DimensionResult]
    report: DriftReport
    drifted: bool
    baseline_source: str
    current_source: str
    n_baseline: int
    n_current: int
    alpha: float = 0.05
    p_values: bool = False
    n_permutations: int | None = None
    seed: int = 0
    calibration: dict[str, Any] | None = None
    columns: list[ColumnDrift] = field(default_factory=list)
    breakdowns: dict[str, Any] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    baseline_log: RequestLog | None = field(default=None, repr=False, compare=False)
    current_log: RequestLog | None = field(default=None, repr=False, compare=False)
    detectors: dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    decide: str = "threshold"
    exact: bool = False
    smallest_p_adjusted: float | None = None
    min_effect: dict[str, float] = field(default_factory=dict)
    #: Per categorical column of the data dimension: the categories whose share moved most
    #: (baseline share -> current share), those unseen in the baseline, the missing shares and
    #: the parts' adjusted p-values (see :func:`morvanta.engines.categories.explain_columns`).
    categorical: list[dict[str, Any]] = field(default_factory=list)

    def dimension(self, name: str) -> DimensionResult:
        """The result of one dimension by name."""
        for d in self.dimensions:
            if d.dimension == name:
                return d
        raise KeyError(name)

    @property
    def scored(self) -> list[DimensionResult]:
        return [d for d in self.dimensions if d.status == "scored"]

    def top_contributors(self, limit: int = 5) -> dict[str, list[dict[str, Any]]]:
        """What drove the drift, strongest first: the feature columns, the other
        dimensions' parts and the query clusters that grew.

        Only what decided counts: with p-values, the parts whose adjusted
        p-value is at or below alpha (a column once, by its smaller p-value of
        KS and PSI), and the grown clusters when the query dimension drifted;
        with thresholds, the columns whose score reached the threshold. A check
        without drift lists none.
        """
        out: dict[str, list[dict[str, Any]]] = {}
        columns: list[dict[str, Any]] = []
        parts: list[dict[str, Any]] = []
        by_name = {c.name: c for c in self.columns}
        if self.decide == "p-value":
            best: dict[str, PartResult] = {}
            for d in self.dimensions:
                for p in d.contributors(self.alpha):
                    if d.dimension == "data" and p.column is not None:
                        if p.column not in best or p.p_adjusted < best[p.column].p_adjusted:
                            best[p.column] = p
                    else:
                        parts.append({"dimension": d.dimension, "part": p.name, "statistic": _num(p.statistic),
                                      "p_adjusted": _num(p.p_adjusted)})
            for name, p in best.items():
                c = by_name.get(name)
                if c is None:  # a categorical column: no numeric score, its deciding part's statistic
                    columns.append({"name": name, "index": None, "score": _num(p.statistic), "exceeded": None,
                                    "p_adjusted": _num(p.p_adjusted), "part": p.name})
                    continue
                columns.append({"name": name, "index": c.index, "score": _num(c.score.score),
                                "exceeded": c.score.exceeded, "p_adjusted": _num(p.p_adjusted)})
            columns.sort(key=lambda c: (c["p_adjusted"], -(c["score"] if c["score"] is not None else -math.inf)))
            parts.sort(key=lambda p: (p["p_adjusted"], -(p["statistic"] if p["statistic"] is not None else -math.inf)))
        elif self.columns and self.dimension("data").drifted:
            columns = [{"name": c.name, "index": c.index, "score": _num(c.score.score), "exceeded": c.score.exceeded,
                        "p_adjusted": None} for c in self.columns if c.score.exceeded]
        if columns:
            out["columns"] = columns[:limit]
        if parts:
            out["parts"] = parts[:limit]
        q = self.breakdowns.get("query")
        if q is not None and self.dimension("query").drifted:
            grown = [c for c in q.clusters if c.current_share > c.baseline_share]
            grown.sort(key=lambda c: (-c.contribution, c.index))
            if grown:
                out["clusters"] = [
                    {
                        "index": int(c.index),
                        "baseline_share": float(c.baseline_share),
                        "current_share": float(c.current_share),
                        "contribution": float(c.contribution),
                    }
                    for c in grown[:limit]
                ]
        return out

    def to_dict(self) -> dict[str, Any]:
        """Everything the JSON output holds, as plain Python values."""
        out: dict[str, Any] = _finite(
            {
                "schema_version": SCHEMA_VERSION,
                "drifted": self.drifted,
                "decided_by": self.decide,
                "baseline": {"source": self.baseline_source, "rows": self.n_baseline},
                "current": {"source": self.current_source, "rows": self.n_current},
                "alpha": self.alpha,
                "p_values": self.p_values,
                "n_permutations": self.n_permutations,
                "exact": self.exact,
                "smallest_p_adjusted": self.smallest_p_adjusted,
                "seed": self.seed,
                "min_effect": dict(self.min_effect),
                "calibration": self.calibration,
                "dimensions": [d.to_dict() for d in self.dimensions],
                "top_contributors": self.top_contributors(),
                "columns": [
                    {"name": c.name, "index": c.index, "score": c.score.score, "exceeded": c.score.exceeded}
                    for c in self.columns
                ],
                "breakdowns": {k: _breakdown_dict(v) for k, v in self.breakdowns.items()},
                "categorical_columns": [dict(c) for c in self.categorical],
                "notes": list(self.notes),
                "report": json.loads(self.report.to_json()),
            }
        )
        return out

    def to_json(self, indent: int | None = None) -> str:
        """The result as JSON text (NaN written as null)."""
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False, default=_json_default)

    def to_html(self) -> str:
        """A self-contained HTML report (needs ``pip install "morvanta[report]"``)."""
        from .render.html import render_check

        return render_check(self)

    def to_prometheus(self, per_column: bool = False) -> str:
        """Prometheus text exposition (for a node-exporter textfile collector).

        Series: ``morvanta_drift_score``, ``morvanta_drift_threshold``,
        ``morvanta_drift_detected`` (0/1) per scored dimension, with p-values also
        ``morvanta_drift_p_value`` and ``morvanta_drift_p_value_adjusted``;
        ``morvanta_drift_any``; ``morvanta_drift_alpha``; the window sizes; the
        check's time. ``per_column`` adds
        ``morvanta_drift_column_score{dimension="data",column=...}`` per feature.
        """
        from .render.prometheus import check_metrics

        return check_metrics(self, per_column)

    def summary(self) -> str:
        """The text table the command line prints."""
        from .render.text import check_summary

        return check_summary(self)


def _breakdown_dict(b: Any) -> Any:
    return b.to_dict() if hasattr(b, "to_dict") else b


def _iso(t: float | None) -> str | None:
    """ISO 8601 UTC text of a time, or None for a time no calendar date can hold (past year 9999)."""
    if t is None:
        return None
    try:
        return datetime.fromtimestamp(t, tz=timezone.utc).isoformat().replace("+00:00", "Z")
    except (OverflowError, OSError, ValueError):
        return None


@dataclass(frozen=True)
class WindowResult:
    """One record of :func:`monitor`, in time order.

    ``status`` is "checked", "too_small" (fewer than ``min_rows`` requests; not
    scored) or "gap": a run of ``periods`` consecutive periods without a single
    request, from ``start`` to ``end`` (``rows`` 0, ``first_row`` the row where
    the next window starts). ``index`` is the period's number after the
    baseline (windows by time) or the window's number (windows by rows);
    ``periods`` is 1 for a window by time and None for a window by rows.
    ``alert`` is what a monitor alerts on: the window drifted and, with
    ``persist=(K, N)``, at least K of the last N checked windows (this one
    included) drifted; None for a window that was not checked.
    """

    index: int
    start: float | None
    end: float | None
    first_row: int
    rows: int
    status: str
    result: CheckResult | None = None
    reason: str | None = None
    periods: int | None = None
    alert: bool | None = None

    def to_dict(self) -> dict[str, Any]:
        dims: dict[str, Any] = {}
        if self.result is not None:
            for d in self.result.dimensions:
                entry = d.to_dict()
                del entry["dimension"]
                dims[d.dimension] = entry
        out: dict[str, Any] = _finite({
            "schema_version": SCHEMA_VERSION,
            "window": self.index,
            "start": _iso(self.start),
            "end": _iso(self.end),
            "periods": self.periods,
            "first_row": self.first_row,
            "rows": self.rows,
            "status": self.status,
            "reason": self.reason,
            "drifted": None if self.result is None else self.result.drifted,
            "alert": self.alert,
            "decided_by": None if self.result is None else self.result.decide,
            "alpha": None if self.result is None else self.result.alpha,
            "dimensions": dims,
            # What moved in each categorical column of the window, as a check reports it.
            "categorical_columns": [] if self.result is None else [dict(c) for c in self.result.categorical],
        })
        return out


@dataclass(frozen=True)
class MonitorResult:
    """The records of :func:`monitor` (windows and gaps), in time order, and the
    baseline they were checked against. ``notes`` say when nothing was left to
    check (no window after the baseline, or none with enough requests): such a
    result is no "no drift" verdict. They also state the level each window is
    tested at and the false alarms to expect over all windows, and warn of a
    baseline too short for the windows.

    Each window is a check of its own at ``alpha`` (with p-values): over n
    windows with nothing changed, about ``alpha * n`` of them drift by chance
    (``expected_false_alarms``). ``persist=(K, N)`` alerts only on K drifted
    windows among the last N checked.
    """

    windows: list[WindowResult]
    baseline_source: str
    baseline_rows: int
    every: float | None
    rows: int | None
    p_values: bool
    alpha: float
    min_rows: int
    source: str
    notes: list[str] = field(default_factory=list)
    decide: str = "threshold"
    persist: tuple[int, int] | None = None

    @property
    def checked(self) -> list[WindowResult]:
        """The windows that were checked (neither too small nor gaps)."""
        return [w for w in self.windows if w.status == "checked"]

    @property
    def gaps(self) -> list[WindowResult]:
        """The runs of empty periods."""
        return [w for w in self.windows if w.status == "gap"]

    @property
    def drifted(self) -> bool:
        """True when some checked window drifted."""
        return any(w.result is not None and w.result.drifted for w in self.windows)

    @property
    def alerted(self) -> bool:
        """True when some window alerted (with ``persist``, K of the last N drifted)."""
        return any(bool(w.alert) for w in self.windows)

    @property
    def drifted_windows(self) -> list[WindowResult]:
        """The checked windows that drifted, in time order."""
        return [w for w in self.windows if w.result is not None and w.result.drifted]

    @property
    def expected_false_alarms(self) -> float | None:
        """alpha times the windows checked: the drifted windows to expect by chance
        when nothing changed (None when no false-alarm rate is known)."""
        if self.decide != "p-value":
            return None
        return self.alpha * len(self.checked)

    @property
    def scored(self) -> bool:
        """True when some window had a dimension scored: a verdict rests on something."""
        return any(w.result is not None and w.result.scored for w in self.windows)

    def summary(self) -> str:
        """The text table of the windows, gaps included, with the notes and a verdict line."""
        from .render.text import monitor_summary

        return monitor_summary(self)

    def to_jsonl(self) -> str:
        """One JSON object per window, one per line."""
        return "".join(json.dumps(w.to_dict(), ensure_ascii=False) + "\n" for w in self.windows)

    def to_html(self) -> str:
        """A self-contained HTML page with one time chart per dimension."""
        from .render.html import render_monitor

        return render_monitor(self)
