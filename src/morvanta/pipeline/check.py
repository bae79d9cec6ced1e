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

import math
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

from .._native import (
    DriftReport,
    DriftScore,
)
from ..dimensions import DIMENSION_OF_FIELD, NAMES, REGISTRY, bound, detectors_with, settings_of
from ..errors import ArgumentError, annotated
from ..engines.columns import column_scores, worst_first
from ..io.log import LengthUnit, LogColumns, LogError, RequestLog, read_log
from ..results import CheckResult, ColumnDrift, DimensionResult, PartResult
from .decide import (
    check_count,
    decision,
    holm,
    min_effects,
    parts_of,
    permutations_for,
    run_test,
    smallest_adjusted,
)

__all__ = ["check", "holm", "validate", "Rules", "DEFAULT_MIN_ROWS"]

SAVED_BASELINE_SUFFIXES = (".json", ".npz")

#: Fewest requests a window needs before it is scored, in check and monitor alike:
#: below it a score is mostly noise, and a gate would read noise as a verdict.
DEFAULT_MIN_ROWS = 30


# ------------------------------------------------------------------ adapters
# The only places that touch the permutation, calibration, baseline and
# breakdown APIs; each imports its module on first use.


def _test(method: Callable[..., Any], base: Any, cur: Any, *, n_permutations: int, seed: int, exact: bool,
          score: Any = None, detail: dict[str, float] | None = None, categories: Sequence[Any] = ()) -> Any:
    """The combined permutation test of one detector call (p_value, parts, permutations_run, ...), given
    the check's own score of the same rows; for the data dimension with categorical columns, their
    parts join the numeric ones."""
    if categories:
        from ..engines.categories import categorical_test

        det, dim, form = bound(method)
        return categorical_test(det, base, cur, categories, n_permutations=n_permutations, seed=seed, exact=exact,
                                cap=dim.cap(form.method), score=score)
    return run_test(method, base, cur, n_permutations=n_permutations, seed=seed, exact=exact, score=score,
                    detail=detail)


def _saved_tests(saved: Any, parts: Mapping[str, Any], *, alpha: float, n_permutations: int, seed: int,
                 exact: bool) -> dict[str, Any] | None:
    """The combined permutation tests of a window against a saved Baseline, per dimension (None for a
    stand-in baseline that cannot test)."""
    test = getattr(saved, "test", None)
    if test is None:
        return None
    return dict(test(alpha=alpha, n_permutations=n_permutations, seed=seed, exact=exact, **parts))


def _calibrated(method: Callable[..., Any], base: Any, *, current_size: int, rate: float, seed: int) -> tuple[Any, dict[str, Any]]:
    """A detector with the threshold calibrated on the baseline, and the calibration's record."""
    from ..engines.permutation import calibrate  # type: ignore[import-not-found, unused-ignore]

    cal = calibrate(method, base, current_size=current_size, false_alarm_rate=rate, seed=seed)
    return cal.detector, dict(cal.to_dict())


def _breakdowns(calls: Mapping[str, tuple[Callable[..., Any], Any, Any]], feature_names: Sequence[str]
                ) -> dict[str, Any]:
    """What moved, per dimension (an empty dict when breakdowns are not available).

    A breakdown's ``score`` is bit-identical to the detector call, so the check
    takes its scores from here and runs each detector once. A dimension whose
    breakdown fails is left out; its detector call then runs on its own.
    """
    try:
        from ..engines.explain import explain  # type: ignore[import-not-found, unused-ignore]
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
        from ..engines.baseline import Baseline  # type: ignore[import-not-found, unused-ignore]
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


def _saved_parts(saved: Any, cur: RequestLog) -> dict[str, Any]:
    """The parts of ``cur`` a saved Baseline takes, its features matched by name."""
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
    return parts


def _saved_categories(saved: Any, cur: RequestLog, notes: list[str]) -> tuple[Any, ...]:
    """The current log's categorical columns a saved Baseline scores; the others with a note."""
    tables = tuple(getattr(saved, "_categories", ()) or ())
    at = {c.name: c for c in cur.categories}
    known = {t.name for t in tables}
    for t in tables:
        if t.left_out is not None:
            notes.append(f"categorical feature '{t.name}' is left out of the data dimension: {t.left_out} "
                         "(decided when the baseline was fitted)")
        elif t.name not in at:
            raise LogError(f"'{cur.source}': categorical column '{t.name}' of the saved baseline is missing")
    for name in at:
        if name not in known:
            notes.append(f"categorical feature '{name}' is not part of the saved baseline; the data dimension "
                         "leaves it out")
    return tuple(at[t.name] for t in tables if t.left_out is None and t.name in at)


def _saved_check(saved: Any, parts: Mapping[str, Any]) -> tuple[DriftReport, dict[str, Any]]:
    """Scores and breakdowns of a window's parts against a saved Baseline."""
    report = saved.check(**parts)
    try:
        breakdowns = dict(saved.explain(**{k: v for k, v in parts.items() if k != "categories"}))
    except Exception:  # a breakdown is an extra; the verdict stands without it
        breakdowns = {}
    return report, breakdowns


# ------------------------------------------------------------------ the check




@dataclass
class _Call:
    """One detector call in the permutation-test form: method(base, cur) or, for
    pairs per side, method of the tuples."""

    method: Callable[..., Any]
    base: Any
    cur: Any
    inputs: str
    categories: tuple[Any, ...] = ()  # data: the categorical columns, coded from the pooled rows
    names: tuple[str, ...] = ()  # data: the numeric columns' names

    def score(self) -> DriftScore:
        det, _, form = bound(self.method)
        if self.categories and self.base.shape[1] == 0:
            return _no_numeric_score(det)
        if form.per_side == 1:
            return form.call(det, (self.base,), (self.cur,))
        return form.call(det, self.base, self.cur)

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
        return _Call(getattr(detector, self.method.__name__), self.base, self.cur, self.inputs, self.categories,
                     self.names)


def _no_numeric_score(det: Any) -> DriftScore:
    from ..engines.categories import no_numeric_score

    return no_numeric_score(det)


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


#: Missing feature columns named one by one, up to this many per log; the rest are counted.
MISSING_NAMED = 10


def _missing_notes(notes: list[str], missing: list[str], log: str) -> None:
    for n in missing[:MISSING_NAMED]:
        notes.append(f"feature '{n}' is missing from the {log} log; the data dimension leaves it out")
    if len(missing) > MISSING_NAMED:
        notes.append(f"{len(missing) - MISSING_NAMED:,} more features are missing from the {log} log; "
                     "the data dimension leaves them out")


def _identity(index: list[int], width: int) -> bool:
    return len(index) == width and all(i == j for j, i in enumerate(index))


def _left_out(name: str, values: Any, notes: list[str]) -> bool:
    """A numeric feature that is a counter in the baseline (an id): left out with a note."""
    from ..engines.categories import monotone_reason

    why = monotone_reason(values)
    if why is not None:
        notes.append(f"feature '{name}' is left out of the data dimension: {why}")
    return why is not None


def _categorical_plan(base: RequestLog, cur: RequestLog, notes: list[str]) -> list[Any]:
    """The categorical columns both logs have, coded from their pooled rows; ids and free text left
    out with a note (decided from the baseline)."""
    if not base.categories and not cur.categories:
        return []
    from ..engines.categories import CAP, id_reason, pool

    cur_at = {c.name: c for c in cur.categories}
    base_names = set(base.category_names)
    out = []
    for col in base.categories:
        other = cur_at.get(col.name)
        if other is None:
            notes.append(f"categorical feature '{col.name}' is missing from the current log; the data dimension "
                         "leaves it out")
            continue
        why = id_reason(col)
        if why is not None:
            notes.append(f"categorical feature '{col.name}' is left out of the data dimension: {why}")
            continue
        p = pool(col, other)
        if p.pooled_values > CAP:
            notes.append(f"categorical feature '{col.name}': {p.pooled_values:,} categories; the {CAP} most "
                         f"frequent are kept and the rest pooled as \"(other)\"")
        out.append(p)
    for name in cur.category_names:
        if name not in base_names:
            notes.append(f"categorical feature '{name}' is missing from the baseline log; the data dimension "
                         "leaves it out")
    return out


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

    def sizes_ok(dim: str, nb: int, nc: int, inputs: str) -> bool:
        need = max(REGISTRY[dim].min_rows, min_rows)
        if nb < need or nc < need:
            small(dim, f"needs at least {need} rows per window, got {nb} (baseline) and {nc} (current)", inputs)
            return False
        return True

    # data: the baseline's feature columns that the current log has too, matched by
    # name (through dicts: a log can hold hundreds of thousands of columns).
    base_at = {n: j for j, n in enumerate(base.feature_names)}
    cur_at = {n: j for j, n in enumerate(cur.feature_names)}
    shared = [n for n in base.feature_names if n in cur_at]
    _missing_notes(notes, [n for n in base.feature_names if n not in cur_at], "current")
    _missing_notes(notes, [n for n in cur.feature_names if n not in base_at], "baseline")
    shared = [n for n in shared if not _left_out(n, base.features[:, base_at[n]], notes)]
    pooled = _categorical_plan(base, cur, notes)
    if not shared and not pooled:
        skip("data", "no numeric or categorical feature columns in both logs")
    else:
        inputs = f"{len(shared)} feature column{'s' if len(shared) != 1 else ''}"
        if pooled:
            inputs += f" + {len(pooled)} categorical"
        if sizes_ok("data", base.n_rows, cur.n_rows, inputs):
            bi = [base_at[n] for n in shared]
            ci = [cur_at[n] for n in shared]
            bf = base.features if _identity(bi, base.features.shape[1]) else np.asfortranarray(base.features[:, bi])
            cf = cur.features if _identity(ci, cur.features.shape[1]) else np.asfortranarray(cur.features[:, ci])
            calls["data"] = _Call(detectors["data"].detect, bf, cf, inputs, tuple(pooled), tuple(shared))

    # embedding
    if base.embeddings is None or cur.embeddings is None:
        skip("embedding", "needs an embedding or query_embedding column in both logs")
    else:
        _width_check(base, cur, "embeddings", base.embedding_column)
        inputs = f"{base.embedding_column} ({base.embeddings.shape[1]}-d)"
        if sizes_ok("embedding", base.n_rows, cur.n_rows, inputs):
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
        if sizes_ok("response", base.n_rows, cur.n_rows, inputs):
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
        if sizes_ok("confidence", base.n_rows, cur.n_rows, inputs):
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
        k = settings_of(det)["k"]
        if base.n_rows < max(k, min_rows):
            small("query", f"needs at least {max(k, min_rows)} baseline rows for {k} clusters, got {base.n_rows}",
                  inputs)
        elif sizes_ok("query", base.n_rows, cur.n_rows, inputs):
            calls["query"] = _Call(det.detect, base.queries, cur.queries, inputs)
    return calls, left


@dataclass(frozen=True)
class Rules:
    """How a check decides, once its arguments have passed: the rule, the
    permutations asked for (None: enough for alpha), and the effect floors."""

    decide: str
    alpha: float
    n_permutations: int | None
    seed: int
    exact: bool
    calibrate: float | None
    min_effect: dict[str, float]


def validate(*, decide: str | None = None, p_values: bool | None = None, calibrate: float | None = None,
             alpha: float = 0.05, min_rows: int = DEFAULT_MIN_ROWS, n_permutations: int | None = None,
             seed: int = 0, exact: bool = False, min_effect: Mapping[str, float] | None = None) -> Rules:
    """Refuses the check's settings that no data could make valid, naming the argument; returns the rules."""
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < alpha < 1.0:
        raise ArgumentError("alpha", f"expected a level in (0, 1), got {alpha!r}")
    if calibrate is not None and (isinstance(calibrate, bool) or not isinstance(calibrate, (int, float))
                                  or not 0.0 < calibrate < 1.0):
        raise ArgumentError("calibrate", f"expected a false-alarm rate in (0, 1), got {calibrate!r}")
    rule = decision(decide, p_values, calibrate)
    if isinstance(min_rows, bool) or not isinstance(min_rows, int) or min_rows < 1:
        raise ArgumentError("min_rows", f"expected a positive number of rows, got {min_rows!r}")
    count = check_count(n_permutations)
    if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 1 << 64:
        raise ArgumentError("seed", f"expected an integer in [0, 2**64), got {seed!r}")
    if not isinstance(exact, bool):
        raise ArgumentError("exact", f"expected True or False, got {exact!r}")
    if rule != "p-value":
        # Permutation settings without permutations would be ignored silently.
        if count is not None:
            raise ArgumentError("n_permutations", f"permutations need p-value decisions, not decide={rule!r}")
        if exact:
            raise ArgumentError("exact", f"an exact permutation test needs p-value decisions, not decide={rule!r}")
    return Rules(rule, float(alpha), count, seed, exact, calibrate, min_effects(min_effect))


def _match(base: RequestLog, cur: RequestLog) -> None:
    """The readers' own comparison of two logs' role columns and column kinds, where this build has it."""
    from ..io import log as _log

    match_logs = getattr(_log, "match_logs", None)
    if match_logs is not None:
        match_logs(base, cur)


@annotated
def check(
    baseline_log: Any,
    current_log: Any,
    *,
    decide: str | None = None,
    p_values: bool | None = None,
    n_permutations: int | None = None,
    seed: int = 0,
    exact: bool = False,
    calibrate: float | None = None,
    alpha: float = 0.05,
    min_effect: Mapping[str, float] | None = None,
    detectors: Mapping[str, Any] | None = None,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    min_rows: int = DEFAULT_MIN_ROWS,
    explain: bool = True,
    embed: Any = None,
    categorical: Sequence[str] | None = None,
    redact_categories: bool = False,
) -> CheckResult:
    """Checks a current request log against a baseline log in every dimension the columns allow.

    ``baseline_log``/``current_log``: paths (.parquet, .csv, .jsonl), DataFrames,
    pyarrow Tables, dicts of columns or :class:`~morvanta.logs.RequestLog`; the
    baseline may also be a saved ``Baseline`` (or the path of one, .json/.npz).
    ``detectors`` maps dimension names to configured detectors (defaults
    otherwise); each score is bit-identical to calling that detector on the
    same arrays.

    Text columns (strings, pandas categoricals, Arrow dictionary columns) and
    the columns named in ``categorical`` (e.g. integer route codes) are
    categorical features of the data dimension: per column the combined test
    adds "psi_cat" (PSI over the category shares, categories unseen in the
    baseline pooled in one bin) and "missing" (the change in the share of
    missing cells); ``CheckResult.categorical`` lists the categories that
    moved most and those unseen in the baseline. Ids and free text (see
    :mod:`morvanta.engines.categories`) are left out with a note.
    ``redact_categories=True`` shows category values as 8-hex-digit hashes.

    ``decide`` says what makes a dimension drift:

    - "p-value" (the default): each dimension's combined permutation test
      (every part of its statistic at once: each column's KS and PSI, the MMD
      and the sliced distance, ...) gives a p-value; Holm's method adjusts
      them over the m dimensions tested, and a dimension drifts when its
      adjusted p-value is at or below ``alpha``. A check of windows drawn
      alike then drifts with probability at most ``alpha``.
      ``n_permutations`` defaults to max(999, 10 m/alpha - 1) (a note says
      when it was raised from 999); a count too small to ever reach alpha
      (m/(B + 1) > alpha) is refused. The tests stop early once a p-value is
      clearly large; ``exact=True`` runs every permutation. ``seed`` seeds
      every test. ``p_values=True`` is this rule under its former name.
    - "threshold": the score reaching the detector's fixed threshold (no known
      false-alarm rate); ``p_values=False`` means the same.
    - "calibrated" (``calibrate=RATE``): each threshold set on the baseline so
      that the baseline against itself drifts with probability RATE.

    ``min_effect`` maps dimensions to score floors: such a dimension drifts
    only when its score reaches the floor too, and says so when a decision
    was held back by it. A detector's threshold shows beside its score either
    way. A dimension whose columns are missing from either log is "skipped";
    one with too few rows (fewer than ``min_rows``, default 30 as for
    :func:`~morvanta.monitor`, or than its detector's settings need) is
    "too_small"; neither is scored.

    ``embed``: a sentence-embedding model (a folder path, or a loaded
    :class:`~morvanta.embed.TextEmbedder`) for logs that hold the ``query`` and
    ``response`` text but no embedding columns: each log's text is embedded once and
    feeds the embedding, query and response dimensions as the vectors would have
    (columns holding embeddings win). The notes say which model embedded what, and
    without a model which dimensions the text could have fed. A saved baseline
    fitted with a model refuses another one.

    A refused argument raises :class:`~morvanta.errors.ArgumentError` (a
    ValueError naming it); a core failure raises MorvantaError with its cause
    in ``kind``/``expected``/``got``/``context`` (see :mod:`morvanta.errors`).
    """
    rules = validate(decide=decide, p_values=p_values, calibrate=calibrate, alpha=alpha, min_rows=min_rows,
                     n_permutations=n_permutations, seed=seed, exact=exact, min_effect=min_effect)
    columns = with_categorical(columns, categorical)
    return run_check(baseline_log, current_log, rules, detectors=detectors, columns=columns, length=length,
                     min_rows=min_rows, explain=explain, embed=resolve_embedder(embed),
                     redact=bool(redact_categories))


def with_categorical(columns: LogColumns | None, categorical: Sequence[str] | None) -> LogColumns | None:
    """``columns`` with the columns named in ``categorical`` declared categorical too."""
    if categorical is None:
        return columns
    if isinstance(categorical, str) or not all(isinstance(c, str) for c in categorical):
        raise ArgumentError("categorical", f"expected a list of column names, got {categorical!r}")
    cols = columns if columns is not None else LogColumns()
    extra = tuple(c for c in categorical if c not in cols.categorical)
    return replace(cols, categorical=cols.categorical + extra)


def run_check(baseline_log: Any, current_log: Any, rules: Rules, *, detectors: Mapping[str, Any] | None,
              columns: LogColumns | None, length: LengthUnit | None, min_rows: int, explain: bool,
              embed: Any = None, redact: bool = False) -> CheckResult:
    """:func:`check` once its arguments have passed (monitor checks every window through here);
    ``embed`` is what :func:`resolve_embedder` made of the argument."""
    notes: list[str] = []
    if _is_saved_baseline(baseline_log):
        if rules.decide == "calibrated":
            raise ArgumentError("calibrate", "calibration needs the baseline log's rows, not a saved baseline")
        saved = baseline_log if hasattr(baseline_log, "check") else _load_baseline(os.fspath(baseline_log))
        source = os.fspath(baseline_log) if isinstance(baseline_log, (str, os.PathLike)) else "saved baseline"
        cur = _as_log(current_log, columns, length, "current_log")
        cur = _saved_embedded(saved, source, cur, embed, notes)
        return _check_saved(saved, source, cur, rules, min_rows, notes, redact)

    base = _as_log(baseline_log, columns, length, "baseline_log")
    cur = _as_log(current_log, columns, length, "current_log")
    _match(base, cur)
    base, cur = _embedded(base, embed), _embedded(cur, embed)
    notes += _text_notes(base, cur, embed)
    notes += [f"baseline: {n}" for n in base.notes] + [f"current: {n}" for n in cur.notes]
    dets = detectors_with(detectors)
    calls, left = _plan(base, cur, dets, min_rows, notes)
    if rules.decide == "p-value":
        _threshold_notes(detectors, calls, notes)

    calibration: dict[str, Any] | None = None
    seed = rules.seed
    if rules.decide == "calibrated":
        assert rules.calibrate is not None
        # The null scores come from splitting the baseline in two, so the current
        # part of a split can hold at most all but one baseline row; a larger
        # current window is calibrated at half the baseline (a stricter threshold).
        size = cur.n_rows if cur.n_rows < base.n_rows else max(base.n_rows // 2, 1)
        if size != cur.n_rows:
            notes.append(f"calibration: baseline splits of {size:,} rows stand for the {cur.n_rows:,}-row current "
                         "window (a split needs rows on both sides)")
        calibration = {"false_alarm_rate": rules.calibrate, "seed": seed, "current_size": size, "dimensions": {}}
        for dim, call in calls.items():
            det, record = _calibrated(call.method, call.base, current_size=size, rate=rules.calibrate, seed=seed)
            calls[dim] = call.rebind(det)
            dets[dim] = det
            calibration["dimensions"][dim] = record

    given = {dim: (_rows(call.base), _rows(call.cur)) for dim, call in calls.items()}
    sampled: set[str] = set()
    if rules.decide == "p-value":
        sampled = _cap_calls(calls, seed)
        notes += [f"{dim}: scored and tested on a seeded sample of {_rows(calls[dim].base):,} vs "
                  f"{_rows(calls[dim].cur):,} of its {given[dim][0]:,} vs {given[dim][1]:,} rows (its row cap)"
                  for dim in NAMES if dim in sampled]
    shared = list(calls["data"].names) if "data" in calls else []
    part_names = shared + [p.name for p in calls["data"].categories] if "data" in calls else []
    # Dimensions whose test forms the detector's score (and breakdown) from what it prepares
    # anyway; scored after their tests, which saves a second pass over the embeddings.
    by_test = {d for d, c in calls.items() if rules.decide == "p-value" and bound(c.method)[2].test_scores}
    breakdowns = _breakdowns({d: (c.method, c.base, c.cur) for d, c in calls.items() if d not in by_test},
                             shared) if explain else {}
    scores = {dim: breakdowns[dim].score if dim in breakdowns else call.score() for dim, call in calls.items()
              if dim not in by_test}
    if explain and "data" in calls and calls["data"].categories:
        # What moved in each categorical column joins the numeric columns' breakdown (or stands alone
        # when the table has no numeric column to break down).
        from ..engines.categories import breakdowns as category_breakdowns
        from ..results import DataBreakdown

        cats = category_breakdowns(calls["data"].categories, redact)
        bd = breakdowns.get("data")
        breakdowns["data"] = (replace(bd, categories=cats) if bd is not None
                              else DataBreakdown(scores["data"], [], cats))
    tests: dict[str, Any] | None = None
    n_perm: int | None = None
    if rules.decide == "p-value":
        n_perm, raised = permutations_for(len(calls), rules.alpha, rules.n_permutations)
        if raised and calls:
            notes.append(raised)
        details: dict[str, dict[str, float]] = {dim: {} for dim in by_test}
        extra: dict[str, dict[str, Any]] = {
            dim: {**({"detail": details[dim]} if dim in details else {}),
                  **({"categories": call.categories} if call.categories else {})} for dim, call in calls.items()}
        tests = {dim: _test(call.method, call.base, call.cur, n_permutations=n_perm, seed=seed, exact=rules.exact,
                            score=scores.get(dim), **extra[dim])
                 for dim, call in calls.items()}
        tests = {dim: replace(t, sampled=True) if dim in sampled else t for dim, t in tests.items()}
        from ..engines.breakdown import build_breakdown  # type: ignore[import-not-found, unused-ignore]

        for dim in by_test:
            scores[dim] = tests[dim].score
            if explain and details[dim]:
                breakdowns[dim] = build_breakdown(dim, tests[dim].score, details[dim])
        scores = {dim: scores[dim] for dim in calls}
        breakdowns = {dim: breakdowns[dim] for dim in calls if dim in breakdowns}
    dims = _decide(scores, tests, rules, left, {d: c.inputs for d, c in calls.items()}, given, part_names, notes)

    columns_out: list[ColumnDrift] = []
    if "data" in calls:
        columns_out = worst_first(column_scores(dets["data"], calls["data"].base, calls["data"].cur, shared))

    categorical: list[dict[str, Any]] = []
    if "data" in calls and calls["data"].categories:
        from ..engines.categories import explain_columns

        data_parts = next((d.parts for d in dims if d.dimension == "data"), ()) or ()
        categorical = explain_columns(calls["data"].categories, data_parts, redact)
        if rules.decide != "p-value":
            notes.append("data: categorical columns are tested by the permutation test only; with "
                         f"decide='{rules.decide}' the numeric columns decide")

    report = DriftReport([scores[d] for d in NAMES if d in scores], base.n_rows, cur.n_rows)
    return CheckResult(
        categorical=categorical,
        dimensions=dims,
        report=report,
        drifted=any(d.drifted for d in dims),
        baseline_source=base.source,
        current_source=cur.source,
        n_baseline=base.n_rows,
        n_current=cur.n_rows,
        alpha=rules.alpha,
        p_values=rules.decide == "p-value",
        n_permutations=n_perm,
        seed=seed,
        calibration=calibration,
        columns=columns_out,
        breakdowns=breakdowns,
        notes=notes,
        baseline_log=base,
        current_log=cur,
        detectors=dets,
        decide=rules.decide,
        exact=rules.exact,
        smallest_p_adjusted=smallest_adjusted(len(calls), n_perm) if n_perm is not None and calls else None,
        min_effect=dict(rules.min_effect),
    )


def _cap_calls(calls: dict[str, _Call], seed: int) -> set[str]:
    """Cut every call whose window exceeds its dimension's row cap to the seeded
    sample its permutation test reads (the same rows), so that the score, the
    breakdown and the test all see it and a long window costs a bounded time;
    returns the dimensions cut."""
    from ..engines import sampling
    from ..engines.permutation import _capped

    cut: set[str] = set()
    for dim, call in calls.items():
        det, dimension, form = bound(call.method)
        cap = dimension.cap(form.method)
        pair = form.per_side != 1
        b, b_cut = _capped(call.base if pair else (call.base,), sampling.BASELINE, form.aligned, cap, seed)
        c, c_cut = _capped(call.cur if pair else (call.cur,), sampling.CURRENT, form.aligned, cap, seed)
        if b_cut or c_cut:
            # Categorical codes are rows of the feature table: the same sample (the one the test takes).
            cats = tuple(replace(
                p,
                base=p.base if not b_cut else p.base[sampling.subsample(
                    len(p.base), cap, seed, stream=sampling.stream(0, sampling.BASELINE))],
                cur=p.cur if not c_cut else p.cur[sampling.subsample(
                    len(p.cur), cap, seed, stream=sampling.stream(0, sampling.CURRENT))])
                for p in call.categories)
            calls[dim] = _Call(call.method, b if pair else b[0], c if pair else c[0], call.inputs, cats, call.names)
            cut.add(dim)
    return cut


def _rows(side: Any) -> int:
    """Rows of one side of a detector call (the first part of a pair)."""
    x = side[0] if isinstance(side, tuple) else side
    shape = getattr(x, "shape", None)
    return int(shape[0]) if shape is not None and len(shape) else len(x)


def _threshold_notes(given: Mapping[str, Any] | None, calls: Mapping[str, _Call], notes: list[str]) -> None:
    """A note for every detector given with its own threshold while p-values decide: the threshold
    is then evidence beside the score, which a caller who set it may not expect."""
    for dim, det in dict(given or {}).items():
        if dim not in calls:
            continue
        det = getattr(det, "detector", det)
        mine, default = settings_of(det)["threshold"], settings_of(REGISTRY[dim].detector())["threshold"]
        if mine != default:
            notes.append(f"{dim}: the threshold {mine:g} set on the detector is shown beside the score; the p-value "
                         "decides (decide='threshold' to decide by thresholds)")


def _decide(scores: Mapping[str, DriftScore], tests: Mapping[str, Any] | None, rules: Rules,
            left: Mapping[str, DimensionResult], inputs: Mapping[str, str], given: Mapping[str, tuple[int, int]],
            feature_names: Sequence[str] | None, notes: list[str]) -> list[DimensionResult]:
    """Every dimension's result, decided by the rules: the Holm-adjusted p-values (with tests) or the
    thresholds, then the effect floors."""
    adjusted: dict[str, float] = {}
    tested: list[str] = []
    if tests is not None:
        tested = [d for d in NAMES if d in tests]
        adjusted = dict(zip(tested, holm([float(tests[d].p_value) for d in tested])))
    m = len(tested)
    out: list[DimensionResult] = []
    for dim in NAMES:
        if dim in left:
            out.append(left[dim])
            continue
        if dim not in scores:
            out.append(DimensionResult(dim, "skipped", "not part of the saved baseline"))
            continue
        s = scores[dim]
        floor = rules.min_effect.get(dim)
        if tests is None:
            decided = bool(s.exceeded)
            fields: dict[str, Any] = {"decided_by": rules.decide if rules.decide != "p-value" else "threshold",
                                      "rows_tested": given.get(dim)}
        else:
            t = tests[dim]
            padj = adjusted[dim]
            decided = not math.isnan(padj) and padj <= rules.alpha
            nb, nc = getattr(t, "n_baseline", None), getattr(t, "n_current", None)
            sampled = bool(getattr(t, "sampled", False))
            fields = {
                "p_value": float(t.p_value), "p_adjusted": padj, "statistic": str(t.statistic),
                "decided_by": "p-value", "parts": _parts(dim, t, padj, m, feature_names),
                "permutations_run": getattr(t, "permutations_run", getattr(t, "n_permutations", None)),
                "stopped": getattr(t, "stopped", False),
                "rows_tested": (int(nb), int(nc)) if nb is not None and nc is not None else given.get(dim),
                "rows_given": given.get(dim), "sampled": sampled,
            }
        below = floor is not None and decided and not s.score >= floor
        if below:
            what = (f"adjusted p {fields['p_adjusted']:.4g} <= alpha {rules.alpha:g}" if tests is not None
                    else f"score reached its threshold {s.threshold:g}")
            notes.append(f"{dim}: significant ({what}) but the score {s.score:.4g} is below its min_effect floor "
                         f"{floor:g}: not counted as drift")
        out.append(DimensionResult(dim, "scored", None, s, drifted=decided and not below, inputs=inputs.get(dim, ""),
                                   min_effect=floor, below_min_effect=below, **fields))
    return out


def _parts(dim: str, test: Any, p_dimension: float, m: int, feature_names: Sequence[str] | None
           ) -> tuple[PartResult, ...]:
    """A test's parts with p-values adjusted over the whole check: a part's maxT p within its
    dimension times the m dimensions tested (Bonferroni across dimensions, which holds whatever the
    other dimensions show), never below its dimension's own Holm-adjusted p-value."""
    out = []
    for p in parts_of(test):
        within = float(p.p_adjusted)
        family = math.nan if math.isnan(within) else max(min(1.0, m * within), p_dimension)
        column = p.column
        if column is not None and feature_names is not None and 0 <= int(column) < len(feature_names):
            name: str | None = str(feature_names[int(column)])
        else:
            name = None if column is None else str(column)
        out.append(PartResult(dim, str(p.name), name, float(p.statistic), float(p.p_value), within, family,
                              bool(getattr(p, "excluded", False))))
    return tuple(out)


def resolve_embedder(embed: Any, arg: str = "embed") -> Any:
    """The model of an ``embed=`` argument (None for none; see :mod:`morvanta.engines.text`)."""
    if embed is None:
        return None
    from ..engines.text import resolve

    return resolve(embed, arg)


def _embedded(log: RequestLog, embed: Any) -> RequestLog:
    """``log`` with its text embedded where it holds no vectors (as it is without a model)."""
    if embed is None or getattr(embed, "model", None) is None:
        return log
    from ..engines.text import embed_log

    return embed_log(log, embed)


def _text_notes(base: RequestLog | None, cur: RequestLog, embed: Any) -> list[str]:
    """Which dimensions the logs' text could feed but does not, and how to enable them."""
    if base is not None and base.query_texts is None and base.response_texts is None:
        return []
    if cur.query_texts is None and cur.response_texts is None:
        return []
    from ..engines.text import text_notes

    return text_notes(base, cur, embed)


def _saved_embedded(saved: Any, source: str, cur: RequestLog, embed: Any, notes: list[str]) -> RequestLog:
    """The current log for a saved baseline: embedded with the baseline's model, when it has one."""
    model = getattr(saved, "model", None)
    if model is None and (embed is None or getattr(embed, "model", None) is None):
        return cur
    from ..engines.text import saved_model_log

    return saved_model_log(model, source, cur, embed, notes)


def _is_saved_baseline(obj: Any) -> bool:
    if hasattr(obj, "check") and hasattr(obj, "parts"):
        return True
    if isinstance(obj, (str, os.PathLike)):
        return os.path.splitext(os.fspath(obj))[1].lower() in SAVED_BASELINE_SUFFIXES
    return False


def _check_saved(saved: Any, source: str, cur: RequestLog, rules: Rules, min_rows: int,
                 notes: list[str], redact: bool = False) -> CheckResult:
    notes += [f"current: {n}" for n in cur.notes]
    sampled = getattr(saved, "sampled", None)
    if sampled:  # a sampled baseline says so in every output
        notes.append(f"baseline: {sampled}")
    sizes = dict(getattr(saved, "sizes", {}) or {})
    n_base = max(sizes.values(), default=0)
    parts = set(getattr(saved, "parts", ()) or ())
    present = [d for d in NAMES if any(DIMENSION_OF_FIELD.get(p) == d for p in parts)]
    need = max([min_rows, *(REGISTRY[d].min_rows for d in present)])
    decide = rules.decide
    if present and (cur.n_rows < need or n_base < need):
        # The saved baseline scores all its parts in one call: a window too small
        # for one of them is too small for the call.
        why = f"needs at least {need} rows per window, got {n_base:,} (baseline) and {cur.n_rows:,} (current)"
        dims = [DimensionResult(d, "too_small", why) if d in present
                else DimensionResult(d, "skipped", "not part of the saved baseline") for d in NAMES]
        report = DriftReport([], n_base, cur.n_rows)
        return CheckResult(dims, report, False, source, cur.source, n_base, cur.n_rows, rules.alpha, notes=notes,
                           current_log=cur, detectors=dict(getattr(saved, "detectors", {}) or {}), decide=decide,
                           p_values=decide == "p-value", seed=rules.seed, exact=rules.exact,
                           min_effect=dict(rules.min_effect))
    window = _saved_parts(saved, cur)
    cats = _saved_categories(saved, cur, notes)
    if cats:
        window["categories"] = cats
    report, breakdowns = _saved_check(saved, window)
    by_dim: dict[str, DriftScore] = {str(s.dimension): s for s in report.scores}
    tests: dict[str, Any] | None = None
    n_perm: int | None = None
    if decide == "p-value":
        n_perm, raised = permutations_for(len(by_dim), rules.alpha, rules.n_permutations)
        tests = _saved_tests(saved, window, alpha=rules.alpha, n_permutations=n_perm, seed=rules.seed,
                             exact=rules.exact)
        if tests is None:
            notes.append("this baseline cannot run permutation tests: the fixed thresholds decide "
                         "(check against the baseline log for p-values)")
            decide, n_perm = "threshold", None
        elif raised and by_dim:
            notes.append(raised)
    given: dict[str, tuple[int, int]] = {d: (int(sizes.get(next((p for p in parts if DIMENSION_OF_FIELD.get(p) == d), ""), n_base)),
                 cur.n_rows) for d in by_dim}
    rules_now = Rules(decide, rules.alpha, rules.n_permutations, rules.seed, rules.exact, None, rules.min_effect)
    names = getattr(saved, "feature_names", None)
    categorical: list[dict[str, Any]] = []
    if cats:
        # The parts of categorical column j are numbered after the numeric columns.
        names = list(names or []) + [c.name for c in cats]
        if decide != "p-value":
            notes.append("data: categorical columns are tested by the permutation test only; with "
                         f"decide='{decide}' the numeric columns decide")
    dims = _decide(by_dim, tests, rules_now, {}, {}, given, names, notes)
    if cats:
        data_parts = next((d.parts for d in dims if d.dimension == "data"), ()) or ()
        categorical = _saved_explained(saved, cats, data_parts, redact)
    return CheckResult(
        categorical=categorical,
        dimensions=dims,
        report=report,
        drifted=any(d.drifted for d in dims),
        baseline_source=source,
        current_source=cur.source,
        n_baseline=max(sizes.values(), default=report.sample_size_baseline),
        n_current=cur.n_rows,
        alpha=rules.alpha,
        p_values=decide == "p-value",
        n_permutations=n_perm,
        seed=rules.seed,
        columns=_columns_of(breakdowns.get("data"), by_dim.get("data")),
        breakdowns=breakdowns,
        notes=notes,
        current_log=cur,
        detectors=dict(getattr(saved, "detectors", {}) or {}),
        decide=decide,
        exact=rules.exact,
        smallest_p_adjusted=smallest_adjusted(len(by_dim), n_perm) if n_perm is not None and by_dim else None,
        min_effect=dict(rules.min_effect),
    )


def _saved_explained(saved: Any, cats: Sequence[Any], parts: Sequence[Any], redact: bool) -> list[dict[str, Any]]:
    """What moved in each categorical column against a saved baseline, with the parts' p-values."""
    from ..engines.baseline_categories import current_columns, pooled
    from ..engines.categories import explain_columns

    return explain_columns(pooled(current_columns(saved._categories, cats)), parts, redact)


def _columns_of(breakdown: Any, score: DriftScore | None) -> list[ColumnDrift]:
    """The per-column scores of a data breakdown, worst first.

    A column's value is max(KS, PSI), what the detector gives for that column
    alone; its score reaches the table's threshold as the detector's would
    (``value >= threshold``, NaN never).
    """
    if breakdown is None or score is None:
        return []
    from .. import _engine

    threshold = score.threshold
    return worst_first([
        ColumnDrift(int(c.index), str(c.name),
                    _engine.drift_score("data", float(c.value), threshold, bool(c.value >= threshold), score.method))
        for c in breakdown.columns
    ])
