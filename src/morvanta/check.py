"""The pipeline check: every drift dimension a pair of request logs allows, in one call.

:func:`check` reads two logs (see :mod:`morvanta.logs`), runs each detector on
the columns present in both, optionally adds permutation p-values (adjusted for
the number of dimensions with Holm's step-down method, so that the overall
verdict keeps the chosen false-alarm rate) or thresholds calibrated on the
baseline, and returns a :class:`CheckResult` that renders as JSON, HTML and
Prometheus text. :func:`monitor` cuts one log into consecutive windows and
checks each against a baseline.

Permutation tests, calibration, saved baselines and breakdowns live in their
own modules; every use of them goes through the adapters in the "adapters"
section below, which import them on first use.
"""

from __future__ import annotations

import json
import math
import os
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any

from ._columns import ColumnDrift, column_scores
from ._native import (
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    DriftScore,
    EmbeddingDrift,
    QueryDrift,
    ResponseDrift,
)
from .logs import LengthUnit, LogColumns, LogError, RequestLog, read_log

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = [
    "DIMENSIONS",
    "DimensionResult",
    "CheckResult",
    "WindowResult",
    "MonitorResult",
    "check",
    "monitor",
    "holm",
    "parse_duration",
]

DIMENSIONS = ("data", "embedding", "response", "confidence", "query")
SAVED_BASELINE_SUFFIXES = (".json", ".npz")


# ------------------------------------------------------------------ adapters
# The only places that touch the permutation, calibration, baseline and
# breakdown APIs; each imports its module on first use.


def _pvalue(method: Callable[..., Any], base: Any, cur: Any, *, n_permutations: int, seed: int) -> tuple[float, str]:
    """Permutation p-value of one detector call and the statistic it belongs to."""
    from .testing import permutation_test  # type: ignore[import-not-found, unused-ignore]

    test = permutation_test(method, base, cur, n_permutations=n_permutations, seed=seed)
    return float(test.p_value), str(test.statistic)


def _calibrated(method: Callable[..., Any], base: Any, *, current_size: int, rate: float, seed: int) -> tuple[Any, dict[str, Any]]:
    """A detector with the threshold calibrated on the baseline, and the calibration's record."""
    from .testing import calibrate  # type: ignore[import-not-found, unused-ignore]

    cal = calibrate(method, base, current_size=current_size, false_alarm_rate=rate, seed=seed)
    return cal.detector, dict(cal.to_dict())


def _breakdowns(calls: Mapping[str, tuple[Callable[..., Any], Any, Any]], feature_names: Sequence[str]
                ) -> dict[str, Any]:
    """What moved, per dimension (an empty dict when breakdowns are not available).

    A breakdown's ``score`` is bit-identical to the detector call, so the check
    takes its scores from here and runs each detector once. A dimension whose
    breakdown fails is left out; its detector call then runs on its own.
    """
    from dataclasses import replace

    try:
        from .explain import explain  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return {}
    out: dict[str, Any] = {}
    for dim, (method, base, cur) in calls.items():
        try:
            bd: Any = explain(method, base, cur)
        except Exception:
            continue
        if dim == "data":  # the plain call numbers the columns; the log names them
            bd = replace(bd, columns=[replace(c, name=feature_names[c.index]) for c in bd.columns])
        out[dim] = bd
    return out


def _load_baseline(path: str) -> Any:
    """A saved Baseline (.json or .npz)."""
    try:
        from .baseline import Baseline  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise LogError(f"'{path}': reading a saved baseline needs morvanta.baseline, not in this build") from None
    return Baseline.load(path)


_PART_OF = {
    "features": "features",
    "embeddings": "embeddings",
    "queries": "queries",
    "response_lengths": "response_lengths",
    "response_embeddings": "response_embeddings",
    "confidences": "confidences",
    "correct": "correct",
}


def _saved_check(saved: Any, cur: RequestLog) -> tuple[DriftReport, dict[str, Any]]:
    """Scores and breakdowns of ``cur`` against a saved Baseline."""
    import numpy as np

    parts: dict[str, Any] = {}
    for part in saved.parts:
        attr = _PART_OF.get(part)
        value = None if attr is None else getattr(cur, attr)
        if value is None:
            raise LogError(f"'{cur.source}': the saved baseline has {part}, the log has no column for them")
        if part == "features" and saved.feature_names is not None:
            where = {n: j for j, n in enumerate(cur.feature_names)}
            missing = [n for n in saved.feature_names if n not in where]
            if missing:
                raise LogError(f"'{cur.source}': feature column(s) {missing} of the saved baseline are missing")
            value = np.asfortranarray(cur.features[:, [where[n] for n in saved.feature_names]])
        parts[part] = value
    report = saved.check(**parts)
    try:
        breakdowns = dict(saved.explain(**parts))
    except Exception:  # a breakdown is an extra; the verdict stands without it
        breakdowns = {}
    return report, breakdowns


# ------------------------------------------------------------------ results


@dataclass(frozen=True)
class DimensionResult:
    """One dimension of a check.

    ``status`` is "scored", "skipped" (a log lacks the columns) or "too_small"
    (a window has too few rows for the detector; never scored silently).
    ``p_value``/``p_adjusted`` are the permutation p-value and its Holm
    adjustment (None without p-values). ``drifted`` is the adjusted p-value at
    or below ``alpha`` with p-values, the score reaching its threshold without.
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

    def to_dict(self) -> dict[str, Any]:
        s = self.score
        return {
            "dimension": self.dimension,
            "status": self.status,
            "reason": self.reason,
            "inputs": self.inputs,
            "score": None if s is None else _num(s.score),
            "threshold": None if s is None else _num(s.threshold),
            "exceeded": None if s is None else s.exceeded,
            "method": None if s is None else s.method,
            "p_value": _num(self.p_value),
            "p_adjusted": _num(self.p_adjusted),
            "statistic": self.statistic,
            "drifted": self.drifted,
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
    the scored ones; ``drifted`` the overall verdict. ``columns`` are the
    feature columns' own scores, worst first; ``breakdowns`` what moved per
    dimension when :mod:`morvanta.explain` is available (else empty).
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
        """The worst feature columns and the query clusters that grew, largest first."""
        out: dict[str, list[dict[str, Any]]] = {}
        if self.columns:
            out["columns"] = [
                {"name": c.name, "index": c.index, "score": _num(c.score.score), "exceeded": c.score.exceeded}
                for c in self.columns[:limit]
            ]
        q = self.breakdowns.get("query")
        if q is not None:
            grown = [c for c in q.clusters if c.current_share > c.baseline_share]
            grown.sort(key=lambda c: (-c.contribution, c.index))
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
                "drifted": self.drifted,
                "baseline": {"source": self.baseline_source, "rows": self.n_baseline},
                "current": {"source": self.current_source, "rows": self.n_current},
                "alpha": self.alpha,
                "p_values": self.p_values,
                "n_permutations": self.n_permutations,
                "seed": self.seed,
                "calibration": self.calibration,
                "dimensions": [d.to_dict() for d in self.dimensions],
                "top_contributors": self.top_contributors(),
                "columns": [
                    {"name": c.name, "index": c.index, "score": c.score.score, "exceeded": c.score.exceeded}
                    for c in self.columns
                ],
                "breakdowns": {k: _breakdown_dict(v) for k, v in self.breakdowns.items()},
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
        from .report import render_check

        return render_check(self)

    def to_prometheus(self, per_column: bool = False) -> str:
        """Prometheus text exposition (for a node-exporter textfile collector).

        Series: ``morvanta_drift_score``, ``morvanta_drift_threshold``,
        ``morvanta_drift_detected`` (0/1) per scored dimension, with p-values also
        ``morvanta_drift_p_value`` and ``morvanta_drift_p_value_adjusted``;
        ``morvanta_drift_any``; the window sizes; the check's time. ``per_column`` adds
        ``morvanta_drift_column_score{dimension="data",column=...}`` per feature.
        """
        return _prometheus(self, per_column)

    def summary(self) -> str:
        """The text table the command line prints."""
        return _summary(self)


def _breakdown_dict(b: Any) -> Any:
    return b.to_dict() if hasattr(b, "to_dict") else b


# ------------------------------------------------------------------ statistics


def holm(p_values: Sequence[float]) -> list[float]:
    """Holm's step-down adjustment: the adjusted p-value of the i-th smallest of
    m p-values is max over j <= i of min(1, (m - j + 1) p_(j)). Rejecting every
    adjusted p-value <= alpha keeps the family-wise false-alarm rate at alpha.
    NaN p-values stay NaN and do not count in m."""
    valid = [i for i, p in enumerate(p_values) if not math.isnan(p)]
    out = [math.nan] * len(p_values)
    m = len(valid)
    running = 0.0
    for rank, i in enumerate(sorted(valid, key=lambda i: (p_values[i], i))):
        running = max(running, min(1.0, (m - rank) * p_values[i]))
        out[i] = running
    return out


# ------------------------------------------------------------------ the check


_DEFAULTS: dict[str, Callable[[], Any]] = {
    "data": DataDrift,
    "embedding": EmbeddingDrift,
    "response": ResponseDrift,
    "confidence": ConfidenceDrift,
    "query": QueryDrift,
}


@dataclass
class _Call:
    """One detector call in the permutation-test form: method(base, cur) or, for
    pairs per side, method of the tuples."""

    method: Callable[..., Any]
    base: Any
    cur: Any
    inputs: str

    def score(self) -> DriftScore:
        m = self.method
        name = getattr(m, "__name__", "")
        if name == "detect_with_embeddings":
            return m(self.base[0], self.cur[0], self.base[1], self.cur[1])  # type: ignore[no-any-return]
        if name == "detect_with_correctness":
            return m(self.base[0], self.base[1], self.cur[0], self.cur[1])  # type: ignore[no-any-return]
        return m(self.base, self.cur)  # type: ignore[no-any-return]

    @staticmethod
    def of(det: Any, paired: str | None, base: RequestLog, cur: RequestLog, first: str, second: str,
           inputs: str) -> _Call:
        """``det.detect`` on the logs' ``first`` columns or, when ``paired`` names a
        method, that method on the (first, second) pair of each log."""
        if paired is None:
            return _Call(det.detect, getattr(base, first), getattr(cur, first), inputs)
        pair = (getattr(base, first), getattr(base, second)), (getattr(cur, first), getattr(cur, second))
        return _Call(getattr(det, paired), *pair, inputs)

    def rebind(self, detector: Any) -> _Call:
        return _Call(getattr(detector, self.method.__name__), self.base, self.cur, self.inputs)


def _as_log(source: Any, columns: LogColumns | None, length: LengthUnit | None, name: str) -> RequestLog:
    if isinstance(source, RequestLog):
        return source
    return read_log(source, columns=columns, length=length, name=name)


def _width_check(base: RequestLog, cur: RequestLog, what: str, column: str | None) -> None:
    b, c = getattr(base, what), getattr(cur, what)
    if b.shape[1] != c.shape[1]:
        raise LogError(
            f"'{cur.source}': column '{column}': {c.shape[1]}-d embeddings, "
            f"but the baseline '{base.source}' has {b.shape[1]}-d"
        )


def _plan(
    base: RequestLog, cur: RequestLog, detectors: Mapping[str, Any], min_rows: int, notes: list[str]
) -> tuple[dict[str, _Call], dict[str, DimensionResult]]:
    """The detector call of each dimension the logs allow; the others as skipped/too small."""
    import numpy as np

    calls: dict[str, _Call] = {}
    left: dict[str, DimensionResult] = {}

    def skip(dim: str, why: str) -> None:
        left[dim] = DimensionResult(dim, "skipped", why)

    def small(dim: str, why: str, inputs: str) -> None:
        left[dim] = DimensionResult(dim, "too_small", why, inputs=inputs)

    def sizes_ok(dim: str, nb: int, nc: int, need: int, inputs: str) -> bool:
        need = max(need, min_rows)
        if nb < need or nc < need:
            small(dim, f"needs at least {need} rows per window, got {nb} (baseline) and {nc} (current)", inputs)
            return False
        return True

    # data: the baseline's feature columns that the current log has too, matched by name.
    shared = [n for n in base.feature_names if n in cur.feature_names]
    for n in base.feature_names:
        if n not in cur.feature_names:
            notes.append(f"feature '{n}' is missing from the current log; the data dimension leaves it out")
    for n in cur.feature_names:
        if n not in base.feature_names:
            notes.append(f"feature '{n}' is missing from the baseline log; the data dimension leaves it out")
    if not shared:
        skip("data", "no numeric feature columns in both logs")
    else:
        inputs = f"{len(shared)} feature column{'s' if len(shared) != 1 else ''}"
        if sizes_ok("data", base.n_rows, cur.n_rows, 1, inputs):
            bi = [base.feature_names.index(n) for n in shared]
            ci = [cur.feature_names.index(n) for n in shared]
            bf = base.features if bi == list(range(base.features.shape[1])) else np.asfortranarray(base.features[:, bi])
            cf = cur.features if ci == list(range(cur.features.shape[1])) else np.asfortranarray(cur.features[:, ci])
            calls["data"] = _Call(detectors["data"].detect, bf, cf, inputs)

    # embedding
    if base.embeddings is None or cur.embeddings is None:
        skip("embedding", "needs an embedding or query_embedding column in both logs")
    else:
        _width_check(base, cur, "embeddings", base.embedding_column)
        inputs = f"{base.embedding_column} ({base.embeddings.shape[1]}-d)"
        if sizes_ok("embedding", base.n_rows, cur.n_rows, 2, inputs):
            calls["embedding"] = _Call(detectors["embedding"].detect, base.embeddings, cur.embeddings, inputs)

    # response: lengths, with the answer embeddings when both logs have them
    det = detectors["response"]
    if base.response_lengths is None or cur.response_lengths is None:
        skip("response", "needs a response_length or response column in both logs")
    else:
        with_emb = base.response_embeddings is not None and cur.response_embeddings is not None
        inputs = f"lengths from {base.length_column}"
        if with_emb:
            _width_check(base, cur, "response_embeddings", "response_embedding")
            inputs += f" + response_embedding ({base.response_embeddings.shape[1]}-d)"  # type: ignore[union-attr]
        if sizes_ok("response", base.n_rows, cur.n_rows, 1, inputs):
            calls["response"] = _Call.of(
                det, "detect_with_embeddings" if with_emb else None, base, cur, "response_lengths",
                "response_embeddings", inputs,
            )

    # confidence: with the correctness flags when both logs have them
    det = detectors["confidence"]
    if base.confidences is None or cur.confidences is None:
        skip("confidence", "needs a confidence column in both logs")
    else:
        with_ok = base.correct is not None and cur.correct is not None
        inputs = "confidence + correct" if with_ok else "confidence"
        if sizes_ok("confidence", base.n_rows, cur.n_rows, 1, inputs):
            calls["confidence"] = _Call.of(
                det, "detect_with_correctness" if with_ok else None, base, cur, "confidences", "correct", inputs
            )

    # query: k-means on the baseline queries needs at least k of them
    det = detectors["query"]
    if base.queries is None or cur.queries is None:
        skip("query", "needs a query_embedding column in both logs")
    else:
        _width_check(base, cur, "queries", "query_embedding")
        inputs = f"query_embedding ({base.queries.shape[1]}-d)"
        k = _settings(det).get("k", 8)
        if base.n_rows < max(k, min_rows):
            small("query", f"needs at least {max(k, min_rows)} baseline rows for {k} clusters, got {base.n_rows}",
                  inputs)
        elif sizes_ok("query", base.n_rows, cur.n_rows, 1, inputs):
            calls["query"] = _Call(det.detect, base.queries, cur.queries, inputs)
    return calls, left


def _settings(det: Any) -> dict[str, Any]:
    # The detectors keep their settings private; QueryDrift's k is read back
    # from its repr, e.g. "QueryDrift(threshold=0.1, k=8, seed=0)".
    m = re.search(r"\bk=(\d+)", repr(det))
    out: dict[str, Any] = {"k": int(m.group(1))} if m else {}
    return out


def _detectors(given: Mapping[str, Any] | None) -> dict[str, Any]:
    out = {dim: make() for dim, make in _DEFAULTS.items()}
    for dim, det in (given or {}).items():
        if dim not in out:
            raise ValueError(f"argument 'detectors': unknown dimension {dim!r} (expected one of {DIMENSIONS})")
        det = getattr(det, "detector", det)  # a Calibration stands for its detector
        if not isinstance(det, type(out[dim])):
            raise TypeError(
                f"argument 'detectors': {dim!r} takes a {type(out[dim]).__name__}, got {type(det).__name__}"
            )
        out[dim] = det
    return out


def check(
    baseline_log: Any,
    current_log: Any,
    *,
    p_values: bool = False,
    n_permutations: int = 999,
    seed: int = 0,
    calibrate: float | None = None,
    alpha: float = 0.05,
    detectors: Mapping[str, Any] | None = None,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    min_rows: int = 1,
    explain: bool = True,
) -> CheckResult:
    """Checks a current request log against a baseline log in every dimension the columns allow.

    ``baseline_log``/``current_log``: paths (.parquet, .csv, .jsonl), DataFrames,
    pyarrow Tables, dicts of columns or :class:`~morvanta.logs.RequestLog`; the
    baseline may also be a saved ``Baseline`` (or the path of one, .json/.npz).
    ``detectors`` maps dimension names to configured detectors (defaults
    otherwise); each score is bit-identical to calling that detector on the
    same arrays.

    ``p_values=True`` adds a permutation p-value per dimension (``n_permutations``,
    ``seed``); the overall verdict is then "some Holm-adjusted p-value <= alpha",
    which keeps the family-wise false-alarm rate at ``alpha`` over the dimensions
    tested. ``calibrate=RATE`` instead sets each threshold so that the baseline
    against itself drifts with probability RATE. A dimension whose columns are
    missing from either log is "skipped"; one with too few rows (fewer than
    ``min_rows``, or than its detector needs) is "too_small"; neither is scored.
    """
    if p_values and calibrate is not None:
        raise ValueError("arguments 'p_values' and 'calibrate' exclude each other")
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"argument 'alpha': expected a level in (0, 1), got {alpha!r}")
    if calibrate is not None and not 0.0 < calibrate < 1.0:
        raise ValueError(f"argument 'calibrate': expected a false-alarm rate in (0, 1), got {calibrate!r}")
    notes: list[str] = []
    if _is_saved_baseline(baseline_log):
        if p_values or calibrate is not None:
            raise ValueError("p-values and calibration need the baseline log's rows, not a saved baseline")
        saved = baseline_log if hasattr(baseline_log, "check") else _load_baseline(os.fspath(baseline_log))
        source = os.fspath(baseline_log) if isinstance(baseline_log, (str, os.PathLike)) else "saved baseline"
        return _check_saved(saved, source, _as_log(current_log, columns, length, "current_log"), alpha, notes)

    base = _as_log(baseline_log, columns, length, "baseline_log")
    cur = _as_log(current_log, columns, length, "current_log")
    notes += [f"baseline: {n}" for n in base.notes] + [f"current: {n}" for n in cur.notes]
    dets = _detectors(detectors)
    calls, left = _plan(base, cur, dets, min_rows, notes)

    calibration: dict[str, Any] | None = None
    if calibrate is not None:
        # The null scores come from splitting the baseline in two, so the current
        # part of a split can hold at most all but one baseline row; a larger
        # current window is calibrated at half the baseline (a stricter threshold).
        size = cur.n_rows if cur.n_rows < base.n_rows else max(base.n_rows // 2, 1)
        if size != cur.n_rows:
            notes.append(f"calibration: baseline splits of {size:,} rows stand for the {cur.n_rows:,}-row current "
                         "window (a split needs rows on both sides)")
        calibration = {"false_alarm_rate": calibrate, "seed": seed, "current_size": size, "dimensions": {}}
        for dim, call in calls.items():
            det, record = _calibrated(call.method, call.base, current_size=size, rate=calibrate, seed=seed)
            calls[dim] = call.rebind(det)
            dets[dim] = det
            calibration["dimensions"][dim] = record

    shared = [n for n in base.feature_names if n in cur.feature_names]
    breakdowns = _breakdowns({d: (c.method, c.base, c.cur) for d, c in calls.items()}, shared) if explain else {}
    scores = {dim: breakdowns[dim].score if dim in breakdowns else call.score() for dim, call in calls.items()}
    pv: dict[str, tuple[float, str]] = {}
    if p_values:
        for dim, call in calls.items():
            pv[dim] = _pvalue(call.method, call.base, call.cur, n_permutations=n_permutations, seed=seed)
    tested = [d for d in DIMENSIONS if d in pv]
    adjusted = dict(zip(tested, holm([pv[d][0] for d in tested])))

    dims: list[DimensionResult] = []
    for dim in DIMENSIONS:
        if dim in left:
            dims.append(left[dim])
            continue
        s = scores[dim]
        if p_values:
            p, stat = pv[dim]
            padj = adjusted[dim]
            drifted = not math.isnan(padj) and padj <= alpha
            dims.append(DimensionResult(dim, "scored", None, s, p, padj, stat, drifted, calls[dim].inputs))
        else:
            dims.append(DimensionResult(dim, "scored", None, s, drifted=s.exceeded, inputs=calls[dim].inputs))

    columns_out: list[ColumnDrift] = []
    if "data" in calls:
        columns_out = _worst_first(column_scores(dets["data"], calls["data"].base, calls["data"].cur, shared))

    report = DriftReport([scores[d] for d in DIMENSIONS if d in scores], base.n_rows, cur.n_rows)
    return CheckResult(
        dimensions=dims,
        report=report,
        drifted=any(d.drifted for d in dims),
        baseline_source=base.source,
        current_source=cur.source,
        n_baseline=base.n_rows,
        n_current=cur.n_rows,
        alpha=alpha,
        p_values=p_values,
        n_permutations=n_permutations if p_values else None,
        seed=seed,
        calibration=calibration,
        columns=columns_out,
        breakdowns=breakdowns,
        notes=notes,
        baseline_log=base,
        current_log=cur,
        detectors=dets,
    )


def _is_saved_baseline(obj: Any) -> bool:
    if hasattr(obj, "check") and hasattr(obj, "parts"):
        return True
    if isinstance(obj, (str, os.PathLike)):
        return os.path.splitext(os.fspath(obj))[1].lower() in SAVED_BASELINE_SUFFIXES
    return False


def _check_saved(saved: Any, source: str, cur: RequestLog, alpha: float, notes: list[str]) -> CheckResult:
    notes += [f"current: {n}" for n in cur.notes]
    report, breakdowns = _saved_check(saved, cur)
    by_dim = {s.dimension: s for s in report.scores}
    dims = [
        DimensionResult(d, "scored", None, by_dim[d], drifted=by_dim[d].exceeded) if d in by_dim
        else DimensionResult(d, "skipped", "not part of the saved baseline")
        for d in DIMENSIONS
    ]
    sizes = dict(getattr(saved, "sizes", {}) or {})
    return CheckResult(
        dimensions=dims,
        report=report,
        drifted=report.any_exceeded(),
        baseline_source=source,
        current_source=cur.source,
        n_baseline=max(sizes.values(), default=report.sample_size_baseline),
        n_current=cur.n_rows,
        alpha=alpha,
        breakdowns=breakdowns,
        notes=notes,
        current_log=cur,
        detectors=dict(getattr(saved, "detectors", {}) or {}),
    )


def _worst_first(columns: Sequence[ColumnDrift]) -> list[ColumnDrift]:
    # Highest score first, NaN last, ties in column order.
    def key(c: ColumnDrift) -> tuple[bool, float, int]:
        x = c.score.score
        return (math.isnan(x), 0.0 if math.isnan(x) else -x, c.index)

    return sorted(columns, key=key)


# ------------------------------------------------------------------ text and Prometheus


def _fmt(x: float | None, digits: int = 6) -> str:
    if x is None:
        return "-"
    if math.isnan(x):
        return "NaN"
    return f"{x:.{digits}f}"


def _summary(r: CheckResult) -> str:
    from .cli import _table

    lines = [f"baseline: {r.baseline_source} ({r.n_baseline:,} requests)",
             f"current:  {r.current_source} ({r.n_current:,} requests)", ""]
    headers = ["dimension", "score", "threshold", "drifted", "method"]
    if r.p_values:
        headers[4:4] = ["p", "p (Holm)"]
    rows = []
    for d in r.dimensions:
        if d.score is None:
            row = [d.dimension, "-", "-", "skipped" if d.status == "skipped" else "too small", d.reason or ""]
            if r.p_values:
                row[4:4] = ["-", "-"]
        else:
            row = [d.dimension, _fmt(d.score.score), _fmt(d.score.threshold), "yes" if d.drifted else "no",
                   d.score.method]
            if r.p_values:
                row[4:4] = [_fmt(d.p_value, 4), _fmt(d.p_adjusted, 4)]
        rows.append(row)
    lines.append(_table(headers, rows))
    top = r.top_contributors()
    if top.get("columns"):
        lines += ["", "worst columns: " + ", ".join(f"{c['name']} {_fmt(c['score'], 3)}" for c in top["columns"])]
    if top.get("clusters"):
        lines += ["grown clusters: " + ", ".join(
            f"#{c['index']} {c['baseline_share']:.1%} -> {c['current_share']:.1%}" for c in top["clusters"])]
    if r.notes:
        lines += [""] + [f"note: {n}" for n in r.notes]
    drifted = [d.dimension for d in r.dimensions if d.drifted]
    n = len(r.scored)
    how = f"; Holm-adjusted p <= {r.alpha:g}" if r.p_values else ""
    lines.append("")
    if n == 0:
        lines.append("verdict: nothing to test (no dimension could be scored)")
    elif drifted:
        lines.append(f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {n} dimensions{how})")
    else:
        lines.append(f"verdict: no drift in any of the {n} dimensions tested{how}")
    return "\n".join(lines)


def _label(value: str) -> str:
    return value.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def _value(x: float) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "+Inf" if x > 0 else "-Inf"
    x = float(x)
    return str(int(x)) if x.is_integer() and abs(x) < 2**53 else repr(x)


def _prometheus(r: CheckResult, per_column: bool) -> str:
    out: list[str] = []

    def family(name: str, help: str, samples: list[tuple[dict[str, str], float]]) -> None:
        if not samples:
            return
        out.append(f"# HELP {name} {help}")
        out.append(f"# TYPE {name} gauge")
        for labels, v in samples:
            text = ",".join(f'{k}="{_label(val)}"' for k, val in labels.items())
            out.append(f"{name}{{{text}}} {_value(v)}" if text else f"{name} {_value(v)}")

    scored = [d for d in r.dimensions if d.score is not None]
    family("morvanta_drift_score", "Drift score of the last check, per dimension.",
           [({"dimension": d.dimension}, d.score.score) for d in scored])  # type: ignore[union-attr]
    family("morvanta_drift_threshold", "Score at which the dimension counts as drifted.",
           [({"dimension": d.dimension}, d.score.threshold) for d in scored])  # type: ignore[union-attr]
    if r.p_values:
        family("morvanta_drift_p_value", "Permutation p-value of the last check, per dimension.",
               [({"dimension": d.dimension}, d.p_value) for d in scored if d.p_value is not None])
        family("morvanta_drift_p_value_adjusted",
               "Holm-adjusted p-value over the dimensions tested, per dimension.",
               [({"dimension": d.dimension}, d.p_adjusted) for d in scored if d.p_adjusted is not None])
    family("morvanta_drift_detected", "1 when the dimension drifted in the last check, else 0.",
           [({"dimension": d.dimension}, 1.0 if d.drifted else 0.0) for d in scored])
    family("morvanta_drift_any", "1 when any dimension drifted in the last check, else 0.",
           [({}, 1.0 if r.drifted else 0.0)])
    family("morvanta_drift_window_rows", "Requests in the windows of the last check.",
           [({"window": "baseline"}, float(r.n_baseline)), ({"window": "current"}, float(r.n_current))])
    family("morvanta_drift_check_timestamp_seconds", "When the last check ran, seconds since the Unix epoch.",
           [({}, float(r.report.timestamp))])
    if per_column:
        family("morvanta_drift_column_score", "Drift score of one feature column (max of KS and PSI).",
               [({"dimension": "data", "column": c.name}, c.score.score) for c in r.columns])
    return "\n".join(out) + "\n"


# ------------------------------------------------------------------ monitoring over time


_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0, "w": 604800.0}


def parse_duration(text: str | float) -> float:
    """Seconds in a duration such as "90s", "15m", "1h", "1h30m", "7d", "1w" (or a number of seconds)."""
    if isinstance(text, (int, float)):
        value = float(text)
    else:
        t = text.strip().lower()
        parts = re.findall(r"(\d+(?:\.\d+)?)\s*([smhdw])", t)
        if not parts or re.sub(r"(\d+(?:\.\d+)?)\s*([smhdw])", "", t).strip():
            raise ValueError(f"not a duration: {text!r} (e.g. 30s, 15m, 1h, 1h30m, 7d)")
        value = sum(float(n) * _UNITS[u] for n, u in parts)
    if not value > 0 or math.isinf(value):
        raise ValueError(f"a duration must be positive, got {text!r}")
    return value


def _iso(t: float | None) -> str | None:
    if t is None:
        return None
    return datetime.fromtimestamp(t, tz=timezone.utc).isoformat().replace("+00:00", "Z")


@dataclass(frozen=True)
class WindowResult:
    """One window of :func:`monitor`: ``status`` "checked" or "too_small"
    (fewer than ``min_rows`` requests; not scored)."""

    index: int
    start: float | None
    end: float | None
    first_row: int
    rows: int
    status: str
    result: CheckResult | None = None
    reason: str | None = None

    def to_dict(self) -> dict[str, Any]:
        dims: dict[str, Any] = {}
        if self.result is not None:
            for d in self.result.dimensions:
                entry = d.to_dict()
                del entry["dimension"]
                dims[d.dimension] = entry
        out: dict[str, Any] = _finite({
            "window": self.index,
            "start": _iso(self.start),
            "end": _iso(self.end),
            "first_row": self.first_row,
            "rows": self.rows,
            "status": self.status,
            "reason": self.reason,
            "drifted": None if self.result is None else self.result.drifted,
            "dimensions": dims,
        })
        return out


@dataclass(frozen=True)
class MonitorResult:
    """The windows of :func:`monitor`, in time order, and the baseline they were checked against."""

    windows: list[WindowResult]
    baseline_source: str
    baseline_rows: int
    every: float | None
    rows: int | None
    p_values: bool
    alpha: float
    min_rows: int
    source: str

    def to_jsonl(self) -> str:
        """One JSON object per window, one per line."""
        return "".join(json.dumps(w.to_dict(), ensure_ascii=False) + "\n" for w in self.windows)

    def to_html(self) -> str:
        """A self-contained HTML page with one time chart per dimension."""
        from .report import render_monitor

        return render_monitor(self)


def _cuts(log: RequestLog, every: float | None, rows: int | None, baseline: float | int | None
          ) -> tuple[Any, list[tuple[int, int, float | None, float | None]]]:
    """The baseline rows and the consecutive windows (first row, end row, start time, end time)."""
    import numpy as np

    n = log.n_rows
    bounds: list[tuple[int, int, float | None, float | None]]
    if rows is not None:
        nb = int(baseline) if baseline is not None else rows
        nb = min(nb, n)
        bounds = [(s, min(s + rows, n), None, None) for s in range(nb, n, rows)]
        return slice(0, nb), bounds
    assert every is not None and log.timestamps is not None
    t = log.timestamps
    if n == 0:
        return slice(0, 0), []
    t0 = math.floor(float(t[0]) / every) * every  # windows start on multiples of the period (UTC)
    base_end = t0 + (float(baseline) if baseline is not None else every)
    nb = int(np.searchsorted(t, base_end, side="left"))
    bounds = []
    start = base_end
    last = float(t[-1])
    while start <= last:
        end = start + every
        a = int(np.searchsorted(t, start, side="left"))
        b = int(np.searchsorted(t, end, side="left"))
        bounds.append((a, b, start, end))
        start = end
    return slice(0, nb), bounds


def monitor(
    log: Any,
    *,
    every: str | float | None = None,
    rows: int | None = None,
    baseline: str | float | int | None = None,
    baseline_log: Any = None,
    min_rows: int = 30,
    p_values: bool = False,
    n_permutations: int = 999,
    seed: int = 0,
    alpha: float = 0.05,
    detectors: Mapping[str, Any] | None = None,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    on_window: Callable[[WindowResult], None] | None = None,
) -> MonitorResult:
    """Cuts ``log`` into consecutive windows and checks each against a baseline.

    Windows span ``every`` (a duration such as "1h", cut by the ``timestamp``
    column, starting on multiples of the period in UTC) or hold ``rows`` requests
    each. The baseline is ``baseline_log`` (a log or saved Baseline), or else the
    log's first period: ``baseline`` (a duration with ``every``, a row count
    with ``rows``; default one window). A window with fewer than ``min_rows``
    requests is reported as "too_small" and not scored. ``on_window`` is called
    with each window as soon as it is checked.
    """
    import numpy as np

    if (every is None) == (rows is None):
        raise ValueError("give exactly one of 'every' (a duration) and 'rows' (a count)")
    if baseline is not None and baseline_log is not None:
        raise ValueError("arguments 'baseline' and 'baseline_log' exclude each other")
    if rows is not None and rows < 1:
        raise ValueError(f"argument 'rows': expected a positive count, got {rows!r}")
    period = parse_duration(every) if every is not None else None
    base_len: float | int | None = None
    if baseline is not None:
        base_len = parse_duration(baseline) if period is not None else int(baseline)
    full = _as_log(log, columns, length, "log")
    if period is not None:
        if full.timestamps is None:
            raise LogError(f"'{full.source}': windows by time need a timestamp column (or use rows=)")
        order = np.argsort(full.timestamps, kind="stable")
        if (order != np.arange(full.n_rows)).any():
            full = full.take(order)
    if baseline_log is not None:
        base_len = 0  # every row of the log is checked
    base_rows, bounds = _cuts(full, period, rows, base_len)
    if baseline_log is not None:
        base: Any
        if _is_saved_baseline(baseline_log):
            # Loaded once, not once per window.
            base = baseline_log if hasattr(baseline_log, "check") else _load_baseline(os.fspath(baseline_log))
            base_n = max(dict(getattr(base, "sizes", {}) or {}).values(), default=0)
        else:
            base = _as_log(baseline_log, columns, length, "baseline_log")
            base_n = base.n_rows
        base_source = os.fspath(baseline_log) if isinstance(baseline_log, (str, os.PathLike)) else getattr(
            base, "source", "baseline")
    else:
        base = full.take(base_rows)
        base_source = f"{full.source} (first {'period' if period else 'rows'})"
        base_n = base.n_rows
    out: list[WindowResult] = []
    for i, (a, b, start, end) in enumerate(bounds):
        n = b - a
        if n < min_rows:
            w = WindowResult(i, start, end, a, n, "too_small",
                             reason=f"{n} requests, fewer than the {min_rows} needed to test")
        else:
            res = check(base, full.take(slice(a, b)), p_values=p_values, n_permutations=n_permutations, seed=seed,
                        alpha=alpha, detectors=detectors, min_rows=min_rows, explain=False)
            w = WindowResult(i, start, end, a, n, "checked", res)
        if on_window is not None:
            on_window(w)
        out.append(w)
    return MonitorResult(out, base_source, int(base_n), period, rows, p_values, alpha, min_rows, full.source)
