"""Alarms with a known false-alarm rate: permutation p-values and calibrated thresholds.

A detector's ``exceeded`` compares a raw statistic with a fixed threshold, and the
noise level of every statistic depends on the window sizes and the data, so no
fixed threshold has a known false-alarm rate. Two ways to get one:

- :func:`permutation_test` asks "could this split of the pooled rows be chance?":
  it deals the pooled rows of both windows back to two sides of the original
  sizes many times and returns the share of deals whose statistic reaches the
  observed one (a p-value, never 0).
- :func:`calibrate` answers "what threshold do I put in my monitor?": it splits a
  baseline window many times into a reference part and a pseudo-current part,
  scores every split, and returns a detector whose threshold the splits exceed at
  most at the requested rate.

Both are reproducible bit for bit: the deals come from the package's own seeded
generator (one generator per permutation or split, seeded from ``seed`` and its
index), so equal inputs, settings and seed give the same numbers on every run and
for any number of worker threads.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Union

from .. import _engine
from ..dimensions import bound
from ..errors import annotated
from ..results import Calibration, DriftTest
from .._native import ConfidenceDrift, DataDrift, DriftScore, EmbeddingDrift, QueryDrift, ResponseDrift

if TYPE_CHECKING:
    from collections.abc import Sequence

    from numpy.typing import NDArray

    _Values = Union[Sequence[float], NDArray[Any]]
    #: One window: an array or sequence, or a pair for the methods that take two per side.
    Window = Union[_Values, tuple[_Values, Union[Sequence[bool], NDArray[Any]]]]

__all__ = ["DriftTest", "Calibration", "permutation_test", "calibrate"]

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


def _seed(value: object) -> int:
    seed = _count("seed", value, 0)
    if seed >= 1 << 64:
        raise OverflowError("argument 'seed': must be < 2**64")
    return seed


def _permuted(
    det: _Detector, name: str, b: tuple[Any, ...], c: tuple[Any, ...], n: int, seed: int
) -> tuple[float, bytes]:
    if isinstance(det, ConfidenceDrift):
        if name == "detect":
            return _engine.ks_permutations(b[0], c[0], n, seed)
        return _engine.confidence_permutations(det, b[0], b[1], c[0], c[1], n, seed)
    if isinstance(det, ResponseDrift):
        if name == "detect":
            return _engine.ks_permutations(b[0], c[0], n, seed)
        return _engine.response_permutations(det, b[0], c[0], b[1], c[1], n, seed)
    if isinstance(det, DataDrift):
        return _engine.data_permutations(det, b[0], c[0], n, seed)
    if isinstance(det, EmbeddingDrift):
        return _engine.embedding_permutations(det, b[0], c[0], n, seed)
    return _engine.query_permutations(det, b[0], c[0], n, seed)


@annotated
def permutation_test(
    method: Callable[..., DriftScore],
    baseline: Window,
    current: Window,
    *,
    n_permutations: int = 999,
    seed: int = 0,
) -> DriftTest:
    """Seeded permutation p-value of a detector's statistic on two windows.

    ``method`` is a bound detector method (``DataDrift(...).detect``,
    ``EmbeddingDrift(...).detect``, ``QueryDrift(...).detect``,
    ``ResponseDrift(...).detect`` / ``.detect_with_embeddings``,
    ``ConfidenceDrift(...).detect`` / ``.detect_with_correctness``);
    ``baseline`` and ``current`` are its arguments for each side: one array or
    sequence, or a tuple ``(confidences, correct)`` / ``(lengths, embeddings)``
    for the methods that take two per side.

    Every permutation deals the pooled rows back to two sides of the original
    sizes: a row of a table or an embedding moves whole, a confidence moves with
    its flag, and response lengths and embedding rows are dealt each on their own
    (their counts may differ). The expensive part runs once in the native engine
    on the worker pool; permutation ``p`` draws from its own generator seeded
    from ``(seed, p)`` (for ``(lengths, embeddings)``: ``(seed, 2p)`` for the
    lengths, ``(seed, 2p + 1)`` for the rows), so the p-value is the same bits
    for any worker count. Each side keeps its dealt rows in pooled order
    (baseline rows first, then current rows).

    >>> t = permutation_test(ConfidenceDrift().detect, last_week, today, seed=7)
    >>> t.p_value, t.drifted(0.01)

    The embedding test holds the pooled kernel matrix in memory: up to 16,384
    pooled rows (about 1 GiB); more raise MorvantaError.

    Raises TypeError for anything but a supported bound method or the argument
    shape it takes, ValueError for ``n_permutations < 1``, and whatever the
    detector itself raises for its windows (MorvantaError, TypeError).
    """
    det, name, statistic, per_side = _resolve(method)
    owner = type(det).__name__
    n = _count("n_permutations", n_permutations, 1)
    s = _seed(seed)
    b = _side("baseline", baseline, owner, name, per_side)
    c = _side("current", current, owner, name, per_side)
    score = _call(method, name, b, c)
    observed, raw = _permuted(det, name, b, c, n, s)
    import numpy as np

    permuted = np.frombuffer(raw, dtype=np.float64)
    at_least = int(np.count_nonzero(permuted >= observed))
    return DriftTest(
        score=score,
        p_value=(1 + at_least) / (1 + n),
        n_permutations=n,
        seed=s,
        statistic=statistic,
        observed=observed,
    )


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
) -> Calibration:
    """Threshold for ``method``'s detector with a chosen false-alarm rate, from one baseline.

    The baseline window (one array or sequence, or the method's
    ``(confidences, correct)`` / ``(lengths, embeddings)`` pair) is split
    ``n_splits`` times into a pseudo-current part of ``current_size`` rows
    (default: half, rounded down) and a reference part of the rest, both keeping
    the baseline's row order; split ``i`` picks its rows with the generator that
    :func:`permutation_test` uses for permutation ``i`` under ``seed``. For
    ``(lengths, embeddings)`` the two parts are split on their own (generator
    indices ``2 i`` and ``2 i + 1``), the embeddings in the same proportion.
    Every split is scored with ``method``; with ``k = floor(false_alarm_rate *
    n_splits)`` the threshold is the smallest null score above the ``k + 1``-th
    largest one, so that at most ``k`` splits alarm (alarm: score >= threshold)
    and a new window from the baseline's distribution alarms with probability
    about ``k / (n_splits + 1)``.

    >>> cal = calibrate(DataDrift().detect, last_week, current_size=500, false_alarm_rate=0.01)
    >>> cal.detector.detect(last_week, this_hour).exceeded

    Raises ValueError when the request cannot be met: ``k = 0`` (e.g. 200 splits
    cannot calibrate a rate of 0.001), a rate outside (0, 1), a ``current_size``
    that leaves a part empty, or a baseline with fewer distinct splits than
    ``n_splits``; TypeError for an unsupported method or argument shape.
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
    cur = rows // 2 if current_size is None else _count("current_size", current_size, 1)
    if not 1 <= cur <= rows - 1:
        raise ValueError(
            f"argument 'current_size': must leave both parts non-empty, i.e. lie in [1, {rows - 1}] for a "
            f"baseline of {rows} rows; got {cur}"
        )
    distinct = math.comb(rows, cur)
    if distinct < splits:
        raise ValueError(
            f"argument 'baseline': {rows} rows have only {distinct} distinct splits into {rows - cur} + {cur}, "
            f"fewer than n_splits={splits}"
        )
    second_rows, second_cur = rows, cur
    if name == "detect_with_embeddings":
        second_rows = len(arrays[1])
        second_cur = max(1, min(second_rows - 1, round(cur * second_rows / rows)))

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
    )
