"""Alarms with a known false-alarm rate: permutation p-values and calibrated thresholds.

A detector's ``exceeded`` compares a raw statistic with a fixed threshold, and the
noise level of every statistic depends on the window sizes and the data, so no
fixed threshold has a known false-alarm rate. Two ways to get one:

- :func:`permutation_test` asks "could this split of the pooled rows be chance?":
  it deals the pooled rows of both windows back to two sides of the original
  sizes many times and returns the share of deals whose statistic reaches the
  observed one (a p-value, never 0). The statistic is the maxT combination of
  the parts of the detector's score (KS and PSI of every column, MMD^2 and the
  sliced distance, ...), each standardised by a pilot, so no part drowns
  another; it stops early once a window is plainly not drifted.
- :func:`calibrate` answers "what threshold do I put in my monitor?": it scores
  a reference part of a baseline window against many pseudo-current parts and
  returns a detector whose threshold the splits exceed at most at the
  requested rate.

Both are reproducible bit for bit: the deals come from the package's own seeded
generator (one generator per permutation or split, seeded from ``seed`` and its
index), so equal inputs, settings and seed give the same numbers on every run and
for any number of worker threads. Windows longer than a dimension's row cap are
tested on a seeded sample of their rows (:mod:`.sampling`), which keeps the time
of a test bounded.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Union

from .. import _engine
from ..dimensions import Form, bound
from ..errors import annotated
from ..results import Calibration, DriftTest, TestPart
from . import sampling
from .._native import ConfidenceDrift, DataDrift, DriftScore, EmbeddingDrift, QueryDrift, ResponseDrift

if TYPE_CHECKING:
    from collections.abc import Sequence

    from numpy.typing import NDArray

    _Values = Union[Sequence[float], NDArray[Any]]
    #: One window: an array or sequence, or a pair for the methods that take two per side.
    Window = Union[_Values, tuple[_Values, Union[Sequence[bool], NDArray[Any]]]]

__all__ = ["DriftTest", "Calibration", "permutation_test", "calibrate", "STOP_AFTER"]

#: A test stops at the permutation that is the STOP_AFTER-th to reach the observed statistic.
STOP_AFTER = 20

_Detector = Union[DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, ConfidenceDrift]

_PAIR_NAMES = {
    "detect_with_correctness": "(confidences, correct)",
    "detect_with_embeddings": "(lengths, embeddings)",
}


def _resolve(method: object) -> tuple[_Detector, str, str, int]:
    det, _, form = bound(method)  # type: ignore[arg-type]
    return det, form.method, form.statistic, form.per_side


def _side(arg: str, value: object, owner: str, name: str, per_side: int) -> tuple[Any, ...]:
    if per_side == 1:
        return (value,)
    if not isinstance(value, tuple) or len(value) != 2:
        raise TypeError(
            f"argument '{arg}': {owner}.{name} takes a {_PAIR_NAMES[name]} tuple per side; "
            f"got {type(value).__name__}"
        )
    return value


def _call(method: Callable[..., DriftScore], name: str, b: tuple[Any, ...], c: tuple[Any, ...]) -> DriftScore:
    det, dim, form = bound(method)
    return form.call(det, b, c)


def _count(arg: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"argument '{arg}': expected int, got {type(value).__name__}")
    if value < least:
        raise ValueError(f"argument '{arg}': must be >= {least}, got {value}")
    return value


def _seed(value: object, arg: str = "seed") -> int:
    seed = _count(arg, value, 0)
    if seed >= 1 << 64:
        raise OverflowError(f"argument '{arg}': must be < 2**64")
    return seed


def _flag(arg: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"argument '{arg}': expected bool, got {type(value).__name__}")
    return value


def _length(value: Any) -> int | None:
    shape = getattr(value, "shape", None)
    if shape is not None:
        return int(shape[0]) if len(shape) >= 1 else None
    try:
        return len(value)
    except TypeError:
        return None


def _capped(side: tuple[Any, ...], which: int, aligned: bool, cap: int, seed: int) -> tuple[tuple[Any, ...], bool]:
    """One side's parts, each cut to ``cap`` rows by its seeded sample (aligned parts share one)."""
    out, sampled = list(side), False
    for i, part in enumerate(side):
        n = _length(part)
        if n is None or n <= cap:
            continue  # the detector names what it cannot read
        if aligned and i > 0:
            # Rows of one table: the first part's sample, when the lengths agree
            # (otherwise the detector reports the mismatch on the full parts).
            if _length(side[0]) != n:
                return side, False
            out[i] = sampling.rows(part, sampling.subsample(n, cap, seed, stream=sampling.stream(0, which)))
        else:
            out[i] = sampling.rows(part, sampling.subsample(n, cap, seed, stream=sampling.stream(i, which)))
        sampled = True
    return tuple(out), sampled


def _rows_of(side: tuple[Any, ...]) -> int:
    return max((_length(p) or 0 for p in side), default=0)


def combined(
    det: _Detector,
    form: Form,
    cap: int,
    b: tuple[Any, ...],
    c: tuple[Any, ...],
    n_permutations: int,
    seed: int,
    exact: bool,
    score: DriftScore | None = None,
    detail: dict[str, float] | None = None,
) -> DriftTest:
    """The combined test of ``form`` on checked arguments (:meth:`Baseline.test` shares it).

    ``score``, when given, is the detector's score of the whole windows ``b``
    and ``c`` (a check has it already); it is used unless a side is sampled,
    which saves a second run of the detector. A form whose test forms the
    detector's score itself (``test_scores``) takes it from the test, and fills
    ``detail``, when given, with the values behind it (embedding: ``mmd2``,
    ``sliced_wasserstein``, ``bandwidth``, ``bandwidth_sq``; response with embeddings: ``ks``,
    ``sliced_wasserstein``).
    """
    b, b_sampled = _capped(b, sampling.BASELINE, form.aligned, cap, seed)
    c, c_sampled = _capped(c, sampling.CURRENT, form.aligned, cap, seed)
    if b_sampled or c_sampled:
        score = None
    if score is None and not form.test_scores:
        score = form.call(det, b, c)
    try:
        r = _engine.combined_test(det, form.method, b, c, n_permutations, seed,
                                  stop_after=0 if exact else STOP_AFTER)
    except Exception:
        if score is None:
            form.call(det, b, c)  # the detector's own error comes first, as when it runs first
        raise
    if score is None:
        score = r["score"] if r["score"] is not None else form.call(det, b, c)
    if detail is not None and r["score_detail"] is not None:
        detail.update(r["score_detail"])
    excluded = set(r["excluded"])
    parts = tuple(
        TestPart(
            name=label.split("[", 1)[0] if column is not None else label,
            column=column,
            statistic=float(observed),
            p_value=float(p_raw),
            p_adjusted=float(p_adj),
            excluded=j in excluded,
        )
        for j, (label, column, observed, p_raw, p_adj) in enumerate(
            zip(r["parts"], r["columns"], r["observed"], r["p_raw"], r["p_adjusted"])
        )
    )
    return DriftTest(
        score=score,
        p_value=float(r["p_value"]),
        n_permutations=n_permutations,
        seed=seed,
        statistic=form.statistic,
        observed=float(r["statistic"]),
        parts=parts,
        permutations_run=int(r["permutations_run"]),
        stopped=bool(r["stopped"]),
        n_baseline=_rows_of(b),
        n_current=_rows_of(c),
        sampled=b_sampled or c_sampled,
    )


@annotated
def permutation_test(
    method: Callable[..., DriftScore],
    baseline: Window,
    current: Window,
    *,
    n_permutations: int = 999,
    seed: int = 0,
    exact: bool = False,
    max_rows: int | None = None,
) -> DriftTest:
    """Seeded permutation p-value of a detector's combined statistic on two windows.

    ``method`` is a bound detector method (``DataDrift(...).detect``,
    ``EmbeddingDrift(...).detect``, ``QueryDrift(...).detect``,
    ``ResponseDrift(...).detect`` / ``.detect_with_embeddings``,
    ``ConfidenceDrift(...).detect`` / ``.detect_with_correctness``);
    ``baseline`` and ``current`` are its arguments for each side: one array or
    sequence, or a tuple ``(confidences, correct)`` / ``(lengths, embeddings)``
    for the methods that take two per side.

    The statistic keeps the parts of the detector's score apart and combines
    them by maxT (see :class:`DriftTest`): KS and PSI of every feature column,
    MMD^2 (the kernel bandwidth fixed once from the pooled rows) and the sliced
    distance of embeddings, KS of the lengths and the sliced distance of the
    answer embeddings, KS of the confidences and the change of the calibration
    error, the symmetric KL of the query clusters (k-means fitted once on the
    pooled rows). ``DriftTest.parts`` gives each part's own raw and adjusted
    p-value: which feature column moved, and how surely.

    Every permutation deals the pooled rows back to two sides of the original
    sizes: a row of a table or an embedding moves whole, a confidence moves with
    its flag, and response lengths and embedding rows are dealt each on their own
    (their counts may differ). Permutation ``p`` draws from its own generator
    seeded from ``(seed, p)`` (for ``(lengths, embeddings)``: ``(seed, 2p)`` for
    the lengths, ``(seed, 2p + 1)`` for the rows), so the p-value is the same
    bits for any worker count. The test stops at the 20th permutation whose
    statistic reaches the observed one (p = 20 / permutations run), which only
    happens for p-values of at least 20 / n_permutations; ``exact=True`` runs
    all ``n_permutations``.

    A side with more rows than ``max_rows`` (default: the dimension's cap,
    ``morvanta.dimensions.REGISTRY[dim].cap(method)``) is tested, and scored,
    on a seeded uniform sample of that many of its rows in row order
    (:func:`morvanta.engines.sampling.subsample`, under ``seed``); ``sampled``
    and the row counts in the result say so.

    >>> t = permutation_test(DataDrift().detect, last_week, today, seed=7)
    >>> t.p_value, t.drifted(0.01), [p for p in t.parts if p.p_adjusted <= 0.01]

    Raises TypeError for anything but a supported bound method or the argument
    shape it takes, ValueError for ``n_permutations < 1`` or ``max_rows < 1``,
    and whatever the detector itself raises for its windows (MorvantaError,
    TypeError).
    """
    return scored_test(method, baseline, current, n_permutations=n_permutations, seed=seed, exact=exact,
                       max_rows=max_rows)


def scored_test(
    method: Callable[..., DriftScore],
    baseline: Window,
    current: Window,
    *,
    n_permutations: int = 999,
    seed: int = 0,
    exact: bool = False,
    max_rows: int | None = None,
    score: DriftScore | None = None,
    detail: dict[str, float] | None = None,
) -> DriftTest:
    """:func:`permutation_test` for a caller that already holds ``method``'s score
    of the two windows (``score``; recomputed when a side is sampled); ``detail``
    as :func:`combined` fills it."""
    det, dim, form = bound(method)
    owner = type(det).__name__
    n = _count("n_permutations", n_permutations, 1)
    s = _seed(seed)
    full = _flag("exact", exact)
    cap = dim.cap(form.method) if max_rows is None else _count("max_rows", max_rows, 1)
    b = _side("baseline", baseline, owner, form.method, form.per_side)
    c = _side("current", current, owner, form.method, form.per_side)
    if score is not None and not isinstance(score, DriftScore):
        raise TypeError(f"argument 'score': expected DriftScore, got {type(score).__name__}")
    return combined(det, form, cap, b, c, n, s, full, score, detail)


def _as_rows(arg: str, value: object, kind: str) -> Any:
    import numpy as np

    if kind == "matrix":
        if not isinstance(value, np.ndarray) or value.ndim != 2:
            raise TypeError(f"argument '{arg}': expected a 2-D NumPy array, got {type(value).__name__}")
        return value
    if isinstance(value, (str, bytes)):
        raise TypeError(f"argument '{arg}': expected a sequence of {kind}s, got {type(value).__name__}")
    try:
        out = np.asarray(value, dtype=np.bool_ if kind == "bool" else np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"argument '{arg}': expected a sequence of {kind}s") from e
    if out.ndim != 1:
        raise TypeError(f"argument '{arg}': expected a one-dimensional sequence of {kind}s")
    return out


def _split_mask(n_rows: int, n_current: int, seed: int, index: int) -> Any:
    import numpy as np

    return np.frombuffer(_engine.split_labels(n_rows, n_current, seed, index), dtype=np.uint8).astype(bool)


@annotated
def calibrate(
    method: Callable[..., DriftScore],
    baseline: Window,
    *,
    current_size: int | None = None,
    false_alarm_rate: float = 0.01,
    n_splits: int = 200,
    seed: int = 0,
    reference_size: int | None = None,
) -> Calibration:
    """Threshold for ``method``'s detector with a chosen false-alarm rate, from one baseline.

    The baseline window is one array or sequence, or the method's
    ``(confidences, correct)`` / ``(lengths, embeddings)`` pair. Every null
    score is ``method`` on a reference part and a pseudo-current part of
    ``current_size`` rows, both keeping the baseline's row order; with ``k =
    floor(false_alarm_rate * n_splits)`` the threshold is the smallest null
    score above the ``k + 1``-th largest one, so that at most ``k`` splits
    alarm (alarm: score >= threshold).

    With ``reference_size=R`` (the way to calibrate a monitor): the baseline is
    split once into a reference of ``R`` rows (``Calibration.reference``, a
    seeded uniform sample) and the rest, and the ``n_splits`` pseudo-current
    windows are drawn from the rest only (split ``i`` with the generator of
    permutation ``i`` under ``seed``). Every null score then compares the same
    reference with a window it does not contain, as the monitor will, so a new
    window from the baseline's distribution, checked against the reference,
    alarms with probability about ``k / (n_splits + 1)``. The rest must hold at
    least 10 times ``current_size`` rows, so that the pseudo-current windows
    are nearly independent of one another; ``current_size`` is then required
    (the threshold holds for windows of that size).

    Without it, every split is a fresh partition of the baseline into the
    pseudo-current part (default: half, rounded down) and a reference of the
    rest: the rate holds on average over references, not for one fixed
    reference.

    For ``(lengths, embeddings)`` the two parts are split each on their own
    (generator indices ``2 i`` and ``2 i + 1``), the embeddings in the same
    proportions.

    >>> cal = calibrate(DataDrift().detect, last_week, current_size=500, reference_size=20_000,
    ...                 false_alarm_rate=0.01)
    >>> cal.detector.detect(cal.reference_rows(last_week), this_hour).exceeded

    Raises ValueError when the request cannot be met: ``k = 0`` (e.g. 200 splits
    cannot calibrate a rate of 0.001), a rate outside (0, 1), a ``current_size``
    that leaves a part empty, a rest smaller than 10 windows, or a baseline
    with fewer distinct splits than ``n_splits``; TypeError for an unsupported
    method or argument shape.
    """
    det, name, _, per_side = _resolve(method)
    owner = type(det).__name__
    s = _seed(seed)
    splits = _count("n_splits", n_splits, 1)
    if isinstance(false_alarm_rate, bool) or not isinstance(false_alarm_rate, (int, float)):
        raise TypeError(f"argument 'false_alarm_rate': expected float, got {type(false_alarm_rate).__name__}")
    rate = float(false_alarm_rate)
    if not 0.0 < rate < 1.0:
        raise ValueError(f"argument 'false_alarm_rate': must be in (0, 1), got {rate}")
    allowed = math.floor(rate * splits * (1.0 + 1e-12))
    if allowed == 0:
        raise ValueError(
            f"n_splits={splits} cannot calibrate false_alarm_rate={rate}: the alarm rate on the splits moves "
            f"in steps of 1/{splits}, so no split may alarm; use n_splits >= {math.ceil(1.0 / rate)}"
        )

    parts = _side("baseline", baseline, owner, name, per_side)
    kinds: tuple[str, ...]
    if name == "detect_with_correctness":
        kinds = ("float", "bool")
    elif name == "detect_with_embeddings":
        kinds = ("float", "matrix")
    elif isinstance(det, (DataDrift, EmbeddingDrift, QueryDrift)):
        kinds = ("matrix",)
    else:
        kinds = ("float",)
    arrays = [_as_rows("baseline", p, k) for p, k in zip(parts, kinds)]
    rows = len(arrays[0])
    if name == "detect_with_correctness" and len(arrays[1]) != rows:
        raise ValueError(f"argument 'baseline': {rows} confidences but {len(arrays[1])} correctness flags")
    if reference_size is None:
        return _calibrate_splits(det, method, name, arrays, current_size, rate, splits, allowed, s)
    return _calibrate_reference(det, method, name, arrays, current_size, _count("reference_size", reference_size, 1),
                                rate, splits, allowed, s)


def _scaled(n: int, share: int, of: int) -> int:
    # A count of the second part in the proportion share / of of the first's, each part kept non-empty.
    return max(1, min(n - 1, round(share * n / of)))


def _calibrate_splits(det: _Detector, method: Callable[..., DriftScore], name: str, arrays: list[Any],
                      current_size: int | None, rate: float, splits: int, allowed: int, s: int) -> Calibration:
    rows = len(arrays[0])
    cur = rows // 2 if current_size is None else _count("current_size", current_size, 1)
    if not 1 <= cur <= rows - 1:
        raise ValueError(
            f"argument 'current_size': must leave both parts non-empty, i.e. lie in [1, {rows - 1}] for a "
            f"baseline of {rows} rows; got {cur}"
        )
    _enough_splits(rows, cur, splits)
    second_rows, second_cur = rows, cur
    if name == "detect_with_embeddings":
        second_rows = len(arrays[1])
        second_cur = _scaled(second_rows, cur, rows)

    scores: list[float] = []
    for i in range(splits):
        if name == "detect_with_embeddings":
            ml = _split_mask(rows, cur, s, 2 * i)
            me = _split_mask(second_rows, second_cur, s, 2 * i + 1)
            ref: tuple[Any, ...] = (arrays[0][~ml], arrays[1][~me])
            now: tuple[Any, ...] = (arrays[0][ml], arrays[1][me])
        else:
            mask = _split_mask(rows, cur, s, i)
            ref = tuple(a[~mask] for a in arrays)
            now = tuple(a[mask] for a in arrays)
        scores.append(_call(method, name, ref, now).score)
    return _threshold(det, scores, rate, splits, allowed, s, cur, None, None)


def _enough_splits(rows: int, cur: int, splits: int) -> None:
    if rows >= splits:
        return  # C(rows, cur) >= rows when 1 <= cur < rows
    distinct = math.comb(rows, cur)
    if distinct < splits:
        raise ValueError(
            f"argument 'baseline': {rows} rows have only {distinct} distinct splits into {rows - cur} + {cur}, "
            f"fewer than n_splits={splits}"
        )


def _calibrate_reference(det: _Detector, method: Callable[..., DriftScore], name: str, arrays: list[Any],
                         current_size: int | None, size: int, rate: float, splits: int, allowed: int,
                         s: int) -> Calibration:
    import numpy as np

    if current_size is None:
        raise ValueError("argument 'current_size': required with reference_size (the threshold holds for "
                         "windows of that size)")
    cur = _count("current_size", current_size, 1)
    rows = len(arrays[0])
    # Part i of the window: its row count, reference rows and window rows (the
    # embeddings of (lengths, embeddings) in the lengths' proportions).
    sizes = [(rows, size, cur)]
    if name == "detect_with_embeddings":
        n = len(arrays[1])
        sizes.append((n, _scaled(n, size, rows) if size < rows else n, _scaled(n, cur, rows)))
    for n, r, c in sizes:
        if r >= n:
            raise ValueError(f"argument 'reference_size': must leave rows for the windows, i.e. lie in [1, {n - 1}] "
                             f"for a baseline of {n} rows; got {r}")
        if n - r < 10 * c:
            raise ValueError(
                f"arguments 'reference_size' and 'current_size': the {n - r} baseline rows outside a reference of "
                f"{r} must hold at least 10 windows of current_size={c} ({10 * c} rows); use a smaller "
                f"reference_size or current_size"
            )
    _enough_splits(rows - size, cur, splits)
    reference, rest = [], []
    for i, (n, r, _) in enumerate(sizes):
        keep = sampling.subsample(n, r, s, stream=sampling.REFERENCE + i)
        out = np.ones(n, dtype=bool)
        out[keep] = False
        reference.append(keep)
        rest.append(np.flatnonzero(out))
    aligned = name != "detect_with_embeddings"
    ref = tuple(a[reference[0 if aligned else i]] for i, a in enumerate(arrays))
    pool = tuple(a[rest[0 if aligned else i]] for i, a in enumerate(arrays))
    scores: list[float] = []
    for i in range(splits):
        if aligned:
            mask = _split_mask(len(rest[0]), cur, s, i)
            now = tuple(a[mask] for a in pool)
        else:
            ml = _split_mask(len(rest[0]), cur, s, 2 * i)
            me = _split_mask(len(rest[1]), sizes[1][2], s, 2 * i + 1)
            now = (pool[0][ml], pool[1][me])
        scores.append(_call(method, name, ref, now).score)
    refs = tuple(reference[0] for _ in arrays) if aligned else tuple(reference)
    return _threshold(det, scores, rate, splits, allowed, s, cur, size, refs)


def _threshold(det: _Detector, scores: list[float], rate: float, splits: int, allowed: int, s: int, cur: int,
               size: int | None, reference: tuple[Any, ...] | None) -> Calibration:
    if any(math.isnan(v) for v in scores):
        raise ValueError("argument 'baseline': a split scored NaN; the baseline cannot be calibrated")
    null = sorted(scores)
    cut = null[splits - allowed - 1]
    above = [v for v in null[splits - allowed :] if v > cut]
    threshold = above[0] if above else math.nextafter(cut, math.inf)
    settings = _engine.detector_settings(det)
    detector = type(det)(threshold, *settings[2:])
    return Calibration(
        threshold=threshold,
        detector=detector,
        null_scores=tuple(null),
        false_alarm_rate=rate,
        n_splits=splits,
        seed=s,
        current_size=cur,
        reference_size=size,
        reference=reference,
    )
